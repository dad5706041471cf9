// The daemon's logger and the buffer vector in which frame payloads travel.
#pragma once

#include <cstddef>
#include <cstdint>

// Flags word of mux_log: a level in the low 28 bits, modifiers on top.
constexpr uint32_t LOG_DEBUG = 0x0000000C;
constexpr uint32_t LOG_ERR = 0x00000010;
constexpr uint32_t LOG_CRIT = 0x00000020;
constexpr uint32_t LOG_LEVEL_MASK = 0x0FFFFFFF;
constexpr uint32_t LOG_DUMP_MASK = 0x00000070;
constexpr uint32_t LOG_NO_NEWLINE = 0x10000000;
constexpr uint32_t LOG_NO_PREFIX = 0x20000000;
constexpr uint32_t LOG_INDENT = 0x40000000;
constexpr uint32_t LOG_DEDENT = 0x80000000;

// One element of a buffer vector; the vector does not own the octets.
struct msg_bufv {
    uint8_t *data;
    size_t len;
};

void mux_log(uint32_t flags, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Byte dump of at most max octets of the vector, starting at logical offset.
void bufv_dump(uint32_t flags, const char *label, size_t num, const msg_bufv *bufv, size_t offset, size_t max,
               bool char_mode);

size_t msg_bufv_len(size_t num, const msg_bufv *bufv);

// Copies up to len octets from logical offset; returns the end of what was
// copied into dst.
uint8_t *msg_bufv_copy(uint8_t *dst, size_t len, size_t num, const msg_bufv *bufv, size_t offset);

// The octet at logical position pos; 0 (and a log line) when out of range.
uint8_t msg_bufv_get_char(size_t num, const msg_bufv *bufv, size_t pos);

// Current indentation of the log (steps of two spaces).
int log_indent();

// Lines of a kind (format and level) come at most once a minute after the
// first, with the count of those folded meanwhile. Forgets the kinds seen,
// so that the next line of each is printed (a test).
void log_forget();
// The clock of that minute (none: the monotonic clock); for tests.
void log_set_clock(int64_t (*now_ms)());
