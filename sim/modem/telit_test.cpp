#include "telit.h"

#include <gtest/gtest.h>

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
    m.receive(frame(0x03, 0xEF, {0xE1, 0x05, 0x07, 0x0D}));
    EXPECT_TRUE(out.empty()); // a status from the unit, no command: no answer
    EXPECT_EQ(m.dte_status(1), 0x0D);
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

} // namespace
