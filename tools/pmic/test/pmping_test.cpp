// pmping's frames as they reach the line: the test holds the far end of a
// pseudo-terminal and computes every check code itself.
#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::chrono_literals;

using Octets = std::vector<unsigned char>;

// The frame the controller expects for a four-octet word.
Octets frame_for(Octets word)
{
    Octets f = {0x51, 0xC5, 0x37, 0x31, 0x56, 0x6B, 0x72, 0x0D};
    f.insert(f.end(), word.begin(), word.end());
    unsigned link = 0x3C;
    for (size_t i = 0; i < 4; ++i) {
        const unsigned c = word[i] ^ link;
        f.push_back(static_cast<unsigned char>(c));
        link = ((c & 1u) << 7) | (c >> 1); // the next octet is chained to this one turned right
    }
    f.push_back('\r');
    f.push_back('\n');
    return f;
}

class Pmping : public testing::Test
{
  protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave_name = ptsname(master);
        // Held open so that the master keeps its data after pmping closes.
        slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
    }
    void TearDown() override
    {
        close(slave);
        close(master);
    }

    RunResult pmping(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = target_command(PMIC_PMPING);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_command(argv, 30s);
    }

    // Everything pmping wrote; it has exited, so all of it is queued.
    Octets received()
    {
        Octets got;
        unsigned char buf[64];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                return got;
            }
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                return got;
            }
            got.insert(got.end(), buf, buf + n);
        }
    }

    int master = -1;
    int slave = -1;
    std::string slave_name;
};

TEST_F(Pmping, EveryLetterSendsItsFrame)
{
    const struct {
        std::vector<std::string> args;
        Octets word;
    } cases[] = {
        {{"p"}, {'p', 'i', 'n', 'g'}},
        {{"ping"}, {'p', 'i', 'n', 'g'}},
        {{"j"}, {'j', 0, 0, 0}},
        {{"I"}, {'I', 0, 0, 0}},
        {{"R"}, {'R', 0, 0, 0}},
        {{"G"}, {'G', 0, 0, 0}},
        {{"V", "200"}, {'V', 200, 0, 0}},
        {{"W", "-1"}, {'W', 0xFF, 0, 0}},
        {{"W", " \t+300xyz"}, {'W', 300 & 0xFF, 0, 0}},
        {{"V", "99999999999999999999"}, {'V', 0xFF, 0, 0}}, // 10^20 - 1 = 0x56BC75E2D630FFFFF
        {{"V", "abc"}, {'V', 0, 0, 0}},
        {{"0", "5", "300"}, {'0', 5, 44, 0}},
        {{"0", "255"}, {}}, // second number missing: refused below
        {{"c", "3"}, {'0', 0x08, 0, 0}},
        {{"s", "3"}, {'0', 0x08, 0x08, 0}},
        {{"s", "0"}, {'0', 0x01, 0x01, 0}},
        {{"s", "7"}, {'0', 0x80, 0x80, 0}},
        {{"c", "9"}, {'0', 0, 0, 0}},
        {{"s", "8"}, {'0', 0, 0, 0}},
        {{"s", "-1"}, {'0', 0, 0, 0}},
        {{"s", "259"}, {'0', 0, 0, 0}}, // low octet 3, but not a bit number
    };
    for (const auto &c : cases) {
        if (c.word.empty()) {
            continue;
        }
        std::vector<std::string> args = {slave_name};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = pmping(args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_EQ(r.err, "");
        Octets expected = {0}; // the NUL octet of the line set-up
        const Octets frame = frame_for(c.word);
        expected.insert(expected.end(), frame.begin(), frame.end());
        EXPECT_EQ(received(), expected) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
}

TEST_F(Pmping, UnknownLetterSendsNothing)
{
    RunResult r = pmping({slave_name, "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "pmping: unknown command 'x'; nothing sent\n");
    EXPECT_EQ(received(), Octets{0});
}

TEST_F(Pmping, MissingArgumentsGiveUsage)
{
    const std::string usage = "Usage: pmping <device> <letter> [<number> [<number>]]\n"
                              "  letters: p j I R G; V n, W n, c n, s n; 0 mask value\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {slave_name}, {slave_name, "V"}, {slave_name, "s"}, {slave_name, "0", "1"}}) {
        RunResult r = pmping(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, usage);
    }
    // The line was never touched.
    EXPECT_EQ(received(), Octets{});
}

TEST_F(Pmping, DeviceThatCannotBeOpened)
{
    RunResult r = pmping({"/nonexistent/ttyPM", "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open(): No such file or directory\n");
    r = pmping({"/dev/null", "p"});
    EXPECT_EQ(r.status, 1);
    // The static tool's C library words ENOTTY its own way on the target (musl).
    const bool musl = target_command("x").size() > 1;
    EXPECT_EQ(r.err, musl ? "tcsetattr(): Not a tty\n" : "tcsetattr(): Inappropriate ioctl for device\n");
}

} // namespace
