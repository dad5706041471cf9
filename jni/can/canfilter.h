// Receive filter table and the event decision: which records of a batch are
// reported to Java. Pure code (no JVM, no descriptors); the binding feeds it
// the records it read and the awaited identifier it read from the bus object.
#pragma once

#include <atomic>
#include <cstdint>

#include "can4linux.h"

// Decision bits.
inline constexpr int CAN_EVENT_FIRE = 1;     // report through fireCANBusEvent
inline constexpr int CAN_EVENT_FILTERED = 2; // the awaited message

inline constexpr int CAN_MAX_FILTERS = 100;
inline constexpr int CAN_RX_RECORDS = 100; // records per read

// Flags that are always reported: MSG_OVR, MSG_PASSIVE, MSG_BUSOFF, MSG_BOVR.
inline constexpr int32_t CAN_ERROR_FLAGS = 0xB2;

// One receive filter, loaded from a Java CANMessageFilter.
struct CanFilterEntry {
    int32_t id;       // -1 matches every identifier
    int32_t interval; // ms; >= 0 interval filter, < 0 data-change filter
    int32_t maskSet;
    uint8_t mask[8]; // a 1 bit is ignored by the data comparison
    int32_t deltaSet;
    uint8_t delta[8];
    int32_t triggerSet;
    uint8_t trigger[8];
    int32_t triggerType;
    int32_t firstSeen;    // 0 after loading, 1 once a record matched
    canmsg_t lastMessage; // last record reported by this entry
};

// Debug switch of the whole library (CANBus.setNativeLogging); output only
// when it equals 1.
extern std::atomic<unsigned char> nativeLog;
inline bool CAN_logging()
{
    return nativeLog.load(std::memory_order_relaxed) == 1;
}

// Data length of a record as far as it may be copied: the driver's length
// clamped to 0..8.
inline int CAN_recordLength(const canmsg_t &m)
{
    return m.length < 0 ? 0 : (m.length > 8 ? 8 : m.length);
}

// Milliseconds from (s0, us0) to (s1, us1), 32-bit wrapping arithmetic,
// each division truncating before the subtraction.
int getTimeDiffMilliseconds(int s1, int us1, int s0, int us0);

// 1 when m's data differs from e.lastMessage under e.mask over m's length.
int isDataModified(CanFilterEntry e, canmsg_t m);

// The decision for one record against the first `filters` entries of
// `table` (which it updates) and the awaited identifier (-1: none).
int CAN_decideEvent(CanFilterEntry *table, int filters, int32_t filterMessageId, const canmsg_t &m);

// Debug dumps (print only when nativeLog is 1).
void CAN_DebugSingleEvent(const char *label, const canmsg_t &m);
void CAN_DebugEvent(const char *label, const canmsg_t *records, int count);
void dumpMessageFilter(const CanFilterEntry &e);
void dumpFilterMask(const uint8_t *bytes);
