// Fuzz target: the controller's answers as pmprog reads them. The first
// octet is the detail buffer's size, the second picks how the line hands the
// octets over (one packet per read, 1..16 octets); the rest is the line.
// The answers read must be those the octets hold, however they are split,
// and no detail is written past its buffer.
#include "pmic.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Answer {
    int code;
    std::string detail;
    bool operator==(const Answer &) const = default;
};

// What the octets say, read here on their own: three digits, then the
// detail up to a LF without CRs, cut to capacity - 1.
std::vector<Answer> model(const uint8_t *p, size_t n, size_t capacity)
{
    std::vector<Answer> answers;
    size_t i = 0;
    for (;;) {
        if (n - i < 3)
            return answers;
        Answer a{0, ""};
        for (size_t k = 0; k < 3; ++k) {
            if (p[i + k] < '0' || p[i + k] > '9')
                return answers;
            a.code = a.code * 10 + (p[i + k] - '0');
        }
        i += 3;
        for (;; ++i) {
            if (i == n)
                return answers;
            if (p[i] == '\n')
                break;
            if (p[i] != '\r' && a.detail.size() + 1 < capacity)
                a.detail += static_cast<char>(p[i]);
        }
        ++i;
        answers.push_back(a);
    }
}

// The answers read from a line that hands over at most `piece` octets a
// read; false when the socket could not queue them all (nothing to judge).
bool read_answers(const uint8_t *p, size_t n, size_t capacity, size_t piece, std::vector<Answer> &answers)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
        std::abort();
    for (size_t at = 0; at < n; at += piece) {
        const size_t len = n - at < piece ? n - at : piece;
        if (send(fds[1], p + at, len, MSG_DONTWAIT) != static_cast<ssize_t>(len)) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
    }
    close(fds[1]);
    pmic_reader reader;
    reader.fd = fds[0];
    for (;;) {
        std::vector<char> detail(capacity + 8, 'Z');
        size_t length = capacity;
        int code = -1;
        if (!pmic_read(reader, &code, detail.data(), &length))
            break;
        for (size_t k = capacity; k < detail.size(); ++k)
            if (detail[k] != 'Z')
                std::abort();
        // NUL octets of the line are stored like any other: the length counts.
        if (capacity > 0 && (length >= capacity || detail[length] != '\0'))
            std::abort();
        if (code < 0 || code > 999)
            std::abort();
        answers.push_back({code, std::string(detail.data(), capacity > 0 ? length : 0)});
    }
    close(fds[0]);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Short: one packet per octet must fit the socket's queue.
    if (size < 2 || size > 160)
        return 0;
    const size_t capacity = data[0] % 40;
    const size_t piece = data[1] % 16 + 1;
    data += 2;
    size -= 2;
    const std::vector<Answer> want = model(data, size, capacity);
    std::vector<Answer> split, whole;
    if (!read_answers(data, size, capacity, piece, split) || !read_answers(data, size, capacity, 16, whole))
        return 0;
    if (split != want || whole != want)
        std::abort();
    return 0;
}
