// pmprog as a technician runs it, against the simulated controller, with
// images made by srec_cat from binary data and by hand for the odd cases.
#include "hexrecord.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class Pmprog : public testing::Test
{
  protected:
    std::string port() const { return dir.file("ttyPM"); }
    std::string log() const { return read_file(dir.file("sim.log")); }
    std::vector<std::string> log_lines() const { return lines_of(log()); }

    void start_controller(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> argv = target_command(PMIC_SIM);
        for (const std::string &a : {std::string("--link"), port(), std::string("--log"), dir.file("sim.log"),
                                     std::string("--image"), dir.file("flash.bin")}) {
            argv.push_back(a);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::remove(port().c_str());
        controller = Child(argv, dir.file("sim.out"), dir.file("sim.err"));
        struct stat st;
        ASSERT_TRUE(wait_until([&] { return lstat(port().c_str(), &st) == 0; }, 20s))
            << "simulator did not start: " << read_file(dir.file("sim.err"));
    }

    RunResult pmprog(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = target_command(PMIC_PMPROG);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_command(argv, 30s);
    }

    // srec_cat turns `size` random octets at offset 0 into 32-octet records.
    std::string make_image(size_t size, std::vector<uint8_t> &binary)
    {
        const unsigned seed = std::random_device{}();
        std::printf("random seed %u\n", seed);
        std::mt19937 random(seed);
        binary.resize(size);
        for (auto &b : binary) {
            b = static_cast<uint8_t>(random());
        }
        write_file(dir.file("data.bin"), std::string(binary.begin(), binary.end()));
        const std::string hex = dir.file("image.hex");
        RunResult r = run_command({PMIC_SREC_CAT, dir.file("data.bin"), "-binary", "-o", hex, "-intel",
                                   "-address-length=2", "-output-block-size=32"});
        EXPECT_EQ(r.status, 0) << r.err;
        return hex;
    }

    std::string hand_file(const std::string &text)
    {
        write_file(dir.file("hand.hex"), text);
        return dir.file("hand.hex");
    }

    size_t count_in_log(const std::string &prefix) const
    {
        size_t n = 0;
        for (const auto &l : log_lines()) {
            n += l.rfind(prefix, 0) == 0;
        }
        return n;
    }

    TempDir dir;
    Child controller;
};

const char *kSequenceFromPm = "Checking state of device... PM\n"
                              "Issuing IAP command... ok\n"
                              "Checking state of device again... ok\n"
                              "Sending START command... ok\n"
                              "Sending CRCs... ok\n"
                              "Sending DATA... ok\n"
                              "Sending RESET... ok\n";

TEST_F(Pmprog, FullRunLeavesTheFileInTheController)
{
    std::vector<uint8_t> binary;
    const std::string hex = make_image(0x2A00, binary);
    start_controller();
    RunResult r = pmprog({"-p", port(), hex});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    // The signatures printed, then the sequence.
    const std::regex crc_line("  CRC\\[([0-7])\\]: ([0-9a-f]{8})");
    auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "Calculating CRCs...");
    std::vector<uint32_t> crc;
    for (size_t i = 0; i < 8; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[1 + i], m, crc_line)) << lines[1 + i];
        EXPECT_EQ(m[1].str(), std::to_string(i));
        crc.push_back(static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16)));
    }
    EXPECT_EQ(crc[6], 0u);
    EXPECT_EQ(crc[7], 0u);
    EXPECT_TRUE(std::regex_match(lines[9], std::regex("  Fixup:  tmp=[0-9a-f]{8}, new=[0-9a-f]{8}, exp=" +
                                                      [&] {
                                                          char b[9];
                                                          std::snprintf(b, sizeof b, "%08x", crc[5]);
                                                          return std::string(b);
                                                      }() +
                                                      ", new\\^tmp=[0-9a-f]{8}")))
        << lines[9];
    EXPECT_NE(r.out.find(kSequenceFromPm), std::string::npos) << r.out;

    // The controller agrees on every signature and holds the file's data,
    // with the signatures in the last 24 octets of sector 5.
    const std::string flash = read_file(dir.file("flash.bin"));
    ASSERT_EQ(flash.size(), 0x4000u);
    EXPECT_EQ(flash.substr(0, binary.size()), std::string(binary.begin(), binary.end()));
    EXPECT_EQ(flash.substr(binary.size(), 0x2FE8 - binary.size()), std::string(0x2FE8 - binary.size(), '\0'));
    for (size_t i = 0; i < 6; ++i) {
        const auto *p = reinterpret_cast<const uint8_t *>(flash.data()) + 0x2FE8 + 4 * i;
        EXPECT_EQ(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3], crc[i]) << i;
    }
    EXPECT_EQ(flash.substr(0x3000), std::string(0x1000, '\0'));
    const auto events = log_lines();
    ASSERT_GE(events.size(), 6u);
    EXPECT_EQ(events[0], "frame ping");
    EXPECT_EQ(events[1], "frame IAP");
    EXPECT_EQ(events[2], "frame ping");
    EXPECT_EQ(events[3], "frame STRT");
    EXPECT_EQ(events[4].substr(0, 4), "crc ");
    EXPECT_EQ(count_in_log("record "), 0x2A00 / 32 + 1); // data and the end record
    EXPECT_NE(log().find("frame r\nsignatures match\nreset 337 records\n"), std::string::npos) << log();
}

TEST_F(Pmprog, ControllerAlreadyInItsProgrammerGetsNoIap)
{
    start_controller({"--state", "iap"});
    RunResult r = pmprog({"--port", port(), hand_file(hex_record(0, 0x100, {1, 2, 3}) + ":00000001FF\n")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Checking state of device... IAP\nSending START command... ok\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("IAP command"), std::string::npos);
    EXPECT_EQ(count_in_log("frame IAP"), 0u);
    EXPECT_EQ(count_in_log("signatures match"), 1u);
}

TEST_F(Pmprog, UnansweredIapIsAcceptedAndTheSecondPingDecides)
{
    start_controller({"--fault", "iap-silent"});
    RunResult r = pmprog({"-p", port(), hand_file(hex_record(0, 0, {0x55}))});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kSequenceFromPm), std::string::npos) << r.out;
}

TEST_F(Pmprog, WrongAnswersEndTheRun)
{
    const struct {
        const char *fault;
        const char *message;
    } cases[] = {
        {"iap-wrong", "pmic_cmd_iap(): unexpected response code 402\n"},
        {"ping-wrong", "programFile(): unexpected PING response\n"},
        {"strt-wrong", "pmic_cmd_iap_start(): unexpected response code 800\n"},
        {"crc-wrong", "programFile(): failed to send CRC\n"},
    };
    const std::string file = hand_file(hex_record(0, 0, {0x55}));
    for (const auto &c : cases) {
        start_controller({"--fault", c.fault});
        RunResult r = pmprog({"-p", port(), file});
        EXPECT_EQ(r.status, 255) << c.fault;
        EXPECT_EQ(r.err, c.message) << c.fault;
        EXPECT_EQ(count_in_log("record "), 0u) << c.fault;
        controller.stop();
        std::remove(dir.file("sim.log").c_str());
    }
}

TEST_F(Pmprog, CrLfLineEndsFailAtTheFirstEcho)
{
    std::vector<uint8_t> binary;
    std::string text = read_file(make_image(256, binary));
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(crlf)});
    EXPECT_EQ(r.status, 255);
    std::string first = text.substr(0, text.find('\n'));
    for (auto &c : first) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(r.err, "programFile(): mismatched data; expected '" + first + "\r', got '" + first + "'\n");
    EXPECT_EQ(count_in_log("record "), 1u);
    EXPECT_EQ(count_in_log("frame r"), 0u);
}

TEST_F(Pmprog, BadEchoesAreCaught)
{
    const std::string file = hand_file(hex_record(0, 0, {1, 2}) + hex_record(0, 2, {3, 4}) + ":00000001FF\n");
    std::string second = hex_record(0, 2, {3, 4});
    second.pop_back();
    for (auto &c : second) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char *fault : {"echo-wrong@2", "echo-short@2"}) {
        start_controller({"--fault", fault});
        RunResult r = pmprog({"-p", port(), file});
        EXPECT_EQ(r.status, 255) << fault;
        EXPECT_EQ(r.err.rfind("programFile(): mismatched data; expected '" + second + "', got '", 0), 0u)
            << r.err;
        EXPECT_EQ(count_in_log("frame r"), 0u);
        controller.stop();
        std::remove(dir.file("sim.log").c_str());
    }
}

// Refused before the line is used: the controller sees no frame at all.
TEST_F(Pmprog, BadImagesNeverReachTheLine)
{
    const struct {
        std::string text;
        const char *message;
    } cases[] = {
        {hex_record(0, 0x1000, {1}) + hex_record(0, 0x3000, {1}),
         "programFile(): error; hex file tries to write into IAP sectors\n"},
        {":0100000001FD\n", "readIntelHex(): checksum fd of record 1 is wrong (computed fe)\n"},
        {hex_record(0, 0, {1}) + std::string(1, '\0') + ":00000001FF\n",
         "readIntelHex(): NUL character at offset 14\n"},
        {hex_record(0, 0, {1}) + "garbage\n", "readIntelHex(): invalid record mark\n"},
        {":00000001FF\n", "readIntelHex(): no data records\n"},
        {hex_record(0, 0x4000, {1}), "overflow\n"},
    };
    start_controller();
    for (const auto &c : cases) {
        RunResult r = pmprog({"-p", port(), hand_file(c.text)});
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out.find("Checking state"), std::string::npos);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Pmprog, RecordType04Aborts)
{
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(":020000040000FA\n" + hex_record(0, 0, {1}))});
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.err.rfind("applyIntelHex(): invalid code '04'\n", 0), 0u) << r.err;
    EXPECT_EQ(log(), "");
}

TEST_F(Pmprog, PageCrossingRecordIsCutAsTheControllerCutsIt)
{
    std::vector<unsigned> data(16);
    for (unsigned i = 0; i < 16; ++i) {
        data[i] = 0xB0 + i;
    }
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(hex_record(0, 0x0038, data) + ":00000001FF")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "readIntelHex(): warning: record at 0038 crosses a 64-octet page; 8 of 16 octets placed\n");
    const std::string flash = read_file(dir.file("flash.bin"));
    ASSERT_EQ(flash.size(), 0x4000u);
    EXPECT_EQ(flash.substr(0x38, 8), "\xb0\xb1\xb2\xb3\xb4\xb5\xb6\xb7");
    EXPECT_EQ(flash.substr(0x40, 8), std::string(8, '\0'));
    // The last line had no line end: it was sent with one and echoed in full.
    EXPECT_EQ(count_in_log("record 2 :00000001ff"), 1u);
    EXPECT_EQ(count_in_log("signatures match"), 1u);
}

// On a terminal each record acknowledged shows as one '#'.
TEST_F(Pmprog, ProgressMarksOnATerminal)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    start_controller({"--state", "iap"});
    std::vector<std::string> argv = target_command(PMIC_PMPROG);
    argv.insert(argv.end(),
                {"-p", port(), hand_file(hex_record(0, 0, {1}) + hex_record(0, 1, {2}) + ":00000001FF\n")});
    Child tool(argv, terminal, dir.file("tool.err"));
    int status = -1;
    std::string shown;
    ASSERT_TRUE(wait_until(
        [&] {
            pollfd p{master, POLLIN, 0};
            char buf[256];
            while (poll(&p, 1, 0) > 0) {
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                shown.append(buf, static_cast<size_t>(n));
            }
            return shown.find("Sending RESET... ok") != std::string::npos;
        },
        30s))
        << shown;
    EXPECT_TRUE(tool.wait(30s, &status));
    EXPECT_EQ(status, 0);
    close(master);
    // The terminal turns each line end into CR LF.
    EXPECT_NE(shown.find("Sending DATA...### ok\r\n"), std::string::npos) << shown;
}

TEST_F(Pmprog, HangUpDuringTheDataFailsAtOnce)
{
    start_controller({"--fault", "hangup@3"});
    std::vector<uint8_t> binary;
    RunResult r = pmprog({"-p", port(), make_image(512, binary)});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "pmic_read(): failed to read code block\nprogramFile(): failed to send data: \n");
}

// A silent controller leaves pmprog waiting for its answer, asleep in a read
// rather than spinning.
TEST_F(Pmprog, SilentControllerLeavesTheToolAsleep)
{
    start_controller({"--fault", "silence@2"});
    std::vector<uint8_t> binary;
    const std::string hex = make_image(512, binary);
    std::vector<std::string> argv = target_command(PMIC_PMPROG);
    argv.insert(argv.end(), {"-p", port(), hex});
    Child tool(argv, dir.file("tool.out"), dir.file("tool.err"));
    ASSERT_TRUE(wait_until([&] { return log().find("silent\n") != std::string::npos; }, 30s));
    const std::string stat_path = "/proc/" + std::to_string(tool.pid()) + "/stat";
    // utime and stime: fields 14 and 15; the state is field 3.
    auto sample = [&](char *state) {
        std::istringstream in(read_file(stat_path).substr(read_file(stat_path).rfind(')') + 2));
        std::vector<std::string> f;
        for (std::string w; in >> w;) {
            f.push_back(w);
        }
        *state = f.at(0)[0];
        return std::stol(f.at(11)) + std::stol(f.at(12));
    };
    char state = '?';
    ASSERT_TRUE(wait_until(
        [&] {
            sample(&state);
            return state == 'S';
        },
        10s));
    const long before = sample(&state);
    std::this_thread::sleep_for(500ms); // the interval over which it must not run
    const long after = sample(&state);
    EXPECT_EQ(state, 'S');
    EXPECT_LE(after - before, 2) << "CPU ticks spent while waiting";
    int status = 0;
    EXPECT_FALSE(tool.wait(0ms, &status));
    tool.stop();
}

TEST_F(Pmprog, SingleCommandsExitWithOne)
{
    start_controller();
    RunResult r = pmprog({"-p", port(), "-P"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Checking state of device... PM\n");
    r = pmprog({"-r", "-p", port(), "-j"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Sending 'j'... 200\n");
    r = pmprog({"-R", "-p", port(), "ignored.hex"});
    EXPECT_EQ(r.status, 1);
    r = pmprog({"-P", "-r", "-p", port()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(log(), "frame ping\nframe j\nframe R\nframe r\n");
}

TEST_F(Pmprog, OptionsStopAtTheFirstNonOption)
{
    start_controller();
    // "-P" after the file name is not an option: the file is programmed.
    RunResult r = pmprog({"-p", port(), hand_file(hex_record(0, 0, {7}) + ":00000001FF\n"), "-P"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_in_log("signatures match"), 1u);
}

TEST_F(Pmprog, CommandLine)
{
    RunResult r = pmprog({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "pmprog 0.1 -- IAP programming tool\n");
    r = pmprog({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Usage: pmprog [--port|-p <filename>] <filename>\n\n    --port|-p <filename>\n"
                     "               :...  serial port (default: /dev/ttyS0)\n\n");
    const std::string try_help = std::string("Try '") + PMIC_PMPROG + " --help\" for more information.\n";
    for (const char *bad : {"--erase", "-x", "--bogus"}) {
        r = pmprog({bad});
        EXPECT_EQ(r.status, 255) << bad;
        EXPECT_TRUE(r.err.size() >= try_help.size() &&
                    r.err.compare(r.err.size() - try_help.size(), try_help.size(), try_help) == 0)
            << r.err;
    }
    r = pmprog({"-p", "/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No filename specified; try '--help' for more information\n");
    r = pmprog({"-p", "/dev/null", dir.file("missing.hex")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open(" + dir.file("missing.hex") + "): No such file or directory\n");
    r = pmprog({"-p", dir.file("no-such-port"), hand_file(hex_record(0, 0, {1}))});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open(): No such file or directory\n");
    r = pmprog({"-p", "/dev/null", hand_file(hex_record(0, 0, {1}))});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tcsetattr(): Inappropriate ioctl for device\n");
}

} // namespace
