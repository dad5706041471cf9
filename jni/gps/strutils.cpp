#include "strutils.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int tokenCopy(char *dest, int destSize, const char *text, int start, char separator, int terminate)
{
    if (start < 0) {
        return -1;
    }
    const char *begin = text + start;
    const char *end = std::strchr(begin, separator);
    if (end == nullptr || separator == '\0') {
        return -1;
    }
    const size_t length = static_cast<size_t>(end - begin);
    if (destSize > 0) {
        const size_t room = static_cast<size_t>(terminate > 0 ? destSize - 1 : destSize);
        const size_t copied = length < room ? length : room;
        std::memcpy(dest, begin, copied);
        if (terminate > 0) {
            dest[copied] = '\0';
        }
    }
    return static_cast<int>(end - text) + 1;
}

int STR_tokenCopy(char *dest, int destSize, const char *text, int start, char separator)
{
    return tokenCopy(dest, destSize, text, start, separator, 1);
}

int STR_tokenCopyOpen(char *dest, int destSize, const char *text, int start, char separator)
{
    return tokenCopy(dest, destSize, text, start, separator, 0);
}

int STR_toInt(const char *text)
{
    const long long v = std::strtoll(text, nullptr, 10); // pinned to 64 bits on overflow
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

int STR_atoi(const char *text, int length)
{
    char buffer[16] = {};
    if (length >= static_cast<int>(sizeof buffer)) {
        std::printf("ERROR: length is more then buffer length\n");
        return 0;
    }
    if (length <= 0) {
        return 0;
    }
    // Never read past the text's own end.
    const size_t available = strnlen(text, static_cast<size_t>(length));
    std::memcpy(buffer, text, available);
    return STR_toInt(buffer);
}
