#include "canfilter.h"

#include <cstdio>

std::atomic<unsigned char> nativeLog{0};

int getTimeDiffMilliseconds(int s1, int us1, int s0, int us0)
{
    // Unsigned arithmetic: time stamps in seconds overflow 32 bits when
    // scaled to milliseconds, and only the wrapped difference matters.
    uint32_t later = static_cast<uint32_t>(s1) * 1000u + static_cast<uint32_t>(us1 / 1000);
    uint32_t earlier = static_cast<uint32_t>(s0) * 1000u + static_cast<uint32_t>(us0 / 1000);
    return static_cast<int>(later - earlier);
}

int isDataModified(CanFilterEntry e, canmsg_t m)
{
    int length = CAN_recordLength(m);
    for (int i = 0; i < length; ++i) {
        if ((e.lastMessage.data[i] | e.mask[i]) != (m.data[i] | e.mask[i])) {
            return 1;
        }
    }
    return 0;
}

int CAN_decideEvent(CanFilterEntry *table, int filters, int32_t filterMessageId, const canmsg_t &m)
{
    const bool log = CAN_logging();
    const int32_t rxId = static_cast<int32_t>(m.id);
    int result = 0;
    if ((m.flags & CAN_ERROR_FLAGS) != 0) {
        result |= CAN_EVENT_FIRE;
    }
    if (filterMessageId >= 0 && filterMessageId == rxId) {
        result |= CAN_EVENT_FILTERED;
    }
    if (log) {
        printf("CAN_isEventInteressting - begin: filterSize: %d rx.id: %d\n", filters, rxId);
    }
    for (int i = 0; i < filters; ++i) {
        CanFilterEntry &e = table[i];
        if (log) {
            printf("CAN_isEventInteressting - test filter index: %d filter-id: %d rx.id: %d\n", i, e.id,
                   rxId);
        }
        if (e.id != rxId && e.id != -1) {
            continue;
        }
        if (log) {
            printf("CAN_isEventInteressting - id match, id: %d interval: %d\n", e.id, e.interval);
        }
        if (e.firstSeen == 0) {
            e.lastMessage = m;
            e.firstSeen = 1;
            result |= CAN_EVENT_FIRE;
            if (log) {
                printf("CAN_isEventInteressting - FIRST: first event for this filter id: %d\n", e.id);
            }
        }
        if (e.interval >= 0) {
            int d = getTimeDiffMilliseconds(m.seconds, m.microseconds, e.lastMessage.seconds,
                                            e.lastMessage.microseconds);
            if (static_cast<uint32_t>(d) <= static_cast<uint32_t>(e.interval)) {
                if (log) {
                    puts("CAN_isEventInteressting - INTERVAL: not interessting, wait");
                }
            } else {
                if (log) {
                    puts("CAN_isEventInteressting - INTERVAL: match");
                }
                e.lastMessage = m;
                result |= CAN_EVENT_FIRE;
            }
        } else if (isDataModified(e, m) != 0) {
            if (log) {
                printf("CAN_isEventInteressting - DATA: match filter: %d\n", i);
                CAN_DebugSingleEvent("old", e.lastMessage);
                CAN_DebugSingleEvent("new", m);
            }
            e.lastMessage = m;
            e.firstSeen = 1;
            result |= CAN_EVENT_FIRE;
        }
    }
    if (log) {
        printf("CAN_isEventInteressting - done: filterSize: %d rx.id: %d\n", filters, rxId);
    }
    return result;
}

void CAN_DebugSingleEvent(const char *label, const canmsg_t &m)
{
    if (!CAN_logging()) {
        return;
    }
    static constexpr const char *kFlagNames[8] = {"MSG_RTR,",     "MSG_OVR,",    "MSG_EXT,", "MSG_SELF,",
                                                  "MSG_PASSIVE,", "MSG_BUSOFF,", "MSG_,",    "MSG_BOVR"};
    // The identifier as the target's 32-bit long shows it (an error record is -1).
    printf("[%s]: %12lu.%06lu id=%ld\n", label, static_cast<unsigned long>(static_cast<uint32_t>(m.seconds)),
           static_cast<unsigned long>(static_cast<uint32_t>(m.microseconds)),
           static_cast<long>(static_cast<int32_t>(m.id)));
    printf("\tlen=%d msg=", m.length);
    for (int i = 0; i < CAN_recordLength(m); ++i) {
        printf(" %02x", m.data[i]);
    }
    printf(" flags=0x%02x ", m.flags);
    for (int bit = 0; bit < 8; ++bit) {
        if ((m.flags & (1 << bit)) != 0) {
            fputs(kFlagNames[bit], stdout);
        }
    }
    puts("\n");
    fflush(stdout);
}

void CAN_DebugEvent(const char *label, const canmsg_t *records, int count)
{
    if (!CAN_logging()) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        CAN_DebugSingleEvent(label, records[i]);
    }
}

void dumpFilterMask(const uint8_t *bytes)
{
    for (int i = 0; i < 8; ++i) {
        printf("%d ", bytes[i]);
    }
    printf("    (lowest byte first)");
}

void dumpMessageFilter(const CanFilterEntry &e)
{
    if (!CAN_logging()) {
        return;
    }
    static constexpr const char *kDashes = "\n--------------------------------------------";
    puts(kDashes);
    printf("%d (%d ms) type:%d\n", e.id, e.interval, e.triggerType);
    printf("maskSet:%d: ", e.maskSet);
    if (e.maskSet != 0) {
        dumpFilterMask(e.mask);
    }
    printf("\n");
    printf("deltaSet:%d: ", e.deltaSet);
    if (e.deltaSet != 0) {
        dumpFilterMask(e.delta);
    }
    printf("\n");
    printf("triggerSet:%d: ", e.triggerSet);
    if (e.triggerSet != 0) {
        dumpFilterMask(e.trigger);
    }
    printf("\n");
    puts(kDashes);
}
