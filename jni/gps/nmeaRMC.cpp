#include "nmeaRMC.h"

#include <cstdlib>

namespace
{
// Fields start after "$GPRMC,".
constexpr int kFirstField = 7;
} // namespace

int parseRMC(const char *sentence, NativeNmeaRecord *record)
{
    NmeaRmcPart &rmc = record->rmc;
    int index = kFirstField;
    gpsfield::time(sentence, &index, record);
    rmc.status = '\0';
    gpsfield::character(sentence, &index, &rmc.status);
    gpsfield::position(sentence, &index, &rmc.latitude, &rmc.longitude, &rmc.positionValid);
    char buffer[kNmeaScratch];
    gpsfield::scratch(sentence, &index, buffer);
    rmc.speed = static_cast<float>(std::atof(buffer));
    gpsfield::scratch(sentence, &index, buffer);
    rmc.course = static_cast<float>(std::atof(buffer));
    gpsfield::text(sentence, &index, record->date, sizeof record->date);
    rmc.magneticVariation[0] = '\0';
    gpsfield::text(sentence, &index, rmc.magneticVariation, sizeof rmc.magneticVariation);
    rmc.variationDirection = '\0';
    gpsfield::character(sentence, &index, &rmc.variationDirection);
    if (index == -1) {
        // The older sentence form ends after the variation direction.
        return 0;
    }
    return gpsfield::last(sentence, index, rmc.modeIndicator, sizeof rmc.modeIndicator);
}
