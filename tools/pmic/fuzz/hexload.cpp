// Intel HEX parsing and placement on arbitrary text, then the signatures and
// the programmer-sector check the tool runs on every image it accepts.
#include "intelhex.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PmicImage image{};
    HexResult result;
    const char *text = reinterpret_cast<const char *>(data);
    if (pmic_hex_load(text, size, image, result) == 0) {
        if (result.error != HexError::none) {
            std::abort();
        }
        PmicSignatures signatures;
        pmic_sign_image(image, signatures);
        // Sectors 0..4 do not overlap the stored signatures: signing again
        // must give the same CRC[0..4].
        PmicSignatures again;
        pmic_sign_image(image, again);
        for (size_t i = 0; i < 5; ++i) {
            if (again.crc[i] != signatures.crc[i]) {
                std::abort();
            }
        }
        (void)pmic_iap_sectors_empty(image, signatures);
    } else if (result.error == HexError::none || result.position > size) {
        std::abort();
    }
    return 0;
}
