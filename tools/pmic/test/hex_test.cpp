// Parsing, placement, signatures and the image checks of the firmware image.
#include "hexrecord.h"
#include "intelhex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

// The tool lower-cases the text before parsing; the parser takes both.
std::string record(unsigned type, unsigned offset, const std::vector<unsigned> &data)
{
    std::string r = hex_record(type, offset, data);
    for (char &c : r) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return r;
}

const std::string kEnd = ":00000001ff\n";

struct Loaded {
    int rc;
    HexResult result;
    PmicImage image;
};

Loaded load(const std::string &text)
{
    Loaded l{0, {}, {}};
    l.rc = pmic_hex_load(text.data(), text.size(), l.image, l.result);
    return l;
}

TEST(PmicSignature, KnownVectors)
{
    const uint8_t one = 0x01;
    const uint8_t top = 0x80;
    const uint8_t two[] = {0x80, 0x00};
    EXPECT_EQ(pmic_signature(&one, 1), 0x00000001u);
    EXPECT_EQ(pmic_signature(&top, 1), 0x00040000u);
    EXPECT_EQ(pmic_signature(two, 2), 0x00080000u);
    PmicImage zero{};
    EXPECT_EQ(calculateSectorCRC(zero, 3), 0u);
}

TEST(PmicSignature, BitSpreadAndFeedback)
{
    // Each octet bit lands on its own register bit.
    const unsigned spread[8] = {0, 3, 5, 8, 10, 13, 16, 18};
    for (unsigned bit = 0; bit < 8; ++bit) {
        const auto b = static_cast<uint8_t>(1u << bit);
        EXPECT_EQ(pmic_signature(&b, 1), 1u << spread[bit]) << "bit " << bit;
    }
    // 0x80 (bit 18) shifted 13 more times reaches bit 31; the 14th shift
    // drops it and feeds 0x00400007 back.
    std::vector<uint8_t> data(15, 0);
    data[0] = 0x80;
    EXPECT_EQ(pmic_signature(data.data(), 14), 0x80000000u);
    EXPECT_EQ(pmic_signature(data.data(), 15), 0x00400007u);
}

TEST(PmicSignature, SectorBeyondImageEndsTheProgram)
{
    PmicImage image{};
    EXPECT_EXIT(calculateSectorCRC(image, PMIC_SECTORS), testing::ExitedWithCode(1),
                "^calculateSectorCRC\\(\\): overflow\n$");
}

TEST(PmicPlacement, RecordNeverCrossesAPage)
{
    std::vector<unsigned> data(16);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned>(0xA0 + i);
    }
    Loaded l = load(record(0, 0x0038, data) + kEnd);
    ASSERT_EQ(l.rc, 0);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(l.image[0x38 + i], 0xA0 + i);
    }
    for (size_t i = 0x40; i < 0x48; ++i) {
        EXPECT_EQ(l.image[i], 0) << i;
    }
}

TEST(PmicPlacement, TruncationIsReported)
{
    struct Seen {
        size_t calls = 0;
        size_t placed = 0;
        uint16_t offset = 0;
    } seen;
    const std::string text =
        record(0, 0x0000, std::vector<unsigned>(64, 1)) + record(0, 0x0078, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    PmicImage image{};
    HexResult result;
    ASSERT_EQ(pmic_hex_load(
                  text.data(), text.size(), image, result,
                  [](void *context, const HexRecord &r, size_t placed) {
                      auto *s = static_cast<Seen *>(context);
                      ++s->calls;
                      s->placed = placed;
                      s->offset = r.offset;
                  },
                  &seen),
              0);
    EXPECT_EQ(seen.calls, 1u);
    EXPECT_EQ(seen.offset, 0x78);
    EXPECT_EQ(seen.placed, 8u);
}

TEST(PmicPlacement, UpperCaseLineEndsAndSkippedTypes)
{
    // Upper case, CR LF, blank lines and types 1 and 8 are all accepted.
    Loaded l = load("\r\n:0200100012AB31\r\n\n:00000008F8\r\n:00000001FF\r\n");
    ASSERT_EQ(l.rc, 0) << static_cast<int>(l.result.error);
    EXPECT_EQ(l.image[0x10], 0x12);
    EXPECT_EQ(l.image[0x11], 0xAB);
}

TEST(PmicPlacement, EndOfImage)
{
    EXPECT_EQ(load(record(0, 0x3FF0, std::vector<unsigned>(16, 0)) + kEnd).rc, 0);
    Loaded l = load(record(0, 0x4000, {1}) + kEnd);
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.result.error, HexError::overflow);
    // The page rule applies first: 0x3FFF takes one octet only.
    EXPECT_EQ(load(record(0, 0x3FFF, {1, 2}) + kEnd).rc, 0);
}

TEST(PmicParse, RefusedTexts)
{
    struct Case {
        std::string text;
        HexError error;
        unsigned value;
    };
    const std::vector<Case> cases = {
        {"x" + kEnd, HexError::invalid_mark, 0},
        {record(0, 0, {1}) + " " + kEnd, HexError::invalid_mark, 0},
        {":0000000", HexError::not_enough_data, 0},
        {":00000001f", HexError::not_enough_data, 0},
        {":0400000001ff", HexError::invalid_length, 4},
        {":01000000zzff\n", HexError::invalid_digit, 'z'},
        {":01000000:0ff\n", HexError::invalid_digit, ':'},
        {":0100000001fd\n", HexError::bad_checksum, 0xfd},
        {record(4, 0, {0, 0}), HexError::invalid_type, 4},
        {record(2, 0, {0, 0}), HexError::invalid_type, 2},
        {std::string(record(0, 0, {1}) + '\0' + kEnd), HexError::nul_character, 0},
        {"", HexError::no_data, 0},
        {kEnd, HexError::no_data, 0},
        {"\r\n\n", HexError::no_data, 0},
    };
    for (const Case &c : cases) {
        Loaded l = load(c.text);
        EXPECT_EQ(l.rc, -1) << c.text;
        EXPECT_EQ(l.result.error, c.error) << c.text;
        if (c.value != 0) {
            EXPECT_EQ(l.result.value, c.value) << c.text;
        }
    }
}

TEST(PmicParse, ChecksumOfTheWholeRecordIsVerified)
{
    // Octet sum 01 + 00 + 00 + 00 + 01 = 02: the checksum is 0xfe.
    Loaded good = load(":0100000001fe\n");
    ASSERT_EQ(good.rc, 0);
    EXPECT_EQ(good.image[0], 1);
    Loaded bad = load(":0100000001fd\n");
    EXPECT_EQ(bad.result.error, HexError::bad_checksum);
    EXPECT_EQ(bad.result.value, 0xfdu);
    EXPECT_EQ(bad.result.expected, 0xfeu);
    // A damaged address or type fails as well, so data cannot land elsewhere.
    EXPECT_EQ(load(":0100010001fe\n").result.error, HexError::bad_checksum);
    EXPECT_EQ(load(":0100000801fe\n").result.error, HexError::bad_checksum);
}

TEST(PmicParse, NulPositionAndRecordNumbers)
{
    const std::string text = record(0, 0, {1}) + record(0, 1, {2}) + "x";
    Loaded l = load(text);
    EXPECT_EQ(l.result.error, HexError::invalid_mark);
    EXPECT_EQ(l.result.record, 3u);
    EXPECT_EQ(l.result.position, text.size() - 1);
    std::string nul = record(0, 0, {1});
    nul[5] = '\0';
    EXPECT_EQ(load(nul).result.position, 5u);
}

TEST(PmicReadIntelHex, MessagesAndAbort)
{
    PmicImage image{};
    const std::string bad = "x";
    testing::internal::CaptureStderr();
    EXPECT_EQ(readIntelHex(bad.data(), bad.size(), image), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "readIntelHex(): invalid record mark\n");

    const std::string length = ":ff000000";
    testing::internal::CaptureStderr();
    EXPECT_EQ(readIntelHex((length + "00ff").data(), length.size() + 4, image), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "readIntelHex(): invalid length ff\n");

    const std::string over = record(0, 0x4000, {1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(readIntelHex(over.data(), over.size(), image), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "overflow\n");

    const std::string type4 = record(4, 0, {0, 0}) + kEnd;
    testing::internal::CaptureStderr();
    EXPECT_EQ(readIntelHex(type4.data(), type4.size(), image), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "applyIntelHex(): invalid code '04'\n");
}

TEST(PmicSigning, EachCrcIsStoredBeforeTheNext)
{
    PmicImage image{};
    for (size_t i = 0; i < 0x2800; i += 7) {
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    const PmicImage original = image;
    PmicSignatures sig;
    pmic_sign_image(image, sig);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sig.crc[i], calculateSectorCRC(original, i));
        const uint8_t *p = image.data() + PMIC_CRC_STORE + 4 * i;
        EXPECT_EQ(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3], sig.crc[i]);
    }
    // CRC[5] covers CRC[0..4] but not itself.
    PmicImage partial = original;
    for (size_t i = 0; i < 5; ++i) {
        std::copy_n(image.data() + PMIC_CRC_STORE + 4 * i, 4, partial.data() + PMIC_CRC_STORE + 4 * i);
    }
    EXPECT_EQ(sig.crc[5], calculateSectorCRC(partial, 5));
    EXPECT_NE(sig.crc[5], calculateSectorCRC(original, 5));
    EXPECT_EQ(sig.expected, sig.crc[5]);
    EXPECT_EQ(sig.fresh, calculateSectorCRC(image, 5));
    EXPECT_EQ(sig.tmp, pmic_signature(image.data() + 0x2FFC, 4));
    EXPECT_EQ(sig.crc[6], 0u);
    EXPECT_EQ(sig.crc[7], 0u);
    EXPECT_TRUE(pmic_iap_sectors_empty(image, sig));
}

TEST(PmicSigning, ProgrammerSectors)
{
    PmicImage image{};
    image[0x2FE7] = 0xFF;
    PmicSignatures sig;
    pmic_sign_image(image, sig);
    EXPECT_TRUE(pmic_iap_sectors_empty(image, sig));

    image = PmicImage{};
    image[0x3000] = 0x01;
    pmic_sign_image(image, sig);
    EXPECT_FALSE(pmic_iap_sectors_empty(image, sig));

    image = PmicImage{};
    image[0x3FFF] = 0x01;
    pmic_sign_image(image, sig);
    EXPECT_NE(sig.crc[7], 0u);
    EXPECT_FALSE(pmic_iap_sectors_empty(image, sig));
}

// 33 single bits in sector 6 are linearly dependent over GF(2): some of them
// together have signature 0. Such data must still be refused.
TEST(PmicSigning, DataWithZeroSignatureInProgrammerSector)
{
    struct Vec {
        uint32_t sig;
        uint64_t bits; // which of the candidates are combined
    };
    std::vector<Vec> basis;
    uint64_t combination = 0;
    for (unsigned k = 0; k < 40 && combination == 0; ++k) {
        PmicImage single{};
        single[0x3000 + 50 * k] = 0x01;
        Vec v{calculateSectorCRC(single, 6), uint64_t{1} << k};
        for (const Vec &b : basis) {
            const uint32_t lead = uint32_t{1} << (31 - __builtin_clz(b.sig));
            if (v.sig & lead) {
                v.sig ^= b.sig;
                v.bits ^= b.bits;
            }
        }
        if (v.sig == 0) {
            combination = v.bits;
        } else {
            basis.push_back(v);
            std::sort(basis.begin(), basis.end(), [](const Vec &a, const Vec &b) { return a.sig > b.sig; });
        }
    }
    ASSERT_NE(combination, 0u);
    PmicImage image{};
    for (unsigned k = 0; k < 40; ++k) {
        if (combination & (uint64_t{1} << k)) {
            image[0x3000 + 50 * k] = 0x01;
        }
    }
    PmicSignatures sig;
    pmic_sign_image(image, sig);
    EXPECT_EQ(sig.crc[6], 0u);
    EXPECT_FALSE(pmic_iap_sectors_empty(image, sig));
}

} // namespace
