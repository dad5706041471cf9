// The parser on any text of a line's length.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gpsrecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char line[kNmeaLineBuffer] = {};
    std::memcpy(line, data, size < sizeof line - 1 ? size : sizeof line - 1);
    NativeNmeaRecord record;
    std::memset(&record, 0, sizeof record);
    parseRecord(line, &record);
    return 0;
}
