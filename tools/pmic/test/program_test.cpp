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
        {"ping-wrong", "programFile(): unexpected PING response 602\n"},
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

// CR LF line ends (as Windows tools write them) and blank lines are dropped
// before a record goes out: the controller receives exactly what it receives
// from the same file with LF line ends.
TEST_F(Pmprog, CrLfLineEndsAndBlankLinesAreAccepted)
{
    std::vector<uint8_t> binary;
    std::string text = read_file(make_image(0x300, binary));
    std::string crlf = "\r\n";
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    crlf.insert(crlf.find('\n') + 1, "\n\r\n");
    crlf += "\r\n\n";
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(crlf)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(kSequenceFromPm), std::string::npos) << r.out;
    EXPECT_EQ(count_in_log("garbage"), 0u);
    EXPECT_EQ(count_in_log("record "), 0x300 / 32 + 1);
    EXPECT_EQ(count_in_log("signatures match"), 1u);
    EXPECT_EQ(read_file(dir.file("flash.bin")).substr(0, binary.size()), std::string(binary.begin(), binary.end()));
}

// A file the sender could not deliver record by record is refused before
// the line is used: CR alone as line end, records run together.
TEST_F(Pmprog, RecordsNotOnLinesOfTheirOwnNeverReachTheLine)
{
    std::string first = hex_record(0, 0, {1, 2});
    std::string second = hex_record(0, 2, {3, 4});
    std::string cr_only = first + second + ":00000001FF\n";
    for (auto &c : cr_only) {
        c = c == '\n' ? '\r' : c;
    }
    first.pop_back();
    const std::string cases[] = {cr_only, first + second + ":00000001FF\n"};
    start_controller();
    for (const auto &text : cases) {
        RunResult r = pmprog({"-p", port(), hand_file(text)});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "programFile(): record 2 does not start a line (line ends must be LF or CR LF)\n");
        EXPECT_EQ(r.out.find("Checking state"), std::string::npos);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Pmprog, BadEchoesAreCaught)
{
    const std::string file = hand_file(hex_record(0, 0, {1, 2}) + hex_record(0, 2, {3, 4}) + ":00000001FF\n");
    std::string second = hex_record(0, 2, {3, 4});
    second.pop_back();
    for (auto &c : second) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char *fault : {"echo-wrong@2", "echo-short@2", "echo-control@2"}) {
        start_controller({"--fault", fault});
        RunResult r = pmprog({"-p", port(), file});
        EXPECT_EQ(r.status, 255) << fault;
        EXPECT_EQ(r.err.rfind("programFile(): mismatched data; expected '" + second + "', got '", 0), 0u)
            << r.err;
        // Control octets show as escapes.
        EXPECT_EQ(r.err.find_first_of("\r\a"), std::string::npos) << r.err;
        if (std::string(fault) == "echo-control@2") {
            EXPECT_NE(r.err.find("\\x07"), std::string::npos) << r.err;
        }
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

// Refused with status 255 before anything is sent: extended addresses, any
// record into the programmer's sectors (even all zero), records that cross a
// 64-octet page (the controller would drop their tail and still agree).
TEST_F(Pmprog, UnprogrammableRecordsNeverReachTheLine)
{
    const struct {
        std::string text;
        const char *message;
    } cases[] = {
        {":020000040000FA\n" + hex_record(0, 0, {1}), "applyIntelHex(): invalid code '04'\n"},
        {hex_record(0, 0, {1}) + hex_record(0, 0x3000, {0, 0, 0, 0}),
         "programFile(): error; hex file tries to write into IAP sectors\n"},
        {hex_record(0, 0x2FFF, {0, 0}), "programFile(): error; hex file tries to write into IAP sectors\n"},
        {hex_record(0, 0x0038, std::vector<unsigned>(16, 0xB0)) + ":00000001FF",
         "programFile(): record 1 at 0038 crosses a 64-octet page\n"},
        {hex_record(0, 0, {1}) + hex_record(0, 0x1430, std::vector<unsigned>(32, 0x5A)),
         "programFile(): record 2 at 1430 crosses a 64-octet page\n"},
    };
    start_controller();
    for (const auto &c : cases) {
        RunResult r = pmprog({"-p", port(), hand_file(c.text)});
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out.find("Checking state"), std::string::npos);
    }
    EXPECT_EQ(log(), "");
}

// Records aligned to their page are programmed, wherever they sit in it.
TEST_F(Pmprog, RecordsInsideOnePageArePlacedWhole)
{
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(hex_record(0, 0x1430, std::vector<unsigned>(16, 0x5A)) +
                                                  hex_record(0, 0x1440, std::vector<unsigned>(64, 0xA5)) +
                                                  ":00000001FF")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string flash = read_file(dir.file("flash.bin"));
    EXPECT_EQ(flash.substr(0x1430, 16), std::string(16, '\x5a'));
    EXPECT_EQ(flash.substr(0x1440, 64), std::string(64, '\xa5'));
    // The last line had no line end: it was sent with one and echoed in full.
    EXPECT_EQ(count_in_log("record 3 :00000001ff"), 1u);
    EXPECT_EQ(count_in_log("signatures match"), 1u);
}

// Data where the signatures are stored is replaced by them: programmed, with
// a warning.
TEST_F(Pmprog, DataWhereTheSignaturesGoIsWarnedAbout)
{
    start_controller();
    RunResult r = pmprog({"-p", port(), hand_file(hex_record(0, 0x2FC0, std::vector<unsigned>(64, 0x11)))});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "programFile(): warning: data at 2fe8-2fff is replaced by the stored signatures\n");
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

// A controller that does not answer ends the run after the answer time-out
// with a message and status 255, at the first PING as during the data.
TEST_F(Pmprog, SilentControllerEndsTheRunWithAMessage)
{
    const struct {
        const char *fault;
        const char *message;
    } cases[] = {
        {"silence@0", "pmic_read(): no answer from the controller within 5000 ms\n"},
        {"silence@2", "pmic_read(): no answer from the controller within 5000 ms\n"
                      "programFile(): failed to send data: \n"},
    };
    std::vector<uint8_t> binary;
    const std::string hex = make_image(512, binary);
    for (const auto &c : cases) {
        start_controller({"--fault", c.fault});
        const auto started = std::chrono::steady_clock::now();
        RunResult r = pmprog({"-p", port(), hex});
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
        EXPECT_EQ(r.status, 255) << c.fault;
        EXPECT_EQ(r.err, c.message) << c.fault;
        controller.stop();
        std::remove(dir.file("sim.log").c_str());
    }
}

// A late or noisy answer to IAP does not spoil the answers that follow.
TEST_F(Pmprog, LateOrNoisyIapAnswerIsDropped)
{
    const std::string file = hand_file(hex_record(0, 0, {0x55}));
    for (const char *fault : {"iap-late", "iap-noise"}) {
        start_controller({"--fault", fault});
        RunResult r = pmprog({"-p", port(), file});
        EXPECT_EQ(r.status, 0) << fault << r.err;
        EXPECT_EQ(r.err, "") << fault;
        EXPECT_NE(r.out.find(kSequenceFromPm), std::string::npos) << r.out;
        EXPECT_EQ(count_in_log("signatures match"), 1u) << fault;
        controller.stop();
        std::remove(dir.file("sim.log").c_str());
    }
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
