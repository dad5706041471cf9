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

// The last whole line and how often it came again: a modem that repeats
// itself must not fill the flash. A repeated line is printed again only at
// the 2nd, 4th, 8th, ... time with its count, and the count of the rest
// when another line follows.
char last_line[256];
uint32_t last_flags;
unsigned repeats;
unsigned repeats_shown;

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

// 1 when the line is a repetition that is not shown.
bool collapse(uint32_t flags, const char *fmt, va_list ap)
{
    char line[sizeof last_line];
    va_list copy;
    va_copy(copy, ap);
    vsnprintf(line, sizeof line, fmt, copy);
    va_end(copy);
    if (flags == last_flags && strcmp(line, last_line) == 0) {
        ++repeats;
        if ((repeats & (repeats - 1)) != 0)
            return true;
        repeats_shown = repeats;
        stamp();
        printf("%s%s (repeated %u times)%s\n", colour_start(flags), line, repeats, colour_end());
        fflush(stdout);
        return true;
    }
    if (repeats > repeats_shown) {
        stamp();
        printf("%s%s (repeated %u times)%s\n", colour_start(last_flags), last_line, repeats, colour_end());
    }
    memcpy(last_line, line, sizeof line);
    last_flags = flags;
    repeats = repeats_shown = 0;
    return false;
}

} // namespace

void log_forget()
{
    last_flags = 0;
    last_line[0] = '\0';
    repeats = repeats_shown = 0;
}

int log_indent()
{
    return indent;
}

void mux_log(uint32_t flags, const char *fmt, ...)
{
    if ((flags & LOG_LEVEL_MASK) == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    bool whole_line = !(flags & (LOG_NO_PREFIX | LOG_NO_NEWLINE | LOG_INDENT | LOG_DEDENT));
    if (whole_line ? collapse(flags, fmt, ap) : (last_flags = 0, repeats = repeats_shown = 0, false)) {
        va_end(ap);
        return;
    }
    if (!(flags & LOG_NO_PREFIX))
        stamp();
    fputs(colour_start(flags), stdout);
    vprintf(fmt, ap);
    va_end(ap);
    fputs(colour_end(), stdout);
    if (!(flags & LOG_NO_NEWLINE))
        putchar('\n');
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
