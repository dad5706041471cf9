// Firmware image of the power-management controller: Intel HEX parsing into
// the 16 KiB flash image and the per-sector signatures the controller's
// programmer checks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Program flash: eight 2 KiB sectors; the controller writes 64-octet pages.
inline constexpr size_t PMIC_IMAGE_SIZE = 0x4000;
inline constexpr size_t PMIC_SECTOR_SIZE = 2048;
inline constexpr size_t PMIC_SECTORS = PMIC_IMAGE_SIZE / PMIC_SECTOR_SIZE;
inline constexpr size_t PMIC_PAGE_SIZE = 64;
// Sectors 6 and 7 hold the in-application programmer itself.
inline constexpr size_t PMIC_IAP_START = 0x3000;
// CRC[0..5] are sent to the programmer and kept in the last 24 octets of sector 5.
inline constexpr size_t PMIC_SENT_CRCS = 6;
inline constexpr size_t PMIC_CRC_STORE = 0x2FE8;

using PmicImage = std::array<uint8_t, PMIC_IMAGE_SIZE>;

struct HexRecord {
    uint8_t length;
    uint16_t offset;
    uint8_t type;
    uint8_t checksum;
    std::array<uint8_t, 255> data;
};

enum class HexError {
    none,
    nul_character,   // position
    not_enough_data, // position
    invalid_mark,    // position
    invalid_length,  // value = LL
    invalid_digit,   // position of the character, value = the character
    bad_checksum,    // value = checksum found, expected = checksum computed
    overflow,        // value = offset
    invalid_type,    // value = record type
    no_data,         // the text places no data at all
};

// Where and why a text was refused.
struct HexResult {
    HexError error = HexError::none;
    size_t position = 0; // offset of the failing record (or character) in the text
    size_t record = 0;   // its number, counted from 1
    unsigned value = 0;
    unsigned expected = 0;
};

// Called for a data record whose tail crosses a 64-octet page and is not placed.
using HexTruncated = void (*)(void *context, const HexRecord &record, size_t placed);

// Parses the whole text and places its data records into `image` (which the
// caller clears). Pure: prints nothing. Returns 0, or -1 with `result` set.
int pmic_hex_load(const char *text, size_t length, PmicImage &image, HexResult &result,
                  HexTruncated truncated = nullptr, void *context = nullptr);

// Places one record: 0, -1 when the data ends beyond the image, -2 for a type
// other than data (0) or the two skipped ones (1, 8). `placed` receives the
// number of data octets written.
int applyIntelHex(PmicImage &image, const HexRecord &record, size_t *placed);

// pmic_hex_load with the tool's diagnostics on standard error; an invalid
// record type is refused like any other fault. Records crossing a page are
// the caller's to refuse.
int readIntelHex(const char *text, size_t length, PmicImage &image);

// The controller's 32-bit signature register run over `length` octets.
uint32_t pmic_signature(const uint8_t *data, size_t length);

// Signature of one 2 KiB sector; a sector beyond the image ends the program (status 1).
uint32_t calculateSectorCRC(const PmicImage &image, size_t sector);

struct PmicSignatures {
    std::array<uint32_t, PMIC_SECTORS> crc{};
    // Fixup diagnostic: signature of the four octets holding CRC[5], sector 5
    // recomputed with CRC[5] in place, and CRC[5] itself.
    uint32_t tmp = 0;
    uint32_t fresh = 0;
    uint32_t expected = 0;
};

// Computes CRC[0..7], storing each of CRC[0..5] big-endian into the image
// before the next one is computed, and the fixup values.
void pmic_sign_image(PmicImage &image, PmicSignatures &signatures);

// True when nothing is placed in the programmer's sectors: both signatures
// zero and every octet there zero (data can have a zero signature).
bool pmic_iap_sectors_empty(const PmicImage &image, const PmicSignatures &signatures);
