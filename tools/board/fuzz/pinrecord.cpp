// Fuzz target: GPIO event records as pinprobe reads them. The first octet
// picks the read limit (as "H" would), the rest is what the device delivers.
// Every whole record is printed as its octets say, whatever the limit; a
// partial one at the end is never taken for a record.
#include "pinrecord.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

// The records read from the octets with the given limit, printed; the
// number of octets of a partial record at the end in *rest.
std::string read_all(const uint8_t *data, size_t size, int64_t limit, ssize_t *rest)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    if (write(fds[1], data, size) != static_cast<ssize_t>(size))
        std::abort();
    close(fds[1]);
    std::string printed;
    for (;;) {
        // Guard octets around the record: nothing is written past it.
        unsigned char room[sizeof(GpioEventRecord) + 8];
        std::memset(room, 0xEE, sizeof room);
        const ssize_t n = pin_shortRead(fds[0], room + 4, sizeof(GpioEventRecord), limit);
        for (size_t i : {0, 1, 2, 3, 32, 33, 34, 35})
            if (room[i] != 0xEE)
                std::abort();
        if (n != static_cast<ssize_t>(sizeof(GpioEventRecord))) {
            *rest = n;
            break;
        }
        GpioEventRecord r;
        std::memcpy(&r, room + 4, sizeof r);
        char line[128];
        const int length = pin_formatEvent(line, sizeof line, r);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof line || line[length - 1] != '\n')
            std::abort();
        printed += line;
    }
    close(fds[0]);
    return printed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    const int64_t limit = data[0] % 41; // 0: none; 1..40 pieces
    ++data;
    --size;
    ssize_t rest = -1, rest_whole = -1;
    const std::string pieces = read_all(data, size, limit, &rest);
    const std::string whole = read_all(data, size, 0, &rest_whole);
    if (pieces != whole || rest != rest_whole || rest != static_cast<ssize_t>(size % sizeof(GpioEventRecord)))
        std::abort();
    size_t lines = 0;
    for (char c : whole)
        lines += c == '\n';
    if (lines != size / sizeof(GpioEventRecord))
        std::abort();

    // The same octets as an "H" text.
    const std::string text(reinterpret_cast<const char *>(data),
                           strnlen(reinterpret_cast<const char *>(data), size));
    const int64_t h = pin_readLimit(text.c_str());
    if (h < -1 || (text.empty() && h != 0) ||
        (h > 0 && (text.find_first_not_of("+0123456789 \t\n\v\f\r") != std::string::npos)))
        std::abort();
    return 0;
}
