#include "nmeaGGA.h"
#include "strutils.h"

#include <cstdlib>

namespace
{
// Fields start after "$GPGGA,".
constexpr int kFirstField = 7;
} // namespace

int parseGGA(const char *sentence, NativeNmeaRecord *record)
{
    NmeaGgaPart &gga = record->gga;
    int index = kFirstField;
    gpsfield::time(sentence, &index, record);
    gpsfield::position(sentence, &index, &gga.latitude, &gga.longitude, &gga.positionValid);
    gga.fixQuality = '\0';
    gpsfield::character(sentence, &index, &gga.fixQuality);
    char buffer[kNmeaScratch];
    gpsfield::scratch(sentence, &index, buffer);
    gga.numberOfSatellites = STR_toInt(buffer);
    gpsfield::scratch(sentence, &index, buffer);
    gga.hdop = std::atof(buffer);
    gpsfield::scratch(sentence, &index, buffer);
    gga.altitude = std::atof(buffer);
    gpsfield::character(sentence, &index, &gga.altitudeUnit);
    gpsfield::text(sentence, &index, gga.geoidSeparation, sizeof gga.geoidSeparation);
    gga.geoidUnit = '\0';
    gpsfield::character(sentence, &index, &gga.geoidUnit);
    gga.dgpsAge[0] = '\0';
    gpsfield::text(sentence, &index, gga.dgpsAge, sizeof gga.dgpsAge);
    return gpsfield::last(sentence, index, gga.dgpsStation, sizeof gga.dgpsStation);
}
