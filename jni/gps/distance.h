// Flat-earth geometry on positions in milliarcseconds.
#pragma once

#include <cstdint>

#include "gpsrecords.h"

// Metres per milliarcsecond of longitude at that latitude.
double getMetersPerLongitude(int32_t latitude);
double positionDistance(int32_t latitude1, int32_t longitude1, int32_t latitude2, int32_t longitude2);
// Metres between two RMC or GGA records, -1.0 when not computable.
double distance(const NativeNmeaRecord *record1, const NativeNmeaRecord *record2);
