// Fuzz target: the image header check, on any octets and any file size
// (the octets' own length, and a size that ends just before HeaderSize).
#include "telit.h"

#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char error[160];
    for (uint64_t fileSize : {static_cast<uint64_t>(size), static_cast<uint64_t>(size) + 65536}) {
        TelitContext ctx;
        if (corelift_decodeHeader(&ctx, data, size, fileSize, error, sizeof error) == nullptr) {
            // Accepted text fields end within their 32 octets.
            if (std::strlen(ctx.softwareVersion) >= TELIT_TEXT_FIELD ||
                std::strlen(ctx.productName) >= TELIT_TEXT_FIELD || ctx.headerSize < TELIT_HEADER_FIELDS ||
                ctx.headerSize > fileSize)
                __builtin_trap();
            unsigned char pattern[4] = {};
            int n = corelift_bootPattern(ctx.productName, pattern);
            if (n != 0 && n != 1 && n != 3)
                __builtin_trap();
        } else if (std::memchr(error, 0, sizeof error) == nullptr) {
            __builtin_trap();
        }
    }
    return 0;
}
