// Sentence assembly from a byte stream.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "gps.h"
#include "gpsreader.h"

namespace
{

// Hands out its bytes one read at a time, then a scripted end.
class Script final : public GPS_ByteSource
{
  public:
    explicit Script(std::string bytes, ssize_t end = 0, int endErrno = 0)
        : bytes_(std::move(bytes)), end_(end), endErrno_(endErrno)
    {
    }
    ssize_t read(char *into, size_t room) override
    {
        ++reads;
        if (room == 0) {
            return 0;
        }
        if (next_ < bytes_.size()) {
            *into = bytes_[next_++];
            return 1;
        }
        errno = endErrno_;
        return end_;
    }
    int reads = 0;

  private:
    std::string bytes_;
    size_t next_ = 0;
    ssize_t end_;
    int endErrno_;
};

struct GpsAssembly : testing::Test {
    void SetUp() override { readData = 1; }
    void TearDown() override { readData = 0; }
    int next(GPS_ByteSource &source)
    {
        std::memset(line, 0, sizeof line);
        return GPS_readSentence(&received, source, line, sizeof line);
    }
    std::atomic<int> received{0};
    char line[120];
};

TEST_F(GpsAssembly, StrayBytesAndLineEndsLeaveNoTrace)
{
    const std::string gga = "$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61";
    Script source("\x07z" + gga + "\r\n" + gga + "\n");
    EXPECT_EQ(0, next(source));
    EXPECT_EQ(gga, line);
    EXPECT_EQ(1, received.load());
    // The LF of the CR LF pair is dropped before the next '$'.
    EXPECT_EQ(0, next(source));
    EXPECT_EQ(gga, line);
}

TEST_F(GpsAssembly, OverlongLineStopsAt120BytesKeeping118)
{
    Script source("$" + std::string(199, 'A'));
    EXPECT_EQ(0, next(source));
    EXPECT_EQ(120, source.reads);
    EXPECT_EQ(118u, std::strlen(line));
    EXPECT_EQ("$" + std::string(117, 'A'), line);
}

TEST_F(GpsAssembly, TwoSentencesRunTogetherStayOneLine)
{
    Script source("$GPRMC,1,A$GPGGA,2*00\r\n");
    EXPECT_EQ(0, next(source));
    EXPECT_STREQ("$GPRMC,1,A$GPGGA,2*00", line);
}

TEST_F(GpsAssembly, HungUpLineEndsInsteadOfSpinning)
{
    // A partial line first comes out as it is; then end of file is an error.
    Script source("$GPGGA,12", 0);
    EXPECT_EQ(0, next(source));
    EXPECT_STREQ("$GPGGA,1", line);
    EXPECT_EQ(EIO, next(source));
    Script strays("\r\n\r\n", 0);
    EXPECT_EQ(EIO, next(strays));
}

TEST_F(GpsAssembly, InterruptedReadGivesEmptySentenceOtherErrorsTheirNumber)
{
    Script interrupted("", -1, EINTR);
    EXPECT_EQ(0, next(interrupted));
    EXPECT_STREQ("", line);
    Script again("", -1, EAGAIN);
    EXPECT_EQ(0, next(again));
    Script failed("", -1, EISDIR);
    EXPECT_EQ(EISDIR, next(failed));
}

TEST_F(GpsAssembly, ClosedDeviceReadsAsBadDescriptor)
{
    readData = 0;
    Script source("$GPGGA\r\n");
    EXPECT_EQ(EBADF, next(source));
    EXPECT_EQ(0, source.reads);
}

// The reader folds its checksum complaints: one line per kind here.
TEST_F(GpsAssembly, AReceiverSendingOnlyBadSentencesPrintsOneLinePerKind)
{
    std::string stream;
    for (int i = 0; i < 500; ++i) {
        stream += "$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*62\r\n$GPGGA,1$GPRMC,2*00\r\n$GPGGA,123632.00\r\n";
    }
    Script source(stream);
    NativeNmeaRecord record{};
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1500; ++i) {
        EXPECT_EQ(-2, GPS_getRecordFrom(nullptr, &record, source));
    }
    EXPECT_EQ("invalid checksum. '$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*62' != '61'\n"
              "isChecksumValid() FATAL: invalid nmea record: $GPGGA,1$GPRMC,2*00\n"
              "isChecksumValid() FATAL: multiple dollar char found at position: 8\n"
              "isChecksumValid() FATAL: no end character found. $GPGGA,123632.00\n",
              testing::internal::GetCapturedStdout());
}

} // namespace
