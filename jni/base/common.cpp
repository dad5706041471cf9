#include "common.h"

#include <cstring>

size_t common_copy_string(char *dst, const char *src, size_t size)
{
    const size_t len = std::strlen(src);
    if (size == 0) {
        return len;
    }
    if (len >= size) {
        dst[0] = '\0';
        return len;
    }
    std::memcpy(dst, src, len + 1);
    return len;
}

bool common_is_unsolicited(const char *msg, size_t len)
{
    return len > 0 && msg[0] == '<';
}
