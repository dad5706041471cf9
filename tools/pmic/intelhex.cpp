#include "intelhex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// ':' LL AAAA TT CC: a record without data takes 11 characters.
constexpr size_t kRecordOverhead = 11;

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEnd = 0x01;
constexpr uint8_t kTypeSkipped = 0x08;

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Fields are checked with is_hex_digit before their value is used.
unsigned hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return 0;
}

unsigned hex_value(const char *p, size_t digits)
{
    unsigned value = 0;
    for (size_t i = 0; i < digits; ++i) {
        value = (value << 4) | hex_digit(p[i]);
    }
    return value;
}

int fail(HexResult &result, HexError error, size_t position, size_t record, unsigned value = 0,
         unsigned expected = 0)
{
    result = HexResult{error, position, record, value, expected};
    return -1;
}

// Bit i of the octet goes to bit kSpread[i] of the register input.
constexpr std::array<unsigned, 8> kSpread = {0, 3, 5, 8, 10, 13, 16, 18};
constexpr uint32_t kFeedback = 0x00400007;

constexpr std::array<uint32_t, 256> make_spread_table()
{
    std::array<uint32_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        uint32_t w = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (b & (1u << bit)) {
                w |= uint32_t{1} << kSpread[bit];
            }
        }
        table[b] = w;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kSpreadTable = make_spread_table();

void store_big_endian(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

} // namespace

int applyIntelHex(PmicImage &image, const HexRecord &record, size_t *placed)
{
    *placed = 0;
    if (record.type == kTypeEnd || record.type == kTypeSkipped) {
        return 0;
    }
    if (record.type != kTypeData) {
        return -2;
    }
    // A record never crosses a page: the controller writes one page per record.
    const size_t room = PMIC_PAGE_SIZE - record.offset % PMIC_PAGE_SIZE;
    const size_t n = record.length < room ? record.length : room;
    if (record.offset + n > PMIC_IMAGE_SIZE) {
        return -1;
    }
    std::memcpy(image.data() + record.offset, record.data.data(), n);
    *placed = n;
    return 0;
}

int pmic_hex_load(const char *text, size_t length, PmicImage &image, HexResult &result,
                  HexTruncated truncated, void *context)
{
    result = HexResult{};
    // The rest of the tool works on C strings: a NUL would silently cut the
    // text (and the firmware) short.
    if (const void *nul = std::memchr(text, '\0', length)) {
        return fail(result, HexError::nul_character,
                    static_cast<size_t>(static_cast<const char *>(nul) - text), 0);
    }
    size_t pos = 0;
    size_t records = 0;
    size_t placed_total = 0;
    HexRecord record{};
    while (pos < length) {
        const char *p = text + pos;
        if (*p == '\n' || *p == '\r') {
            ++pos;
            continue;
        }
        const size_t remaining = length - pos;
        ++records;
        if (*p != ':') {
            return fail(result, HexError::invalid_mark, pos, records);
        }
        if (remaining <= kRecordOverhead - 1) {
            return fail(result, HexError::not_enough_data, pos, records);
        }
        record.length = static_cast<uint8_t>(hex_value(p + 1, 2));
        record.offset = static_cast<uint16_t>(hex_value(p + 3, 4));
        record.type = static_cast<uint8_t>(hex_value(p + 7, 2));
        const size_t size = 2 * size_t{record.length} + kRecordOverhead;
        if (remaining < size) {
            return fail(result, HexError::invalid_length, pos, records, record.length);
        }
        // Taken as 0, a stray character would program a wrong octet; a ':'
        // would also split the record where the text is sent record by record.
        for (size_t i = 1; i < size; ++i) {
            if (!is_hex_digit(p[i])) {
                return fail(result, HexError::invalid_digit, pos + i, records,
                            static_cast<unsigned char>(p[i]));
            }
        }
        unsigned sum = record.length + (record.offset >> 8) + (record.offset & 0xFF) + record.type;
        for (size_t i = 0; i < record.length; ++i) {
            record.data[i] = static_cast<uint8_t>(hex_value(p + 9 + 2 * i, 2));
            sum += record.data[i];
        }
        record.checksum = static_cast<uint8_t>(hex_value(p + 9 + 2 * size_t{record.length}, 2));
        // The two's complement of the octet sum: a record that does not add
        // up to zero was damaged and must not reach the flash.
        const auto expected = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        if (record.checksum != expected) {
            return fail(result, HexError::bad_checksum, pos, records, record.checksum, expected);
        }
        size_t placed = 0;
        const int rc = applyIntelHex(image, record, &placed);
        if (rc == -1) {
            return fail(result, HexError::overflow, pos, records, record.offset);
        }
        if (rc == -2) {
            return fail(result, HexError::invalid_type, pos, records, record.type);
        }
        if (placed < record.length && truncated != nullptr) {
            truncated(context, record, placed);
        }
        placed_total += placed;
        pos += size;
    }
    if (placed_total == 0) {
        return fail(result, HexError::no_data, pos, records);
    }
    return 0;
}

int readIntelHex(const char *text, size_t length, PmicImage &image)
{
    HexResult result;
    if (pmic_hex_load(text, length, image, result) == 0) {
        return 0;
    }
    switch (result.error) {
    case HexError::nul_character:
        std::fprintf(stderr, "%s(): NUL character at offset %zu\n", "readIntelHex", result.position);
        break;
    case HexError::not_enough_data:
        std::fprintf(stderr, "%s(): not enough data available\n", "readIntelHex");
        break;
    case HexError::invalid_mark:
        std::fprintf(stderr, "%s(): invalid record mark\n", "readIntelHex");
        break;
    case HexError::invalid_length:
        std::fprintf(stderr, "%s(): invalid length %02x\n", "readIntelHex", result.value);
        break;
    case HexError::invalid_digit:
        std::fprintf(stderr, "%s(): invalid hex digit 0x%02x in record %zu\n", "readIntelHex", result.value,
                     result.record);
        break;
    case HexError::bad_checksum:
        std::fprintf(stderr, "%s(): checksum %02x of record %zu is wrong (computed %02x)\n", "readIntelHex",
                     result.value, result.record, result.expected);
        break;
    case HexError::overflow:
        std::fprintf(stderr, "overflow\n");
        break;
    case HexError::invalid_type:
        std::fprintf(stderr, "%s(): invalid code '%02x'\n", "applyIntelHex", result.value);
        break;
    case HexError::no_data:
        std::fprintf(stderr, "%s(): no data records\n", "readIntelHex");
        break;
    case HexError::none:
        break;
    }
    return -1;
}

uint32_t pmic_signature(const uint8_t *data, size_t length)
{
    uint32_t r = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t feedback = (r & 0x80000000u) ? kFeedback : 0;
        r = (r << 1) ^ feedback ^ kSpreadTable[data[i]];
    }
    return r;
}

uint32_t calculateSectorCRC(const PmicImage &image, size_t sector)
{
    if (sector >= PMIC_IMAGE_SIZE / PMIC_SECTOR_SIZE) {
        std::fprintf(stderr, "%s(): overflow\n", "calculateSectorCRC");
        std::exit(1);
    }
    return pmic_signature(image.data() + sector * PMIC_SECTOR_SIZE, PMIC_SECTOR_SIZE);
}

void pmic_sign_image(PmicImage &image, PmicSignatures &signatures)
{
    for (size_t i = 0; i < PMIC_SECTORS; ++i) {
        signatures.crc[i] = calculateSectorCRC(image, i);
        if (i < PMIC_SENT_CRCS) {
            // Stored before the next is computed: CRC[5] covers CRC[0..4].
            store_big_endian(image.data() + PMIC_CRC_STORE + 4 * i, signatures.crc[i]);
        }
    }
    constexpr size_t last = PMIC_CRC_STORE + 4 * (PMIC_SENT_CRCS - 1);
    signatures.tmp = pmic_signature(image.data() + last, 4);
    signatures.fresh = calculateSectorCRC(image, 5);
    signatures.expected = signatures.crc[5];
}

bool pmic_iap_sectors_empty(const PmicImage &image, const PmicSignatures &signatures)
{
    if (signatures.crc[6] != 0 || signatures.crc[7] != 0) {
        return false;
    }
    for (size_t i = PMIC_IAP_START; i < PMIC_IMAGE_SIZE; ++i) {
        if (image[i] != 0) {
            return false;
        }
    }
    return true;
}
