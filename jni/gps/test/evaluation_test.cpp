// Fix-quality counters, grace counter, trigger arithmetic, geometry and the
// pairing of RMC and GGA records.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "distance.h"
#include "gpsreader.h"
#include "gpsrecords.h"
#include "jgga.h"
#include "nmea_support.h"

namespace
{

NativeNmeaRecord record(const std::string &text)
{
    NativeNmeaRecord r;
    std::memset(&r, 0, sizeof r);
    EXPECT_EQ(0, parseRecord(text.c_str(), &r)) << text;
    return r;
}

NativeNmeaRecord rmc(int time, char status = 'A', double speed = 10.0, double course = 0.0)
{
    char body[128];
    std::snprintf(body, sizeof body, "GPRMC,%06d.000,%c,4907.6295,N,01001.4164,E,%.2f,%.2f,280406,,,A", time,
                  status, speed, course);
    return record(sentence(body));
}

NativeNmeaRecord gga(int time, char fix = '1', int satellites = 8, double hdop = 1.0, double altitude = 40.0)
{
    char body[128];
    std::snprintf(body, sizeof body, "GPGGA,%06d.000,4907.6295,N,01001.4164,E,%c,%02d,%.2f,%.1f,M,47.0,M,,",
                  time, fix, satellites, hdop, altitude);
    return record(sentence(body));
}

// Address of a record that lives to the end of the full expression.
const NativeNmeaRecord *ptr(const NativeNmeaRecord &r)
{
    return &r;
}

NativeNmeaRecord cleared()
{
    NativeNmeaRecord r;
    std::memset(&r, 0, sizeof r);
    return r;
}

// Feeds good pairs through the counters as the evaluation does and returns
// the pair at which the fix is validated for the first time.
int firstValidatedPair(double altitude)
{
    initEvalCounters();
    NativeNmeaRecord previousRmc = cleared();
    NativeNmeaRecord previousGga = cleared();
    for (int pair = 1; pair <= 100; ++pair) {
        const auto r = rmc(120000 + pair);
        const auto g = gga(120000 + pair, '1', 8, 1.0, altitude);
        evaluateRMCRecord(r, previousRmc);
        evaluateGGARecord(g, previousGga);
        if (isGPSValidated() == 1) {
            return pair;
        }
        previousRmc = r;
        previousGga = g;
    }
    return -1;
}

TEST(GpsQuality, FirstValidationAt35thPairOr36thAtAltitude)
{
    EXPECT_EQ(35, firstValidatedPair(40.0));
    // 400 m against the cleared previous record is a height jump.
    EXPECT_EQ(36, firstValidatedPair(400.0));
    // Exactly 60 m is no jump.
    EXPECT_EQ(35, firstValidatedPair(60.0));
    EXPECT_EQ(36, firstValidatedPair(61.0));
}

TEST(GpsQuality, InstantTestBoundaries)
{
    EXPECT_EQ(1, isGPSValid(rmc(1), gga(1, '1', 4, 6.0)));
    EXPECT_EQ(1, isGPSValid(rmc(1), gga(1, '2', 4, 6.0)));
    EXPECT_EQ(0, isGPSValid(rmc(1), gga(1, '1', 3, 6.0)));
    EXPECT_EQ(0, isGPSValid(rmc(1), gga(1, '1', 4, 6.01)));
    EXPECT_EQ(0, isGPSValid(rmc(1, 'V'), gga(1)));
    EXPECT_EQ(0, isGPSValid(rmc(1), gga(1, '6')));
    EXPECT_EQ(0, isGPSValid(rmc(1), gga(1, '0')));
}

TEST(GpsQuality, SpeedJumpIsStrictlyAboveFiftyKnotsAfterTruncation)
{
    initEvalCounters();
    for (int i = 0; i < kEvalCounters; ++i) {
        evalCounters[i] = 0;
    }
    evaluateRMCRecord(rmc(2, 'A', 60.9), rmc(1, 'A', 10.0));
    EXPECT_EQ(0, evalCounters[1]);
    evaluateRMCRecord(rmc(2, 'A', 61.0), rmc(1, 'A', 10.0));
    EXPECT_EQ(35, evalCounters[1]);
    evaluateRMCRecord(rmc(2, 'A', 10.0), rmc(1, 'A', 61.0));
    EXPECT_EQ(35, evalCounters[1]);
    evaluateRMCRecord(rmc(2, 'V'), rmc(1));
    EXPECT_EQ(30, evalCounters[0]);
}

TEST(GpsQuality, GraceCounterSkipsAFewBadPairsAndEvaluatesEveryThirtyFirst)
{
    int grace = 0;
    const auto good = rmc(1);
    const auto goodGga = gga(1);
    const auto bad = rmc(1, 'V');
    EXPECT_EQ(0, isGPSValidTreshold(good, goodGga, &grace));
    EXPECT_EQ(1, isGPSValidTreshold(bad, goodGga, &grace));
    EXPECT_EQ(1, grace);
    EXPECT_EQ(0, isGPSValidTreshold(good, goodGga, &grace));
    EXPECT_EQ(0, grace);
    for (int pair = 1; pair <= 30; ++pair) {
        EXPECT_EQ(1, isGPSValidTreshold(bad, goodGga, &grace)) << pair;
    }
    EXPECT_EQ(30, grace);
    EXPECT_EQ(0, isGPSValidTreshold(bad, goodGga, &grace));
    EXPECT_EQ(0, grace);
    EXPECT_EQ(1, isGPSValidTreshold(bad, goodGga, &grace));
}

TEST(GpsTriggers, TimeOnHhmmssIntegers)
{
    EXPECT_EQ(1, GPS_timeTriggerFires(30, 120030, 120000));
    EXPECT_EQ(0, GPS_timeTriggerFires(30, 120029, 120000));
    EXPECT_EQ(1, GPS_timeTriggerFires(4041, 130000, 125959));
    EXPECT_EQ(0, GPS_timeTriggerFires(4042, 130000, 125959));
    EXPECT_EQ(1, GPS_timeTriggerFires(0, 5, 5));
    EXPECT_EQ(0, GPS_timeTriggerFires(-1, 235959, 0));
    EXPECT_EQ(1, GPS_timeTriggerFires(10, 0, 235959)); // across midnight
}

TEST(GpsTriggers, SpeedBandsAndEdges)
{
    const float bands[] = {10.0f, 50.0f, 100.0f};
    EXPECT_EQ(-1, GPS_speedBand(bands, 3, 0.0f));
    EXPECT_EQ(0, GPS_speedBand(bands, 3, 10.0f));
    EXPECT_EQ(0, GPS_speedBand(bands, 3, 49.9f));
    EXPECT_EQ(1, GPS_speedBand(bands, 3, 50.0f));
    EXPECT_EQ(2, GPS_speedBand(bands, 3, 120.0f));
    int index = 99;
    int edge = 99;
    EXPECT_EQ(1, GPS_speedEdge(GPS_speedBand(bands, 3, 5.0f), GPS_speedBand(bands, 3, 20.0f), &index, &edge));
    EXPECT_EQ(0, index);
    EXPECT_EQ(1, edge);
    EXPECT_EQ(1,
              GPS_speedEdge(GPS_speedBand(bands, 3, 60.0f), GPS_speedBand(bands, 3, 40.0f), &index, &edge));
    EXPECT_EQ(1, index);
    EXPECT_EQ(-1, edge);
    EXPECT_EQ(0, GPS_speedEdge(1, 1, &index, &edge));
}

TEST(GpsTriggers, HeadingWrapsAndNeedsSpeed)
{
    int change = -1;
    EXPECT_EQ(0, isAngleTrigger(ptr(rmc(1, 'A', 20.0, 10.0)), ptr(rmc(1, 'A', 20.0, 350.0)), &change));
    EXPECT_EQ(20, change);
    EXPECT_EQ(1, isAngleTrigger(ptr(rmc(1, 'A', 20.0, 200.0)), ptr(rmc(1, 'A', 20.0, 10.0)), &change));
    EXPECT_EQ(170, change);
    change = -1;
    EXPECT_EQ(0, isAngleTrigger(ptr(rmc(1, 'A', 16.19, 200.0)), ptr(rmc(1, 'A', 16.19, 10.0)), &change));
    EXPECT_EQ(-1, change);
    // Exactly 90 degrees is no change above the threshold.
    EXPECT_EQ(0, isAngleTrigger(ptr(rmc(1, 'A', 20.0, 100.0)), ptr(rmc(1, 'A', 20.0, 10.0)), &change));
    EXPECT_EQ(1, isAngleTrigger(ptr(rmc(1, 'A', 20.0, 101.0)), ptr(rmc(1, 'A', 20.0, 10.0)), &change));
}

TEST(GpsGeometry, WorkedExampleAndInvalidPositions)
{
    const auto a = record("$GPRMC,133417.634,A,4907.6295,N,01001.4164,E,3.39,87.82,280406,,,A*5D");
    const auto b = record("$GPRMC,133544.628,A,4907.6324,N,01001.6260,E,3.07,88.62,280406,,,A*55");
    EXPECT_EQ(174, b.rmc.latitude - a.rmc.latitude);
    EXPECT_EQ(12576, b.rmc.longitude - a.rmc.longitude);
    EXPECT_NEAR(254.5, distance(&a, &b), 0.05);
    EXPECT_NEAR(254.5, distance(&b, &a), 0.05);
    EXPECT_NEAR(111325.0 / 3600000.0, getMetersPerLongitude(0), 1e-12);
    EXPECT_NEAR(0.0, getMetersPerLongitude(90 * 3600000), 1e-12);
    const auto noFix = record("$GPRMC,003225.162,V,,,,,,,110905,,,N*42");
    EXPECT_EQ(-1.0, distance(&a, &noFix));
    EXPECT_EQ(-1.0, distance(&a, nullptr));
    const auto gsv = record("$GPGSV,3,3,10,24,06,166,35,28,09,271,36*7D");
    EXPECT_EQ(-1.0, distance(&gsv, &a));
    // Opposite corners of the angle range: no overflow on the way.
    EXPECT_GT(positionDistance(INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN), 0.0);
    EXPECT_EQ(25450, GPS_centimetres(254.5));
    EXPECT_EQ(INT32_MAX, GPS_centimetres(1e12));
    EXPECT_EQ(INT32_MAX, GPS_addDistance(INT32_MAX - 5, 10));
}

TEST(GpsRecords, AltitudeParts)
{
    int32_t whole = 0;
    int32_t thousandths = 0;
    GPS_altitudeParts(512.25, &whole, &thousandths);
    EXPECT_EQ(512, whole);
    EXPECT_EQ(250, thousandths);
    GPS_altitudeParts(-3.5, &whole, &thousandths);
    EXPECT_EQ(-3, whole);
    EXPECT_EQ(-500, thousandths);
}

TEST(GpsPairing, EqualTimesPairInEitherOrderAndAStrayPartnerIsDropped)
{
    GPS_ReaderState state;
    GPS_initReaderState(&state);
    EXPECT_EQ(0, GPS_pairRecord(&state, ptr(rmc(133417))));
    EXPECT_EQ(1, GPS_pairRecord(&state, ptr(gga(133417))));
    GPS_pairEvaluated(&state, 0);
    EXPECT_EQ(1, state.previousExists);
    EXPECT_EQ(0, state.firedExists);

    EXPECT_EQ(0, GPS_pairRecord(&state, ptr(rmc(133418))));
    EXPECT_EQ(0, GPS_pairRecord(&state, ptr(gga(133419))));
    EXPECT_EQ(0, state.rmcSeen);
    EXPECT_EQ(1, GPS_pairRecord(&state, ptr(rmc(133419))));
    EXPECT_EQ(133419, state.currentGga.utcTimeInt);
    state.trackedDistance = 1234;
    GPS_pairEvaluated(&state, 1);
    EXPECT_EQ(1, state.firedExists);
    EXPECT_EQ(133419, state.firedRmc.utcTimeInt);
    EXPECT_EQ(0, state.trackedDistance);

    // GGA first; other sentence types do not disturb the pairing.
    EXPECT_EQ(0, GPS_pairRecord(&state, ptr(gga(133420))));
    EXPECT_EQ(0, GPS_pairRecord(&state, ptr(record("$GPGSV,3,3,10,24,06,166,35,28,09,271,36*7D"))));
    EXPECT_EQ(1, GPS_pairRecord(&state, ptr(rmc(133420))));
}

// An RMC at a latitude of 49 degrees plus the given minutes, moving north.
NativeNmeaRecord rmcAt(int time, double minutes, double speed = 20.0)
{
    char body[128];
    std::snprintf(body, sizeof body, "GPRMC,%06d.000,A,49%07.4f,N,01001.4164,E,%.2f,0.00,280406,,,A", time,
                  minutes, speed);
    return record(sentence(body));
}

// Feeds records through the tracker and the pairing the way the reader loop
// does; returns the tracked distance in centimetres.
int32_t trackedOver(const std::vector<NativeNmeaRecord> &records, float speedThreshold = 5.0f)
{
    GPS_ReaderState state;
    GPS_initReaderState(&state);
    for (const auto &r : records) {
        if (std::strcmp(r.type, "RMC") == 0) {
            GPS_trackRmc(&state, &r, 1, speedThreshold);
        }
        if (GPS_pairRecord(&state, &r) == 1) {
            GPS_pairEvaluated(&state, 0);
        }
    }
    return state.trackedDistance;
}

TEST(GpsTrackedDistance, EachRmcCountsFromTheLastRmcWhateverTheGgas)
{
    const auto r1 = rmcAt(120001, 7.0);
    const auto r2 = rmcAt(120002, 7.054);
    const auto r3 = rmcAt(120003, 7.108);
    const auto r4 = rmcAt(120004, 7.162);
    const int32_t step = GPS_centimetres(distance(&r1, &r2));
    ASSERT_GT(step, 9900);
    ASSERT_LT(step, 10100);
    const int32_t three = 3 * step;
    auto near = [three](int32_t got) { return got >= three - 3 && got <= three + 3; };

    // Every GGA present.
    EXPECT_PRED1(near, trackedOver({r1, gga(120001), r2, gga(120002), r3, gga(120003), r4, gga(120004)}));
    // The second GGA lost.
    EXPECT_PRED1(near, trackedOver({r1, gga(120001), r2, r3, gga(120003), r4, gga(120004)}));
    // GGAs late (after the next RMC) and at half the rate.
    EXPECT_PRED1(near, trackedOver({r1, gga(120001), r2, r3, gga(120002), r4, gga(120003)}));
    EXPECT_PRED1(near, trackedOver({r1, gga(120001), r2, r3, gga(120003), r4}));
    // RMC only, and no GGA before the first one.
    EXPECT_PRED1(near, trackedOver({r1, r2, r3, r4}));

    // A slow RMC is not counted, but the next step starts from it.
    const auto slow = rmcAt(120002, 7.054, 1.0);
    EXPECT_PRED1([step](int32_t got) { return got >= 2 * step - 2 && got <= 2 * step + 2; },
                 trackedOver({r1, gga(120001), slow, r3, gga(120003), r4, gga(120004)}));
}

} // namespace
