// Sentence parsing, fields cut to their widths, checksums and command framing.
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "comm.h"
#include "gps.h"
#include "gpsreceiver.h"
#include "gpsrecords.h"
#include "nmea_support.h"
#include "strutils.h"

namespace
{

NativeNmeaRecord parsed(const std::string &text, int expected = 0)
{
    NativeNmeaRecord record;
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(expected, parseRecord(text.c_str(), &record)) << text;
    return record;
}

TEST(GpsParse, RmcFieldsAndAngles)
{
    const auto r = parsed("$GPRMC,133417.634,A,4907.6295,N,01001.4164,E,3.39,87.82,280406,,,A*5D");
    EXPECT_STREQ("RMC", r.type);
    EXPECT_STREQ("5D", r.checksum);
    EXPECT_STREQ("133417.634", r.utcTime);
    EXPECT_EQ(133417, r.utcTimeInt);
    EXPECT_EQ('A', r.rmc.status);
    EXPECT_EQ(176857770, r.rmc.latitude);
    EXPECT_EQ(36084984, r.rmc.longitude);
    EXPECT_EQ(1, r.rmc.positionValid);
    EXPECT_FLOAT_EQ(3.39f, r.rmc.speed);
    EXPECT_FLOAT_EQ(87.82f, r.rmc.course);
    EXPECT_STREQ("280406", r.date);
    EXPECT_EQ('A', r.rmc.modeIndicator[0]);
}

TEST(GpsParse, SouthWestNegateAndFiveDecimals)
{
    const auto r = parsed("$GPRMC,123651.00,A,4907.52446,N,01001.86485,E,0.064,,060910,,,A*72");
    EXPECT_EQ(176851467, r.rmc.latitude);
    EXPECT_FLOAT_EQ(0.0f, r.rmc.course);
    const auto sw = parsed(sentence("GPRMC,030719.000,A,3747.0873,S,07726.4523,W,0.69,181.39,311214,,,A"));
    EXPECT_LT(sw.rmc.latitude, 0);
    EXPECT_LT(sw.rmc.longitude, 0);
    EXPECT_EQ(-(37 * 3600000 + 2825238), sw.rmc.latitude);
}

TEST(GpsParse, EmptyFieldsAndOldFormWithoutMode)
{
    auto r = parsed("$GPRMC,003225.162,V,,,,,,,110905,,,N*42");
    EXPECT_EQ('V', r.rmc.status);
    EXPECT_EQ(0, r.rmc.latitude);
    EXPECT_EQ(0, r.rmc.longitude);
    EXPECT_EQ(0, r.rmc.positionValid);
    r = parsed("$GPRMC,,V,,,,,,,,,,N*53");
    EXPECT_STREQ("", r.utcTime);
    EXPECT_EQ(0, r.utcTimeInt);
    r = parsed("$GPRMC,082051.906,V,0000.0000,N,00000.0000,E,,,110905,,*19\r\n");
    EXPECT_EQ(1, r.rmc.positionValid);
    EXPECT_STREQ("110905", r.date);
}

TEST(GpsParse, GgaFieldsAndTooFewFields)
{
    auto g = parsed("$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61");
    EXPECT_EQ('0', g.gga.fixQuality);
    EXPECT_EQ(0, g.gga.numberOfSatellites);
    EXPECT_DOUBLE_EQ(99.99, g.gga.hdop);
    EXPECT_EQ(0, g.gga.positionValid);
    g = parsed("$GPGGA,202640.000,4404.1306,N,12118.8515,W,2,10,0.98,1127.7,M,-19.6,M,0000,0000*6C");
    EXPECT_EQ('2', g.gga.fixQuality);
    EXPECT_EQ(10, g.gga.numberOfSatellites);
    EXPECT_DOUBLE_EQ(1127.7, g.gga.altitude);
    EXPECT_EQ('M', g.gga.altitudeUnit);
    // Real receivers overfill the narrow fields: cut, the sentence is kept.
    EXPECT_STREQ("-19", g.gga.geoidSeparation);
    EXPECT_STREQ("000", g.gga.dgpsAge);
    EXPECT_STREQ("0000", g.gga.dgpsStation);
    parsed(sentence("GPGGA,123632.00,,,,,0,00,99.99,,,,"), -5);
}

TEST(GpsParse, OverlongTokensAreCutNotRefused)
{
    // Geoid "-31.442", variation "11.5985", age "0000", 14-character angles.
    auto g = parsed(
        sentence("GPGGA,101010.000,4907.629512345,N,01001.41641234,E,1,08,1.1,59.9,M,-31.442,M,0000,0000"));
    EXPECT_STREQ("-31", g.gga.geoidSeparation);
    EXPECT_STREQ("000", g.gga.dgpsAge);
    EXPECT_EQ(176857770, g.gga.latitude); // "4907.629512" after the cut
    EXPECT_EQ(1, g.gga.positionValid);
    auto r =
        parsed(sentence("GPRMC,101010.123456789,AV,4907.6295,N,01001.4164,E,3.39,87.82,280406,11.5985,EW,"
                        "A-mode-indicator-that-runs-far-too-long"));
    EXPECT_STREQ("101010.123", r.utcTime);
    EXPECT_EQ(101010, r.utcTimeInt);
    EXPECT_EQ('A', r.rmc.status);
    EXPECT_STREQ("11.5", r.rmc.magneticVariation);
    EXPECT_EQ('E', r.rmc.variationDirection);
    EXPECT_EQ(21u, strnlen(r.rmc.modeIndicator, sizeof r.rmc.modeIndicator));
    EXPECT_EQ(0, std::strncmp("A-mode-indicator-that", r.rmc.modeIndicator, 21));
    // A station text longer than its field.
    g = parsed(sentence("GPGGA,101010,4907.6295,N,01001.4164,E,1,08,1.1,59.9,M,47.0,M,1.5,STATION-1234"));
    EXPECT_STREQ("STATI", g.gga.dgpsStation);
}

TEST(GpsParse, SelfTestCasesRunTogetherStillParse)
{
    const char *four = "$GPRMC,155133.000,A,4821.4254,N,01145.9934,E,0.06,119.82$PSRFTXT,Version:  "
                       "GSW3.5.0Telit_3.5.00.00-C23P2.00a *23";
    auto r = parsed(std::string(four) + "\r\n");
    EXPECT_FLOAT_EQ(119.82f, r.rmc.course);
    EXPECT_EQ(-1, isChecksumValid(four));
    const char *five = "$GPRMC,064216.000,A,4821.3895,N,01147.8503,E,0.07,53.8$PSRFTXT,Version: "
                       "GSW3.5.0Telit_3.5.00.00-C23P2.00a *23";
    r = parsed(std::string(five) + "\r\n");
    EXPECT_FLOAT_EQ(53.8f, r.rmc.course);
}

TEST(GpsParse, MultiGnssTalkersOnlyWhenSwitchedOn)
{
    const std::string gn = sentence("GNRMC,120001.000,A,4907.6295,N,01001.4164,E,10.00,0.00,280406,,,A");
    const std::string gl = sentence("GLGGA,120001.000,4907.6295,N,01001.4164,E,1,08,1.00,40.0,M,47.0,M,,");
    const std::string gagsv = sentence("GAGSV,1,1,01,24,06,166,35");
    const std::string gx = sentence("GXRMC,120001.000,A,4907.6295,N,01001.4164,E,10.00,0.00,280406,,,A");
    NativeNmeaRecord r{};
    EXPECT_EQ(-2, parseRecord(gn.c_str(), &r));
    multiGnssTalkers = 1;
    EXPECT_EQ(0, parseRecord(gn.c_str(), &r));
    EXPECT_STREQ("RMC", r.type);
    EXPECT_EQ('A', r.rmc.status);
    EXPECT_EQ(0, parseRecord(gl.c_str(), &r));
    EXPECT_STREQ("GGA", r.type);
    EXPECT_EQ(8, r.gga.numberOfSatellites);
    EXPECT_EQ(0, parseRecord(sentence("GARMC,120001.000,V,,,,,,,280406,,,N").c_str(), &r));
    EXPECT_EQ(0, parseRecord(sentence("GBGGA,120001.000,,,,,0,00,99.99,,,,,,").c_str(), &r));
    EXPECT_EQ(-2, parseRecord(gagsv.c_str(), &r));
    EXPECT_EQ(-2, parseRecord(gx.c_str(), &r));
    multiGnssTalkers = 0;
    EXPECT_EQ(-2, parseRecord(gl.c_str(), &r));
}

TEST(GpsParse, RefusedHeads)
{
    parsed("$GPRM", -1);
    parsed("$GLGGA,123632.00,,,,,0,00,99.99,,,,,,*61", -2);
    parsed("$GPGGA,123632.00,,,,,0,00,99.99,,,,,,", -3);
    const auto gsv = parsed("$GPGSV,3,3,10,24,06,166,35,28,09,271,36*7D");
    EXPECT_STREQ("GSV", gsv.type);
    EXPECT_STREQ("7D", gsv.checksum);
    int valid = 9;
    int32_t lat = 0, lon = 0;
    EXPECT_EQ(-1, getPosition(&gsv, &valid, &lat, &lon));
}

TEST(GpsParse, AngleConversion)
{
    EXPECT_EQ(0, calculateRadMilliseconds("", 2));
    EXPECT_EQ(4 * 3600000, calculateRadMilliseconds("0400.0000", 2));
    // A token shorter than its degree digits: degrees only, nothing read past its end.
    EXPECT_EQ(4 * 3600000, calculateRadMilliseconds("4", 2));
    EXPECT_EQ(INT32_MAX, calculateRadMilliseconds("999999.99999", 3));
    // Absurd angles saturate, and the hemisphere still negates them safely.
    const auto r = parsed(sentence("GPRMC,1,A,-9999999999,S,-9999999999,W,,,,,,"));
    EXPECT_EQ(-INT32_MAX, r.rmc.latitude);
    EXPECT_EQ(-INT32_MAX, r.rmc.longitude);
}

TEST(GpsTokens, CopyCutAndMissingSeparator)
{
    char field[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(11, STR_tokenCopy(field, sizeof field, "ab,-31.442,", 3, ','));
    EXPECT_EQ(3, STR_tokenCopy(field, sizeof field, "ab,,", 2, ','));
    EXPECT_STREQ("", field);
    EXPECT_EQ(11, STR_tokenCopy(field, sizeof field, "ab,-31.442,", 3, ','));
    EXPECT_STREQ("-31", field);
    EXPECT_EQ(-1, STR_tokenCopy(field, sizeof field, "abc", 0, ','));
    EXPECT_EQ(-1, STR_tokenCopy(field, sizeof field, "a,b", -1, ','));
    char open[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(3, STR_tokenCopyOpen(open, sizeof open, "ab,", 0, ','));
    EXPECT_EQ('x', open[2]); // not terminated
    EXPECT_EQ(42, STR_atoi("4207", 2));
    EXPECT_EQ(0, STR_atoi("123", 16));
}

// Numbers of the receiver beyond int: pinned, the same on the host and the
// target (atoi went through long).
TEST(GpsStrings, NumbersAreTheSameOnEveryBuild)
{
    const struct {
        const char *text;
        int value;
    } cases[] = {{"2147483647", INT_MAX},
                 {"2147483648", INT_MAX},
                 {"99999999999", INT_MAX},
                 {"-2147483649", INT_MIN},
                 {"99999999999999999999", INT_MAX},
                 {" +42x", 42},
                 {"", 0},
                 {"-0", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.value, STR_toInt(c.text)) << c.text;
    }
    EXPECT_EQ(INT_MAX, STR_atoi("999999999999999", 15));
    NativeNmeaRecord record{};
    ASSERT_EQ(0, parseRecord(sentence("GPGGA,99999999999,,,,,0,99999999999,99.99,,,,,,").c_str(), &record));
    EXPECT_EQ(INT_MAX, record.utcTimeInt);
    EXPECT_EQ(INT_MAX, record.gga.numberOfSatellites);
}

// The reader's checksum complaints: the first of each kind, then at most one
// a minute, carrying the count of those folded since the last one shown.
TEST(GpsChecksum, ComplaintsAreFoldedPerKindAndMinute)
{
    using F = GPS_ChecksumFault;
    GPS_FaultFold fold;
    const struct {
        F fault;
        int64_t now;
        bool shown;
        uint64_t folded;
    } steps[] = {
        {F::mismatch, 100, true, 0},       {F::mismatch, 100, false, 0}, {F::noEnd, 101, true, 0},
        {F::mismatch, 159, false, 0},      {F::mismatch, 160, true, 2},  {F::mismatch, 161, false, 0},
        {F::multipleDollar, 161, true, 0}, {F::mismatch, 50, true, 1}, // the clock went back
        {F::noEnd, 1000, true, 0},         {F::none, 1000, false, 0},
    };
    for (const auto &s : steps) {
        uint64_t folded = 99;
        EXPECT_EQ(s.shown, GPS_foldFault(fold, s.fault, s.now, &folded)) << s.now;
        EXPECT_EQ(s.shown ? s.folded : 99u, folded) << s.now;
    }
}

TEST(GpsChecksum, ValidCaseAndTrailingText)
{
    EXPECT_EQ(0, isChecksumValid("$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, isChecksumValid("$GPRMC,092751.000,A,5321.6802,N,00630.3371,W,0.06,31.66,280511,,,A*4a"));
    EXPECT_EQ(-1, isChecksumValid("$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61 "));
    EXPECT_EQ(-1, isChecksumValid("$GPGGA,123632.00,,,,,0,00,99.99,,,,,,"));
    EXPECT_EQ(-1,
              isChecksumValid("$GPRMC,155133.000,A,4821.4254,N,01145.9934,E,0.06,119.82$PSRFTXT,Version:  "
                              "GSW3.5.0Telit_3.5.00.00-C23P2.00a *23"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("invalid checksum. '$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61 ' != '61'\n"));
    EXPECT_NE(std::string::npos, out.find("isChecksumValid() FATAL: no end character found. $GPGGA"));
    EXPECT_NE(std::string::npos,
              out.find("isChecksumValid() FATAL: multiple dollar char found at position: 56\n"));
}

TEST(GpsChecksum, HighOctetsGiveTwoDigits)
{
    char sum[3] = {'?', '?', '?'};
    calculateChecksum("$GP\xff\x80\x01*", sum);
    EXPECT_STREQ("69", sum);
    EXPECT_EQ(0, isChecksumValid((sentence("GPTXT,\xc3\xa9t\xe9")).c_str()));
    char star[3];
    EXPECT_EQ(0, getChecksum("$GPX*7", star));
    EXPECT_STREQ("7", star);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, getChecksum("$GPX", star));
    EXPECT_EQ("getChecksum() FATAL: no end character found. $GPX\n", testing::internal::GetCapturedStdout());
}

TEST(GpsCommands, FramingAndTooLong)
{
    char out[120];
    EXPECT_EQ(25, GPS_frameCommand("$PSRF103,00,01,00,01*", out, sizeof out));
    EXPECT_EQ(sentence("PSRF103,00,01,00,01") + "\r\n", out);
    EXPECT_EQ(9, GPS_frameCommand("$PMTK", out, sizeof out));
    EXPECT_STREQ("$PMTK02\r\n", out);
    const std::string fits(113, 'A');
    EXPECT_EQ(119, GPS_frameCommand(("$" + fits + "*").c_str(), out, sizeof out));
    EXPECT_EQ(-1, GPS_frameCommand(("$" + fits + "A*").c_str(), out, sizeof out));
}

TEST(GpsCommands, SpeedTable)
{
    EXPECT_EQ(12, COMM_getSpeed(4800));
    EXPECT_EQ(4, COMM_getSpeed(134));
    EXPECT_EQ(0x1002, COMM_getSpeed(115200));
    EXPECT_EQ(0, COMM_getSpeed(0));
    EXPECT_EQ(-1, COMM_getSpeed(4801));
}

} // namespace

namespace
{

// The self test behind GPSReceiver.dummy: every case's parse and checksum
// result, and only the two run-together cases speak without the debug flag.
TEST(GpsSelfTest, EightCasesWithAndWithoutDebugOutput)
{
    nativeDebug_GPSReceiver = 1;
    testing::internal::CaptureStdout();
    parseRecordTest(nullptr, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    for (int i = 1; i <= 8; ++i) {
        const int checksum = (i == 4 || i == 5) ? -1 : 0;
        const std::string line = "parseRecord() (" + std::to_string(i) +
                                 ") result: 0, checksumResult=" + std::to_string(checksum) + "\n";
        EXPECT_NE(std::string::npos, out.find(line)) << line;
    }
    nativeDebug_GPSReceiver = 0;
    testing::internal::CaptureStdout();
    parseRecordTest(nullptr, nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, out.find("parseRecord()"));
    EXPECT_NE(std::string::npos, out.find("multiple dollar char found at position: 56\n"));
    EXPECT_NE(std::string::npos, out.find("multiple dollar char found at position: 54\n"));
    size_t lines = 0;
    for (char c : out) {
        lines += c == '\n';
    }
    EXPECT_EQ(4u, lines);
}

} // namespace
