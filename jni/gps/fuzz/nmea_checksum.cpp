// The checksum test on any text of a line's length.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gps.h"
#include "gpsrecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char line[kNmeaLineBuffer] = {};
    std::memcpy(line, data, size < sizeof line - 1 ? size : sizeof line - 1);
    isChecksumValid(line);
    char sum[3];
    getChecksum(line, sum);
    return 0;
}
