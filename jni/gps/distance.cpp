#include "distance.h"

#include <cmath>
#include <cstdio>

#include "gpsreceiver.h"

namespace
{
constexpr double kPi = 3.141592653589793;
constexpr double kMetersPerDegreeLongitude = 111325.0;
constexpr double kMilliarcsecondsPerDegree = 3600000.0;
constexpr double kMetersPerMilliarcsecondLatitude = 0.03087;
} // namespace

double getMetersPerLongitude(int32_t latitude)
{
    const double degrees = latitude / 1000.0 / 60.0 / 60.0;
    return std::cos(degrees * kPi / 180.0) * kMetersPerDegreeLongitude / kMilliarcsecondsPerDegree;
}

double positionDistance(int32_t latitude1, int32_t longitude1, int32_t latitude2, int32_t longitude2)
{
    // 64 bits: the differences and the sum of two angles overflow 32.
    const int64_t dLat = static_cast<int64_t>(latitude1) - latitude2;
    const int64_t dLon = static_cast<int64_t>(longitude1) - longitude2;
    const auto midLat = static_cast<int32_t>((static_cast<int64_t>(latitude1) + latitude2) / 2);
    const double y = static_cast<double>(dLat) * kMetersPerMilliarcsecondLatitude;
    const double x = static_cast<double>(dLon) * getMetersPerLongitude(midLat);
    return std::sqrt(y * y + x * x);
}

double distance(const NativeNmeaRecord *record1, const NativeNmeaRecord *record2)
{
    const bool debug = nativeDebug_GPSFilter == 1;
    if (record1 == nullptr || record2 == nullptr) {
        if (debug) {
            std::printf("a position is NULL\n");
        }
        return -1.0;
    }
    int valid1 = 0;
    int valid2 = 0;
    int32_t lat1 = 0;
    int32_t lon1 = 0;
    int32_t lat2 = 0;
    int32_t lon2 = 0;
    if (getPosition(record1, &valid1, &lat1, &lon1) < 0) {
        if (debug) {
            std::printf("pos1 is invalid\n");
        }
        return -1.0;
    }
    if (getPosition(record2, &valid2, &lat2, &lon2) < 0) {
        if (debug) {
            std::printf("pos2 is invalid\n");
        }
        return -1.0;
    }
    if (valid1 == 0 || valid2 == 0) {
        return -1.0;
    }
    return positionDistance(lat1, lon1, lat2, lon2);
}
