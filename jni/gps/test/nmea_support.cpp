#include "nmea_support.h"

#include <cstdio>

std::string sentence(const std::string &body)
{
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFu);
    return "$" + body + "*" + digits;
}
