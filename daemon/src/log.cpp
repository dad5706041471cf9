#include "log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

namespace
{

int indent;
int stdout_is_tty = -1; // -1: not asked yet

bool in_dump_mask(uint32_t flags)
{
    return (flags & LOG_DUMP_MASK) != 0;
}

const char *colour_start(uint32_t flags)
{
    if (stdout_is_tty < 0)
        stdout_is_tty = isatty(STDOUT_FILENO) ? 1 : 0;
    if (!stdout_is_tty)
        return "";
    if (flags & 0x20)
        return "\033[1;33;41m";
    if (flags & 0x10)
        return "\033[1;31m";
    if (flags & 0x0C)
        return "\033[0;34m";
    return "";
}

const char *colour_end()
{
    return stdout_is_tty == 1 ? "\033[m" : "";
}

// Lines of a kind (its format and level) are printed at most once a
// minute after the first; the ones in between are counted and the count
// goes with the next line printed. A modem that keeps sending noise must
// not fill the flash, whatever the mix of lines it causes.
constexpr int64_t LOG_PERIOD_MS = 60000;
constexpr int LOG_KINDS = 64;

struct log_kind {
    const char *fmt;
    uint32_t level;
    int64_t printed_ms; // when a line of the kind was last printed
    unsigned folded;    // lines not printed since
};

log_kind kinds[LOG_KINDS];
int kinds_used;
// The first piece of the line under way was folded: so are its
// continuation pieces.
bool folding_line;
// Lines of the kind of the line under way folded before it.
unsigned line_folded;

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t (*log_clock)() = monotonic_ms;

log_kind &kind_of(const char *fmt, uint32_t level, int64_t now)
{
    int oldest = 0;
    for (int i = 0; i < kinds_used; ++i) {
        if (kinds[i].fmt == fmt && kinds[i].level == level)
            return kinds[i];
        if (kinds[i].printed_ms < kinds[oldest].printed_ms)
            oldest = i;
    }
    // A new kind; when the table is full it takes the place of the kind
    // printed longest ago.
    int i = kinds_used < LOG_KINDS ? kinds_used++ : oldest;
    kinds[i] = {fmt, level, now - LOG_PERIOD_MS, 0};
    return kinds[i];
}

void stamp()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &local);
    printf("%02d:%02d:%02d.%03ld %*s", local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<long>(tv.tv_usec / 1000), 2 * indent, "");
}

} // namespace

void log_forget()
{
    kinds_used = 0;
    folding_line = false;
}

void log_set_clock(int64_t (*now_ms)())
{
    log_clock = now_ms ? now_ms : monotonic_ms;
}

int log_indent()
{
    return indent;
}

void mux_log(uint32_t flags, const char *fmt, ...)
{
    if ((flags & LOG_LEVEL_MASK) == 0)
        return;
    if (!(flags & LOG_NO_PREFIX)) {
        // The first piece of a line decides for the whole line.
        int64_t now = log_clock();
        log_kind &k = kind_of(fmt, flags & LOG_LEVEL_MASK, now);
        folding_line = now - k.printed_ms < LOG_PERIOD_MS;
        if (folding_line) {
            ++k.folded;
        } else {
            line_folded = k.folded;
            k.folded = 0;
            k.printed_ms = now;
        }
    }
    if (folding_line) {
        if (!(flags & LOG_NO_NEWLINE))
            folding_line = false;
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    if (!(flags & LOG_NO_PREFIX))
        stamp();
    fputs(colour_start(flags), stdout);
    vprintf(fmt, ap);
    va_end(ap);
    fputs(colour_end(), stdout);
    if (!(flags & LOG_NO_NEWLINE)) {
        if (line_folded > 0)
            printf(" (%u more like it in the last minute)", line_folded);
        line_folded = 0;
        putchar('\n');
    }
    // A daemon's log is read while it runs (and after it was killed).
    fflush(stdout);
    if ((flags & LOG_INDENT) && in_dump_mask(flags))
        ++indent;
    if ((flags & LOG_DEDENT) && in_dump_mask(flags) && indent > 0)
        --indent;
}

size_t msg_bufv_len(size_t num, const msg_bufv *bufv)
{
    size_t total = 0;
    for (size_t i = 0; i < num; ++i)
        total += bufv[i].len;
    return total;
}

uint8_t *msg_bufv_copy(uint8_t *dst, size_t len, size_t num, const msg_bufv *bufv, size_t offset)
{
    size_t i = 0;
    while (i < num && offset >= bufv[i].len) {
        offset -= bufv[i].len;
        ++i;
    }
    for (; i < num && len > 0; ++i) {
        size_t n = std::min(len, bufv[i].len - offset);
        memcpy(dst, bufv[i].data + offset, n);
        dst += n;
        len -= n;
        offset = 0;
    }
    return dst;
}

uint8_t msg_bufv_get_char(size_t num, const msg_bufv *bufv, size_t pos)
{
    for (size_t i = 0; i < num; ++i) {
        if (pos < bufv[i].len)
            return bufv[i].data[pos];
        pos -= bufv[i].len;
    }
    mux_log(LOG_CRIT, "%s: out-of-bound; pos=%zd", "msg_bufv_get_char", static_cast<ssize_t>(pos));
    return 0;
}

void bufv_dump(uint32_t flags, const char *label, size_t num, const msg_bufv *bufv, size_t offset, size_t max,
               bool char_mode)
{
    if (!in_dump_mask(flags))
        return;
    // Dumps are short (a frame's first octets); longer requests are cut.
    uint8_t scratch[256];
    size_t want = std::min(max, sizeof scratch);
    size_t got = static_cast<size_t>(msg_bufv_copy(scratch, want, num, bufv, offset) - scratch);
    size_t total = msg_bufv_len(num, bufv);
    // The caller's LOG_NO_PREFIX applies to the first piece and its
    // LOG_NO_NEWLINE to the last, so that a dump can sit inside a line.
    uint32_t piece = (flags & ~(LOG_INDENT | LOG_DEDENT)) | LOG_NO_NEWLINE;
    mux_log(piece, "%s[", label);
    piece |= LOG_NO_PREFIX;
    bool in_run = false;
    const char *sep = "";
    for (size_t i = 0; i < got; ++i) {
        uint8_t c = scratch[i];
        if (char_mode && c >= 0x20 && c <= 0x7E) {
            mux_log(piece, "%s%s%c", in_run ? "" : sep, in_run ? "" : "'", c);
            in_run = true;
        } else {
            mux_log(piece, "%s%s0x%02x", in_run ? "'" : "", sep, c);
            in_run = false;
        }
        sep = ",";
    }
    mux_log((piece & ~LOG_NO_NEWLINE) | (flags & (LOG_NO_NEWLINE | LOG_INDENT | LOG_DEDENT)),
            "%s%s] (%zu bytes)", in_run ? "'" : "", offset + max < total ? "..." : "", total);
}
