// The event decision without a JVM: time differences, interval and
// data-change filters, the awaited identifier and the error flags.
#include <gtest/gtest.h>

#include <cstring>

#include "canfilter.h"

namespace
{

canmsg_t record(uint32_t id, int32_t seconds, int32_t micros, std::initializer_list<uint8_t> data = {})
{
    canmsg_t m{};
    m.id = id;
    m.seconds = seconds;
    m.microseconds = micros;
    m.length = static_cast<int16_t>(data.size());
    int i = 0;
    for (uint8_t b : data) {
        m.data[i++] = b;
    }
    return m;
}

CanFilterEntry filter(int32_t id, int32_t interval)
{
    CanFilterEntry e{};
    e.id = id;
    e.interval = interval;
    return e;
}

constexpr int32_t kNone = -1;

} // namespace

TEST(TimeDifference, TruncatesEachStampBeforeSubtracting)
{
    EXPECT_EQ(getTimeDiffMilliseconds(10, 0, 9, 999999), 1); // carry over a full second
    EXPECT_EQ(getTimeDiffMilliseconds(10, 999, 10, 0), 0);
    EXPECT_EQ(getTimeDiffMilliseconds(10, 1000, 10, 999), 1);
    EXPECT_EQ(getTimeDiffMilliseconds(9, 0, 10, 0), -1000);
    // Real time stamps overflow 32 bits in milliseconds; the difference is
    // still right.
    EXPECT_EQ(getTimeDiffMilliseconds(1765000001, 5000, 1765000000, 0), 1005);
}

TEST(Decision, FirstMatchAlwaysReportsThenIntervalZeroNeedsOneMillisecond)
{
    CanFilterEntry table[] = {filter(0x100, 0)};
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x100, 5, 0)), CAN_EVENT_FIRE);
    EXPECT_EQ(table[0].firstSeen, 1);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x100, 5, 999)), 0); // same millisecond
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x100, 5, 1000)), CAN_EVENT_FIRE);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x101, 9, 0)), 0); // other identifier
}

TEST(Decision, IntervalBoundaryAndEarlierStamps)
{
    CanFilterEntry table[] = {filter(0x200, 100)};
    ASSERT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 1, 0)), CAN_EVENT_FIRE);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 1, 100000)), 0); // exactly 100 ms
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 1, 101000)), CAN_EVENT_FIRE);
    EXPECT_EQ(table[0].lastMessage.microseconds, 101000);
    // Nothing in between is stored: the interval runs from the last report.
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 1, 150000)), 0);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 1, 202000)), CAN_EVENT_FIRE);
    // A stamp before the stored one counts as elapsed.
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x200, 0, 0)), CAN_EVENT_FIRE);
    // Microsecond carry: 0.999999 stored, 1.000000 is 1 ms later.
    CanFilterEntry one[] = {filter(0x7, 0)};
    CAN_decideEvent(one, 1, kNone, record(0x7, 0, 999999));
    EXPECT_EQ(CAN_decideEvent(one, 1, kNone, record(0x7, 1, 0)), CAN_EVENT_FIRE);
}

TEST(Decision, DataChangeUnderMaskComparesAgainstLastReport)
{
    CanFilterEntry table[] = {filter(0x300, -1)};
    table[0].maskSet = 1;
    table[0].mask[0] = 0x0F;
    ASSERT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {0x10, 0x01})), CAN_EVENT_FIRE);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {0x1F, 0x01})), 0); // low bits masked
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {0x30, 0x01})), CAN_EVENT_FIRE);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {0x30, 0x02})), CAN_EVENT_FIRE);
    // A length change alone is no change; a record of length 0 never is.
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {0x30})), 0);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x300, 0, 0, {})), 0);
}

TEST(Decision, UnloadedMaskCountsEveryBitAndSlowDriftAddsUp)
{
    CanFilterEntry table[] = {filter(0x301, -5)}; // negative, not -1: nothing loaded
    table[0].mask[0] = 0x03;                      // a drift of up to 3 is ignored
    table[0].maskSet = 1;
    ASSERT_EQ(CAN_decideEvent(table, 1, kNone, record(0x301, 0, 0, {0x00})), CAN_EVENT_FIRE);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x301, 0, 0, {0x01})), 0);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x301, 0, 0, {0x02})), 0);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, record(0x301, 0, 0, {0x04})), CAN_EVENT_FIRE);

    CanFilterEntry plain[] = {filter(0x302, -1)};
    CAN_decideEvent(plain, 1, kNone, record(0x302, 0, 0, {0x00}));
    EXPECT_EQ(CAN_decideEvent(plain, 1, kNone, record(0x302, 0, 0, {0x01})), CAN_EVENT_FIRE);
}

TEST(Decision, TwoFiltersOneReportBothUpdated)
{
    CanFilterEntry table[] = {filter(-1, 1000), filter(0x400, -1), filter(0x401, 0)};
    EXPECT_EQ(CAN_decideEvent(table, 3, kNone, record(0x400, 1, 0, {1})), CAN_EVENT_FIRE);
    EXPECT_EQ(table[0].firstSeen, 1);
    EXPECT_EQ(table[1].firstSeen, 1);
    EXPECT_EQ(table[2].firstSeen, 0);
    // Data changed: the data filter reports, the wildcard interval one does not.
    EXPECT_EQ(CAN_decideEvent(table, 3, kNone, record(0x400, 1, 5000, {2})), CAN_EVENT_FIRE);
    EXPECT_EQ(table[0].lastMessage.data[0], 1);
    EXPECT_EQ(table[1].lastMessage.data[0], 2);
    // Only the first `filters` entries take part.
    EXPECT_EQ(CAN_decideEvent(table, 2, kNone, record(0x401, 9, 0)), CAN_EVENT_FIRE);
    EXPECT_EQ(table[2].firstSeen, 0);
}

TEST(Decision, AwaitedIdentifierAndErrorFlagsWithEmptyTable)
{
    EXPECT_EQ(CAN_decideEvent(nullptr, 0, 0x123, record(0x123, 0, 0)), CAN_EVENT_FILTERED);
    EXPECT_EQ(CAN_decideEvent(nullptr, 0, 0x123, record(0x124, 0, 0)), 0);
    EXPECT_EQ(CAN_decideEvent(nullptr, 0, 0, record(0, 0, 0)), CAN_EVENT_FILTERED);
    EXPECT_EQ(CAN_decideEvent(nullptr, 0, kNone, record(0x123, 0, 0)), 0);

    for (int32_t flag : {MSG_OVR, MSG_PASSIVE, MSG_BUSOFF, MSG_BOVR}) {
        canmsg_t error = record(CAN_ERROR_ID, 0, 0);
        error.flags = flag;
        EXPECT_EQ(CAN_decideEvent(nullptr, 0, kNone, error), CAN_EVENT_FIRE) << flag;
    }
    for (int32_t flag : {MSG_RTR, MSG_EXT, MSG_SELF, MSG_0x40}) {
        canmsg_t plain = record(0x10, 0, 0);
        plain.flags = flag;
        EXPECT_EQ(CAN_decideEvent(nullptr, 0, kNone, plain), 0) << flag;
    }
    // Awaited and reported by a filter in one record.
    CanFilterEntry table[] = {filter(0x123, 0)};
    EXPECT_EQ(CAN_decideEvent(table, 1, 0x123, record(0x123, 0, 0)), CAN_EVENT_FIRE | CAN_EVENT_FILTERED);
}

TEST(Decision, DriverLengthOutsideRangeNeverReadsPastTheData)
{
    CanFilterEntry table[] = {filter(0x500, -1)};
    canmsg_t m = record(0x500, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8});
    CAN_decideEvent(table, 1, kNone, m);
    m.length = 200;
    EXPECT_EQ(CAN_recordLength(m), 8);
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, m), 0);
    m.data[7] = 9;
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, m), CAN_EVENT_FIRE);
    m.length = -3;
    EXPECT_EQ(CAN_recordLength(m), 0);
    m.data[0] = 0x55;
    EXPECT_EQ(CAN_decideEvent(table, 1, kNone, m), 0);
}

TEST(DebugOutput, DecisionAndRecordLinesOnlyWhenTheFlagIsOne)
{
    CanFilterEntry table[] = {filter(0x12, -1)};
    canmsg_t m = record(0x12, 3, 4, {0xAB, 0x01});
    m.flags = MSG_OVR | MSG_BOVR;

    testing::internal::CaptureStdout();
    nativeLog = 2;
    CAN_decideEvent(table, 1, kNone, m);
    CAN_DebugSingleEvent("x", m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    table[0].firstSeen = 0;
    testing::internal::CaptureStdout();
    nativeLog = 1;
    CAN_decideEvent(table, 1, kNone, m);
    m.data[0] = 0xAC;
    CAN_decideEvent(table, 1, kNone, m);
    CAN_DebugSingleEvent("rx", m);
    nativeLog = 0;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("CAN_isEventInteressting - begin: filterSize: 1 rx.id: 18\n"), std::string::npos);
    EXPECT_NE(out.find("CAN_isEventInteressting - test filter index: 0 filter-id: 18 rx.id: 18\n"),
              std::string::npos);
    EXPECT_NE(out.find("CAN_isEventInteressting - FIRST: first event for this filter id: 18\n"),
              std::string::npos);
    EXPECT_NE(out.find("CAN_isEventInteressting - DATA: match filter: 0\n[old]:"), std::string::npos);
    EXPECT_NE(out.find("CAN_isEventInteressting - done: filterSize: 1 rx.id: 18\n"), std::string::npos);
    EXPECT_NE(out.find("[rx]:            3.000004 id=18\n\tlen=2 msg= ac 01 flags=0x82 MSG_OVR,MSG_BOVR\n\n"),
              std::string::npos)
        << out;
}

TEST(DebugOutput, FilterDump)
{
    CanFilterEntry e = filter(7, -1);
    e.maskSet = 1;
    e.mask[0] = 255;
    e.triggerType = 3;
    testing::internal::CaptureStdout();
    nativeLog = 1;
    dumpMessageFilter(e);
    nativeLog = 0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n--------------------------------------------\n"
                                                      "7 (-1 ms) type:3\n"
                                                      "maskSet:1: 255 0 0 0 0 0 0 0     (lowest byte first)\n"
                                                      "deltaSet:0: \n"
                                                      "triggerSet:0: \n"
                                                      "\n--------------------------------------------\n");
}
