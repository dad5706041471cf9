// Firmware images for the tests, laid out by hand: u16 HeaderSize, two
// 32-octet text fields, u16 MemoryType, u16 StreamVersion, u32 SpeedOffset,
// padding up to HeaderSize, then u16 L and L + 1 octets per block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corelift_test
{

using Octets = std::vector<uint8_t>;

inline void put_le(Octets &out, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline Octets text_field(const std::string &text)
{
    Octets f(text.begin(), text.end());
    f.resize(32, 0);
    return f;
}

inline Octets header(const std::string &product, uint16_t header_size = 74,
                     const std::string &version = "10.00.004")
{
    Octets h;
    put_le(h, header_size, 2);
    Octets v = text_field(version), p = text_field(product);
    h.insert(h.end(), v.begin(), v.end());
    h.insert(h.end(), p.begin(), p.end());
    put_le(h, 7, 2);
    put_le(h, 2, 2);
    put_le(h, 123456, 4);
    if (h.size() < header_size)
        h.resize(header_size, 0xEE);
    return h;
}

inline void add_block(Octets &image, const Octets &payload)
{
    put_le(image, static_cast<uint32_t>(payload.size() - 1), 2);
    image.insert(image.end(), payload.begin(), payload.end());
}

// Payload octets that differ from block to block and cover every value.
inline Octets payload(size_t n, unsigned seed)
{
    Octets p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>((i * 7 + seed * 31 + (i >> 8)) & 0xFF);
    return p;
}

} // namespace corelift_test
