// Intel HEX records written out by hand for the odd cases (srec_cat makes the
// ordinary images).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// One record with its checksum and a LF, in upper case as most writers emit it.
inline std::string hex_record(unsigned type, unsigned offset, const std::vector<unsigned> &data)
{
    char buf[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset, type);
    std::string r = buf;
    for (unsigned d : data) {
        std::snprintf(buf, sizeof buf, "%02X", d & 0xFF);
        r += buf;
        sum += d;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return r + buf;
}
