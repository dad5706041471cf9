// Builds frames for the tests with a bitwise CRC, independent of the
// codec's table.
#pragma once

#include "frame.h"

#include <cstdint>
#include <string>
#include <vector>

inline uint8_t bitwise_crc(const std::vector<uint8_t> &octets)
{
    uint8_t crc = 0xFF;
    for (uint8_t o : octets) {
        crc ^= o;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0xE0) : static_cast<uint8_t>(crc >> 1);
    }
    return static_cast<uint8_t>(~crc);
}

// A complete basic-option frame; the FCS covers the information field for
// all types but UIH.
inline std::vector<uint8_t> make_frame(uint8_t address, uint8_t control, const std::vector<uint8_t> &info)
{
    const uint8_t length = static_cast<uint8_t>(info.size() << 1 | 1);
    std::vector<uint8_t> covered = {address, control, length};
    if ((control & 0xEF) != 0xEF)
        for (uint8_t o : info)
            covered.push_back(o);
    std::vector<uint8_t> frame = {0xF9, address, control, length};
    for (uint8_t o : info)
        frame.push_back(o);
    frame.push_back(bitwise_crc(covered));
    frame.push_back(0xF9);
    return frame;
}

// The log without the time stamp ("HH:MM:SS.mmm ") that starts each line.
inline std::string untimed(const std::string &log)
{
    std::string out;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        end = end == std::string::npos ? log.size() : end + 1;
        size_t start = pos;
        if (end - pos > 13 && log[pos + 2] == ':' && log[pos + 5] == ':' && log[pos + 8] == '.' &&
            log[pos + 12] == ' ')
            start = pos + 13;
        out.append(log, start, end - start);
        pos = end;
    }
    return out;
}

// Decodes the first frame of `octets`, which must outlive the frame (its
// information field stays in place): 1 if it is valid.
inline int decode_first(const std::vector<uint8_t> &octets, mux_frame *frame, msg_bufv *info)
{
    frame_rx rx{};
    size_t used = 0;
    return frame_recv(&rx, octets.data(), octets.size(), frame, info, &used) == frame_result::frame;
}
