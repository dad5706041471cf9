// Building records as the service sends them, for the tests.
#pragma once

#include <cstdint>
#include <string>

inline std::string wire_record(uint32_t sec, uint32_t usec, uint32_t seq, uint32_t len,
                               const std::string &data)
{
    std::string out;
    for (uint32_t w : {sec, usec, seq, len}) {
        out += static_cast<char>(w >> 24);
        out += static_cast<char>(w >> 16);
        out += static_cast<char>(w >> 8);
        out += static_cast<char>(w);
    }
    return out + data;
}

inline std::string wire_record(uint32_t sec, uint32_t usec, uint32_t seq, const std::string &data)
{
    return wire_record(sec, usec, seq, static_cast<uint32_t>(data.size()), data);
}
