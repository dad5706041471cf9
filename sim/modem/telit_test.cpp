#include "telit.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

struct Sim : testing::Test {
    telitsim::Modem m;
    bytes out;
    std::vector<std::string> events;
    void SetUp() override
    {
        m.send = [this](std::span<const uint8_t> d) { out.insert(out.end(), d.begin(), d.end()); };
        m.event = [this](const std::string &e) { events.push_back(e); };
        // The basic cases without the responder's own status commands.
        m.msc_after_ua = m.msc_unopened = false;
    }
    std::string text()
    {
        std::string s(out.begin(), out.end());
        out.clear();
        return s;
    }
    void type(const std::string &s) { m.receive(bytes(s.begin(), s.end())); }
    void to_mux()
    {
        m.echo = false;
        type("AT+CMUX=0\r");
        ASSERT_EQ(text(), "\r\nOK\r\n");
        ASSERT_TRUE(m.in_mux());
    }
    static bytes frame(uint8_t a, uint8_t c, bytes info)
    {
        bytes covered = {a, c, static_cast<uint8_t>(info.size() << 1 | 1)};
        if ((c & 0xEF) != 0xEF)
            covered.insert(covered.end(), info.begin(), info.end());
        bytes f = {0xF9, a, c, static_cast<uint8_t>(info.size() << 1 | 1)};
        f.insert(f.end(), info.begin(), info.end());
        f.push_back(telitsim::fcs(covered));
        f.push_back(0xF9);
        return f;
    }
};

TEST_F(Sim, FcsOfTheStandardsExamples)
{
    EXPECT_EQ(telitsim::fcs(bytes{0x03, 0x3F, 0x01}), 0x1C);
    EXPECT_EQ(telitsim::fcs(bytes{0x03, 0x73, 0x01}), 0xD7);
}

TEST_F(Sim, AtPhase)
{
    type("AT\r");
    EXPECT_EQ(text(), "AT\r\r\nOK\r\n");
    type("ATE0V1&K3&D2\r");
    EXPECT_EQ(text(), "ATE0V1&K3&D2\r\r\nOK\r\n");
    type("AT+FOO\r");
    EXPECT_EQ(text(), "\r\nOK\r\n");
    m.failing.insert("AT#SELINT=2");
    type("AT#SELINT=2\r");
    EXPECT_EQ(text(), "\r\nERROR\r\n");
    type("AT+CMUX=1\r");
    EXPECT_EQ(text(), "\r\nERROR\r\n");
    EXPECT_FALSE(m.in_mux());
}

TEST_F(Sim, SilentFirstAt)
{
    m.silent_first_at = true;
    m.echo = false;
    type("AT\r");
    EXPECT_EQ(text(), "");
    type("AT\r");
    EXPECT_EQ(text(), "\r\nOK\r\n");
}

TEST_F(Sim, OpenTestStatusAndData)
{
    to_mux();
    m.receive(frame(0x03, 0x3F, {}));
    EXPECT_EQ(out, (bytes{0xF9, 0x03, 0x73, 0x01, 0xD7, 0xF9}));
    out.clear();
    m.receive(frame(0x03, 0xEF, {0x23, 0x0B, 't', 'e', 's', 't', '0'}));
    EXPECT_EQ(out, frame(0x01, 0xEF, {0x21, 0x0B, 't', 'e', 's', 't', '0'}));
    out.clear();
    m.receive(frame(0x07, 0x3F, {}));
    out.clear();
    // A response that answers nothing is a violation and goes unanswered.
    m.receive(frame(0x03, 0xEF, {0xE1, 0x05, 0x07, 0x0D}));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(m.violations, (std::vector<std::string>{"response 0xe1 answers no command"}));
    m.violations.clear();
    m.receive(frame(0x03, 0xEF, {0xE3, 0x05, 0x07, 0x0C}));
    EXPECT_EQ(out, frame(0x01, 0xEF, {0xE1, 0x05, 0x07, 0x0C}));
    out.clear();
    m.split = 2;
    m.receive(frame(0x07, 0xEF, {'a', 'b', 'c'}));
    bytes expected = frame(0x05, 0xEF, {'a', 'b'});
    bytes second = frame(0x05, 0xEF, {'c'});
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(out, expected);
}

TEST_F(Sim, RefusalsFaultsAndPowerSaving)
{
    to_mux();
    m.receive(frame(0x0B, 0x53, {}));
    EXPECT_EQ(out, frame(0x0B, 0x1F, {})); // DISC of a closed DLCI: DM
    out.clear();
    m.faults.refuse = true;
    m.receive(frame(0x0B, 0x3F, {}));
    EXPECT_EQ(out, frame(0x0B, 0x1F, {}));
    out.clear();
    m.faults.refuse = false;
    bytes bad = frame(0x03, 0x3F, {});
    bad[4] ^= 1;
    m.receive(bad);
    EXPECT_TRUE(out.empty());
    m.receive(bytes{0x00, 0x41});
    m.receive(frame(0x03, 0x3F, {}));
    EXPECT_EQ(out, frame(0x03, 0x73, {}));
    out.clear();
    m.faults.bad_flag = 1;
    m.faults.no_test = true;
    m.receive(frame(0x03, 0xEF, {0x23, 0x0B, 't', 'e', 's', 't', '0'}));
    EXPECT_TRUE(out.empty());
    m.receive(frame(0x03, 0xEF, {0x61, 0x00}));
    EXPECT_TRUE(m.sleeping());
    m.set_dtr(false);
    m.set_dtr(true);
    EXPECT_FALSE(m.sleeping());
    EXPECT_EQ(events.back(), "wake");
}

struct Responder : Sim {
    std::vector<std::pair<int, std::function<void()>>> timers;
    void SetUp() override
    {
        Sim::SetUp();
        m.msc_after_ua = m.msc_unopened = true;
        m.later = [this](int ms, std::function<void()> fn) { timers.emplace_back(ms, fn); };
    }
    void run_timers()
    {
        auto due = std::move(timers);
        timers.clear();
        for (auto &t : due)
            t.second();
    }
};

TEST_F(Responder, CommandModeSwallowsWhatFollowsTheSwitch)
{
    m.echo = false;
    m.late["AT"] = 300;
    type("AT\r");
    EXPECT_EQ(text(), ""); // late
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].first, 300);
    run_timers();
    EXPECT_EQ(text(), "\r\nOK\r\n");
    // A SABM sent with the command (before the OK) is AT text and lost.
    bytes cmd = {'A', 'T', '+', 'C', 'M', 'U', 'X', '=', '0', '\r'};
    bytes sabm = frame(0x03, 0x3F, {});
    cmd.insert(cmd.end(), sabm.begin(), sabm.end());
    m.receive(cmd);
    EXPECT_EQ(text(), "\r\nOK\r\n");
    EXPECT_TRUE(m.in_mux());
    EXPECT_FALSE(m.open(0));
}

TEST_F(Responder, ABusyModemReadsTheNextCommandAfterItsLateAnswer)
{
    m.echo = false;
    m.late["AT+CMEE=2"] = 300;
    type("AT+CMEE=2\r");
    type("AT\r"); // sent again by an impatient DTE
    EXPECT_EQ(text(), "");
    run_timers();
    EXPECT_EQ(text(), "\r\nOK\r\n\r\nOK\r\n");
    // A second "AT+CMUX=0" behind a late first one reaches a modem that
    // has switched: it is no command any more, and gets no answer.
    m.late["AT+CMUX=0"] = 250;
    out.clear();
    type("AT+CMUX=0\r");
    type("AT+CMUX=0\r");
    run_timers();
    EXPECT_EQ(text(), "\r\nOK\r\n");
    EXPECT_TRUE(m.in_mux());
}

TEST_F(Responder, StatusCommandsRepeatedUntilAnswered)
{
    to_mux();
    m.lose_sabm = 1;
    m.receive(frame(0x03, 0x3F, {}));
    EXPECT_TRUE(out.empty()); // the first SABM is lost
    m.receive(frame(0x03, 0x3F, {}));
    bytes want = frame(0x03, 0x73, {});
    for (uint8_t d = 1; d <= 4; ++d) {
        bytes f = frame(0x01, 0xEF, {0xE3, 0x05, static_cast<uint8_t>(d << 2 | 3), 0x01});
        want.insert(want.end(), f.begin(), f.end());
    }
    EXPECT_EQ(out, want);
    EXPECT_EQ(m.unanswered(), 4u);
    out.clear();
    // Answers for DLCIs 1..3; the one for 4 is repeated after T2.
    for (uint8_t d = 1; d <= 3; ++d)
        m.receive(frame(0x03, 0xEF, {0xE1, 0x05, static_cast<uint8_t>(d << 2 | 3), 0x01}));
    EXPECT_EQ(m.unanswered(), 1u);
    run_timers();
    EXPECT_EQ(out, frame(0x01, 0xEF, {0xE3, 0x05, 0x13, 0x01}));
    m.receive(frame(0x03, 0xEF, {0xE1, 0x05, 0x13, 0x01}));
    out.clear();
    run_timers();
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(m.violations.empty()) << m.violations[0];
}

TEST_F(Responder, StrictChecksAndFlowControl)
{
    to_mux();
    m.msc_after_ua = m.msc_unopened = false;
    m.receive(frame(0x07, 0x3F, {})); // before DLCI 0
    m.receive(frame(0x03, 0x3F, {}));
    m.receive(frame(0x07, 0x2F, {})); // P = 0
    m.receive(frame(0x03, 0xEF, {0xE3, 0x05, 0x07, 0x0C})); // V.24 without EA
    m.receive(frame(0x03, 0xEF, {0xE3, 0x03, 0x07})); // MSC too short
    m.receive(frame(0x0B, 0xEF, {'x'}));              // DLCI 2 is closed
    EXPECT_EQ(m.violations, (std::vector<std::string>{
                                "SABM on DLCI 1 before DLCI 0 is open",
                                "SABM on DLCI 1 with C/R=1 P=0",
                                "MSC without EA (0x0c)",
                                "MSC length 1",
                                "data on closed DLCI 2",
                            }));
    m.violations.clear();
    // FC under load: after 100 octets FC is set; data the DTE sent before
    // it answered is fine, data after its answer is not.
    m.fc_after = 100;
    m.modes[1] = telitsim::DataMode::sink;
    out.clear();
    m.receive(frame(0x07, 0xEF, bytes(100, 'a')));
    EXPECT_EQ(out, frame(0x01, 0xEF, {0xE3, 0x05, 0x07, 0x0F}));
    m.receive(frame(0x07, 0xEF, bytes(10, 'b')));
    EXPECT_TRUE(m.violations.empty());
    m.receive(frame(0x03, 0xEF, {0xE1, 0x05, 0x07, 0x0F}));
    m.receive(frame(0x07, 0xEF, bytes(10, 'c')));
    EXPECT_EQ(m.violations, (std::vector<std::string>{"data on DLCI 1 while FC is set"}));
    m.violations.clear();
    out.clear();
    run_timers(); // released (0x0D); T2 has no repeat, both were answered
    EXPECT_EQ(out, frame(0x01, 0xEF, {0xE3, 0x05, 0x07, 0x0D}));
    m.receive(frame(0x03, 0xEF, {0xE1, 0x05, 0x07, 0x0D}));
    m.receive(frame(0x07, 0xEF, bytes(10, 'd')));
    EXPECT_TRUE(m.violations.empty());
    // One flag between frames sent back to back.
    m.shared_flag = true;
    m.modes[1] = telitsim::DataMode::loopback;
    m.split = 1;
    out.clear();
    m.receive(frame(0x07, 0xEF, {'x', 'y'}));
    bytes both = frame(0x05, 0xEF, {'x'});
    bytes second = frame(0x05, 0xEF, {'y'});
    both.insert(both.end(), second.begin() + 1, second.end());
    both.erase(both.begin()); // the frame before ended with a flag as well
    EXPECT_EQ(out, both);
}

TEST_F(Responder, CommandsWhileAnAnswerIsDue)
{
    // What the DTE sends while an answer is due: the same command again is
    // fine, another command or a frame is not.
    struct Case {
        bool keep_reading;
        std::vector<std::string> sent; // "\r" ends each line; "SABM" is a frame
        std::string out;               // after every answer is out
        std::vector<std::string> violations;
    };
    const std::string ok = "\r\nOK\r\n";
    const Case cases[] = {
        {true, {"AT\r", "AT\r"}, ok + ok, {}},
        {true, {"AT\r", "AT+CMEE=2\r"}, ok + ok, {"\"AT+CMEE=2\" before the answer to \"AT\""}},
        {false, {"AT\r", "AT+CMEE=2\r"}, ok + ok, {}}, // read after the answer
        {true, {"AT+CMUX=0\r", "SABM"}, ok, {"frame sent in command mode"}},
        // (read once the OK is out, and answered)
        {false, {"AT+CMUX=0\r", "SABM"}, ok + "\xF9\x03\x73\x01\xD7\xF9", {"frame sent in command mode"}},
    };
    for (const Case &c : cases) {
        telitsim::Modem modem;
        std::string got;
        std::vector<std::function<void()>> due;
        modem.send = [&](std::span<const uint8_t> d) { got.append(d.begin(), d.end()); };
        modem.later = [&](int, std::function<void()> fn) { due.push_back(fn); };
        modem.echo = modem.msc_after_ua = false;
        modem.keep_reading = c.keep_reading;
        modem.answer_delay_ms = 300;
        for (const std::string &s : c.sent)
            modem.receive(s == "SABM" ? frame(0x03, 0x3F, {}) : bytes(s.begin(), s.end()));
        EXPECT_EQ(got, "") << c.sent[1];
        while (!due.empty()) {
            auto now = std::move(due);
            due.clear();
            for (auto &fn : now)
                fn();
        }
        EXPECT_EQ(got, c.out) << c.sent[1];
        EXPECT_EQ(modem.violations, c.violations) << c.sent[1];
    }
}

TEST_F(Responder, NoiseAndOwnLines)
{
    m.echo = false;
    m.say("RING");
    EXPECT_EQ(text(), "\r\nRING\r\n");
    to_mux();
    m.say("RING"); // no AT text in multiplexer mode
    m.send_noise(100);
    ASSERT_EQ(out.size(), 100u);
    // A UIH frame on DLCI 1 whose FCS is wrong, then junk.
    size_t len = out[3] >> 1;
    EXPECT_EQ((bytes{out[0], out[1], out[2]}), (bytes{0xF9, 0x05, 0xEF}));
    EXPECT_EQ(len, 60u);
    EXPECT_NE(out[4 + len], telitsim::fcs(bytes{0x05, 0xEF, out[3]}));
    EXPECT_EQ(out[5 + len], 0xF9);
}

} // namespace
