// Fuzz target: the pid file as runlatch reads and judges it. The octets are
// written to a regular file and read back; the excerpt shown for a bad file
// stays within its buffer, printable, and gives back the octets it shows.
#include "pidfile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace
{

const char *scratch_path()
{
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/fuzz-pidfile-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        close(fd);
        path = name;
        atexit([] { unlink(path.c_str()); });
    }
    return path.c_str();
}

// Undoes the escapes of pid_text_excerpt.
std::string unescape(const char *s)
{
    std::string out;
    for (; *s != '\0'; ++s) {
        if (*s != '\\') {
            out += *s;
            continue;
        }
        ++s;
        switch (*s) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            out += static_cast<char>(std::strtoul(std::string(s + 1, 2).c_str(), nullptr, 16));
            s += 2;
            break;
        default:
            out += *s;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = open(scratch_path(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
        std::abort();
    char text[kPidTextMax + 1];
    const ssize_t n = pid_file_read(scratch_path(), text, kPidTextMax);
    const size_t want = size < kPidTextMax ? size : kPidTextMax;
    if (n != static_cast<ssize_t>(want) || (want > 0 && std::memcmp(text, data, want) != 0))
        std::abort();
    const size_t length = pid_text_length(text, want);
    if (length + 1 < want || length > want || (length < want && text[length] != '\n'))
        std::abort();
    (void)holds_process_id(text, length);

    for (size_t room : {size_t{1}, size_t{7}, 4 * kPidExcerptOctets + 4}) {
        char shown[4 * kPidExcerptOctets + 4 + 8];
        std::memset(shown, 'Z', sizeof shown);
        pid_text_excerpt(text, length, shown, room);
        const size_t used = strnlen(shown, room);
        if (used == room || shown[room] != 'Z')
            std::abort(); // no end within the room, or written past it
        for (size_t i = 0; i < used; ++i) {
            if (shown[i] < 0x20 || shown[i] > 0x7E)
                std::abort();
        }
        if (room == 4 * kPidExcerptOctets + 4) {
            const bool cut = length > kPidExcerptOctets;
            std::string back = unescape(shown);
            if (cut) {
                if (back.size() < 3 || back.compare(back.size() - 3, 3, "...") != 0)
                    std::abort();
                back.resize(back.size() - 3);
            }
            if (back != std::string(text, cut ? kPidExcerptOctets : length))
                std::abort();
        }
    }
    return 0;
}
