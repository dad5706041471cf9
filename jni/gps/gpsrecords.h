// The native record of one NMEA sentence and the helpers shared by the RMC and
// GGA parsers.
#pragma once

#include <atomic>
#include <cstdint>

// Longest sentence the reader keeps: 120-byte line buffer less the byte that
// ended the line and the terminating NUL.
constexpr int kNmeaLineBuffer = 120;

// Numeric fields are converted through a scratch of this many bytes (11
// characters and a NUL); longer tokens are cut to 11 characters.
constexpr int kNmeaScratch = 12;

struct NmeaRmcPart {
    char status;           // 'A' valid, 'V' warning, NUL when empty
    int32_t latitude;      // milliarcseconds, negative south
    int32_t longitude;     // milliarcseconds, negative west
    int32_t positionValid; // 1 when both angle fields were non-empty
    float speed;           // knots, as sent
    float course;          // degrees
    char magneticVariation[5];
    char variationDirection;
    char modeIndicator[22];
};

struct NmeaGgaPart {
    int32_t latitude;
    int32_t longitude;
    int32_t positionValid;
    char fixQuality; // '0' none, '1' GPS, '2' differential
    int32_t numberOfSatellites;
    double hdop;
    double altitude; // metres above mean sea level
    char altitudeUnit;
    char geoidSeparation[4];
    char geoidUnit;
    char dgpsAge[4];
    char dgpsStation[6];
};

// Plain value: copied whole by the reader loop.
struct NativeNmeaRecord {
    char type[4]; // "RMC", "GGA", ...
    char text[kNmeaLineBuffer];
    char checksum[3];
    int32_t eventTimeSec; // reception time (gettimeofday)
    int32_t eventTimeUSec;
    char utcTime[11];   // hhmmss.sss as sent
    char date[9];       // ddmmyy (RMC)
    int32_t utcTimeInt; // hhmmss, fraction dropped
    union {
        NmeaRmcPart rmc;
        NmeaGgaPart gga;
    };
};

// Zeroes type, text and checksum; the other fields keep their contents.
void initNMEArecord(NativeNmeaRecord *record);

// 0, or -1 when the record is neither RMC nor GGA.
int getPosition(const NativeNmeaRecord *record, int *positionValid, int32_t *latitude, int32_t *longitude);

// ddmm.mmmm (degreeDigits 2) or dddmm.mmmm (3) to milliarcseconds, truncated
// toward zero; an empty field gives 0.
int32_t calculateRadMilliseconds(const char *field, int degreeDigits);

// Off by default: only "$GP" sentences are parsed. On: RMC and GGA of the
// multi-constellation talkers "$GN", "$GL", "$GA" and "$GB" are taken as well.
extern std::atomic<int> multiGnssTalkers;

// 0, -1 shorter than 6 characters, -2 not "$GP", -3 no checksum, -4 RMC or
// -5 GGA fields failed.
int parseRecord(const char *sentence, NativeNmeaRecord *record);

// Field-walking helpers of the two sentence parsers. Each step copies the
// token that starts at *index into the field (cut to its width) and moves
// *index past the separator, or sets it to -1 when the token is missing; once
// -1, later steps leave text fields alone and numeric fields read as 0.
namespace gpsfield
{
void text(const char *sentence, int *index, char *field, int fieldSize);
void character(const char *sentence, int *index, char *field);
// The token in a zeroed numeric scratch, cut to 11 characters; returns the
// token's length before cutting (0 when missing).
int scratch(const char *sentence, int *index, char (&out)[kNmeaScratch]);
void time(const char *sentence, int *index, NativeNmeaRecord *record);
void position(const char *sentence, int *index, int32_t *latitude, int32_t *longitude,
              int32_t *positionValid);
// The last field: everything up to '*', cut to the field's width and
// terminated. 0, or -1 when there is no '*'.
int last(const char *sentence, int index, char *field, int fieldSize);
// Saturating conversions of outside numbers.
int32_t toInt32(double value);
} // namespace gpsfield
