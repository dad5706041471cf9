// Command frames, check codes, the response reader and the line set-up.
#include "pmic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

TEST(PmicFrame, CheckCodeWorkedByHand)
{
    // 'p' ^ 3C = 4C; 'i' ^ rotr(4C)=26 -> 4F; 'n' ^ rotr(4F)=A7 -> C9; 'g' ^ rotr(C9)=E4 -> 83
    EXPECT_EQ(pmic_check_code(pmic_word("ping")), (PmicWord{0x4C, 0x4F, 0xC9, 0x83}));
    // Zero octets still carry the chain: 'r' ^ 3C = 4E, then 27, 93 (rotr of 27), C9.
    EXPECT_EQ(pmic_check_code(pmic_word("r")), (PmicWord{0x4E, 0x27, 0x93, 0xC9}));
}

TEST(PmicFrame, Layout)
{
    const PmicFrame f = pmic_frame(pmic_word("IAP"));
    const uint8_t expected[] = {0x51, 0xC5, 0x37, 0x31, 0x56, 0x6B, 0x72, 0x0D, 'I', 'A', 'P', 0};
    EXPECT_EQ(std::memcmp(f.data(), expected, sizeof expected), 0);
    const PmicWord code = pmic_check_code(pmic_word("IAP"));
    EXPECT_EQ(std::memcmp(f.data() + 12, code.data(), 4), 0);
    EXPECT_EQ(f[16], '\r');
    EXPECT_EQ(f[17], '\n');
    // Longer texts are cut to the four octets of the word.
    EXPECT_EQ(pmic_word("STRTX"), (PmicWord{'S', 'T', 'R', 'T'}));
}

// A connected pair: the test plays the controller on peer.
class PmicReader : public testing::Test
{
  protected:
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        reader.fd = sv[0];
        peer = sv[1];
    }
    void TearDown() override
    {
        close(reader.fd);
        if (peer >= 0) {
            close(peer);
        }
    }
    void send(const std::string &s)
    {
        ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }

    pmic_reader reader;
    int peer = -1;
};

TEST_F(PmicReader, CodeDetailAndWhatFollows)
{
    // Two answers in one read: the second is served from the buffer.
    send("803 :10\r\n600\n");
    int code = 0;
    char detail[16];
    size_t length = sizeof detail;
    ASSERT_EQ(pmic_read(reader, &code, detail, &length), 1);
    EXPECT_EQ(code, 803);
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(detail, " :10");
    ASSERT_EQ(pmic_read(reader, &code, nullptr, nullptr), 1);
    EXPECT_EQ(code, 600);
}

TEST_F(PmicReader, AnswerSpreadOverManyReads)
{
    // Longer than the 16-octet buffer and arriving in pieces.
    std::thread writer([this] {
        for (const char *piece : {"8", "0", "3 abcdefghij", "klmnopqrstuvwxyz\r", "\n"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            send(piece);
        }
    });
    int code = 0;
    char detail[64];
    size_t length = sizeof detail;
    EXPECT_EQ(pmic_read(reader, &code, detail, &length), 1);
    writer.join();
    EXPECT_EQ(code, 803);
    EXPECT_STREQ(detail, " abcdefghijklmnopqrstuvwxyz");
}

TEST_F(PmicReader, DetailBeyondTheBufferIsDropped)
{
    send("802 0123456789\n601\n");
    int code = 0;
    char detail[5];
    size_t length = sizeof detail;
    ASSERT_EQ(pmic_read(reader, &code, detail, &length), 1);
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(detail, " 012");
    // The dropped rest does not leak into the next answer.
    ASSERT_EQ(pmic_read(reader, &code, nullptr, nullptr), 1);
    EXPECT_EQ(code, 601);
}

TEST_F(PmicReader, HungUpLineFailsInsteadOfSpinning)
{
    send("60");
    close(peer);
    peer = -1;
    int code = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pmic_read(reader, &code, nullptr, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pmic_read(): failed to read code block\n");
}

TEST_F(PmicReader, HangUpInTheDetail)
{
    send("803 :1");
    close(peer);
    peer = -1;
    int code = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pmic_read(reader, &code, nullptr, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pmic_read(): failed to read detail block\n");
}

TEST_F(PmicReader, CodeMustBeDigits)
{
    send("6x0\n");
    int code = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pmic_read(reader, &code, nullptr, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pmic_read(): failed to read code block\n");
}

// The peer answers once it has the whole frame; what was waiting in the line
// before the command (a late answer, noise) is dropped, not taken for its
// answer.
TEST_F(PmicReader, CommandThenAnswerStaleInputDropped)
{
    auto answer_after_frame = [this](const char *text, uint8_t *frame) {
        return std::thread([this, text, frame] {
            size_t got = 0;
            while (got < 18) {
                const ssize_t n = read(peer, frame + got, 18 - got);
                if (n <= 0) {
                    return;
                }
                got += static_cast<size_t>(n);
            }
            send(text);
        });
    };
    uint8_t frame[18] = {};
    send("401\r\n\x7f");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread peer_side = answer_after_frame("601\r\n", frame);
    EXPECT_EQ(pmic_ping(reader), 601);
    peer_side.join();
    const PmicFrame expected = pmic_frame(pmic_word("ping"));
    EXPECT_EQ(std::memcmp(frame, expected.data(), 18), 0);

    peer_side = answer_after_frame("200\n", frame);
    EXPECT_EQ(pmic_reset(reader, true), 1);
    peer_side.join();
    EXPECT_EQ(frame[8], 'R');
}

// With a time-out set, a silent peer fails the read instead of blocking.
TEST_F(PmicReader, SilentPeerTimesOut)
{
    reader.timeout_ms = 100;
    int code = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pmic_read(reader, &code, nullptr, nullptr), 0);
    EXPECT_TRUE(reader.timed_out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pmic_read(): no answer from the controller within 100 ms\n");
}

TEST_F(PmicReader, WaitSeesBufferedAndArrivingAnswers)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pmic_wait(reader, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    send("401\n600\n");
    EXPECT_TRUE(pmic_wait(reader, 1000));
    int code = 0;
    ASSERT_EQ(pmic_read(reader, &code, nullptr, nullptr), 1);
    // The second answer is already buffered: no read needed.
    EXPECT_TRUE(pmic_wait(reader, 0));
}

TEST(PmicLine, SetUpOnAPseudoTerminal)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int fd = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pmic_line_setup(fd, false), nullptr);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    // The NUL written after the flush reaches the controller.
    uint8_t octet = 0xFF;
    EXPECT_EQ(read(master, &octet, 1), 1);
    EXPECT_EQ(octet, 0);
    close(fd);
    close(master);

    const int file = open("/dev/null", O_RDWR);
    EXPECT_STREQ(pmic_line_setup(file, true), "tcsetattr()");
    close(file);
}

} // namespace
