#include "gpsrecords.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gps.h"
#include "gpsreceiver.h"
#include "nmeaGGA.h"
#include "nmeaRMC.h"
#include "strutils.h"

void initNMEArecord(NativeNmeaRecord *record)
{
    std::memset(record->type, 0, sizeof record->type);
    std::memset(record->text, 0, sizeof record->text);
    std::memset(record->checksum, 0, sizeof record->checksum);
}

int getPosition(const NativeNmeaRecord *record, int *positionValid, int32_t *latitude, int32_t *longitude)
{
    if (std::strcmp(record->type, "RMC") == 0) {
        *positionValid = record->rmc.positionValid;
        *latitude = record->rmc.latitude;
        *longitude = record->rmc.longitude;
        return 0;
    }
    if (std::strcmp(record->type, "GGA") == 0) {
        *positionValid = record->gga.positionValid;
        *latitude = record->gga.latitude;
        *longitude = record->gga.longitude;
        return 0;
    }
    if (nativeDebug_GPSFilter == 1) {
        std::printf("unkown record typ: '%s' record: '%s'\n", record->type, record->text);
    }
    return -1;
}

int32_t calculateRadMilliseconds(const char *field, int degreeDigits)
{
    if (field[0] == '\0') {
        return 0;
    }
    const int degrees = STR_atoi(field, degreeDigits);
    // A token shorter than its degree digits has no minutes.
    const double minutes =
        std::strlen(field) > static_cast<size_t>(degreeDigits) ? std::atof(field + degreeDigits) : 0.0;
    return gpsfield::toInt32((degrees * 3600.0 + minutes * 60.0) * 1000.0);
}

std::atomic<int> multiGnssTalkers{0};

namespace
{

bool otherTalkerAccepted(const char *sentence)
{
    if (multiGnssTalkers == 0 || sentence[0] != '$' || sentence[1] != 'G' ||
        std::strchr("NLAB", sentence[2]) == nullptr || sentence[2] == '\0') {
        return false;
    }
    return std::strncmp(sentence + 3, "RMC", 3) == 0 || std::strncmp(sentence + 3, "GGA", 3) == 0;
}

} // namespace

int parseRecord(const char *sentence, NativeNmeaRecord *record)
{
    // The reader never hands over more than 118 characters; a longer text
    // from elsewhere is cut to the field.
    std::snprintf(record->text, sizeof record->text, "%s", sentence);
    if (std::strlen(sentence) < 6) {
        return -1;
    }
    if (std::strncmp(sentence, "$GP", 3) != 0 && !otherTalkerAccepted(sentence)) {
        return -2;
    }
    std::memcpy(record->type, sentence + 3, 3);
    record->type[3] = '\0';
    if (getChecksum(sentence, record->checksum) < 0) {
        std::printf("cannot get checksum\n");
        return -3;
    }
    if (std::strcmp(record->type, "RMC") == 0) {
        return parseRMC(sentence, record) < 0 ? -4 : 0;
    }
    if (std::strcmp(record->type, "GGA") == 0) {
        return parseGGA(sentence, record) < 0 ? -5 : 0;
    }
    return 0;
}

namespace gpsfield
{

void text(const char *sentence, int *index, char *field, int fieldSize)
{
    if (*index < 0) {
        return;
    }
    *index = STR_tokenCopy(field, fieldSize, sentence, *index, ',');
}

void character(const char *sentence, int *index, char *field)
{
    if (*index < 0) {
        return;
    }
    // One character expected; a longer token keeps its first.
    char token[2] = {};
    *index = STR_tokenCopy(token, sizeof token, sentence, *index, ',');
    if (*index >= 0) {
        *field = token[0];
    }
}

int scratch(const char *sentence, int *index, char (&out)[kNmeaScratch])
{
    std::memset(out, 0, sizeof out);
    if (*index < 0) {
        return 0;
    }
    const int start = *index;
    *index = STR_tokenCopy(out, sizeof out, sentence, start, ',');
    return *index < 0 ? 0 : *index - start - 1;
}

void time(const char *sentence, int *index, NativeNmeaRecord *record)
{
    const int start = *index;
    text(sentence, index, record->utcTime, sizeof record->utcTime);
    int again = start;
    char buffer[kNmeaScratch];
    scratch(sentence, &again, buffer);
    record->utcTimeInt = STR_toInt(buffer);
}

void position(const char *sentence, int *index, int32_t *latitude, int32_t *longitude, int32_t *positionValid)
{
    char buffer[kNmeaScratch];
    const int latitudeLength = scratch(sentence, index, buffer);
    *latitude = calculateRadMilliseconds(buffer, 2);
    *positionValid = latitudeLength > 0 ? 1 : 0;
    char hemisphere[kNmeaScratch];
    scratch(sentence, index, hemisphere);
    if (std::strcmp(hemisphere, "S") == 0) {
        *latitude = -*latitude;
    }
    const int longitudeLength = scratch(sentence, index, buffer);
    *longitude = calculateRadMilliseconds(buffer, 3);
    *positionValid = (*positionValid == 1 && longitudeLength > 0) ? 1 : 0;
    scratch(sentence, index, hemisphere);
    if (std::strcmp(hemisphere, "W") == 0) {
        *longitude = -*longitude;
    }
}

int last(const char *sentence, int index, char *field, int fieldSize)
{
    return STR_tokenCopy(field, fieldSize, sentence, index, '*') < 0 ? -1 : 0;
}

int32_t toInt32(double value)
{
    if (!(value == value)) {
        return 0;
    }
    // Symmetric, so that a hemisphere can always negate the result.
    if (value >= 2147483647.0) {
        return INT32_MAX;
    }
    if (value <= -2147483647.0) {
        return -INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

} // namespace gpsfield
