#include "pmic.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr uint8_t kCheckSeed = 0x3C;

uint8_t rotr(uint8_t v)
{
    return static_cast<uint8_t>((v >> 1) | (v << 7));
}

// One write, repeated on EINTR; short counts as failed.
int write_exact(int fd, const uint8_t *data, size_t length)
{
    ssize_t n;
    do {
        n = write(fd, data, length);
    } while (n < 0 && errno == EINTR);
    return (n == static_cast<ssize_t>(length)) ? 0 : -1;
}

// Refills an empty buffer with one read of up to 16 octets. End of file (a
// hung-up line) and errors fail: retrying them would spin.
int64_t now_ms();

bool refill(pmic_reader &reader)
{
    reader.timed_out = false;
    if (reader.timeout_ms >= 0) {
        const int64_t deadline = now_ms() + reader.timeout_ms;
        for (;;) {
            pollfd pfd{reader.fd, POLLIN, 0};
            const int64_t left = deadline - now_ms();
            const int n = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
            if (n > 0) {
                break;
            }
            if (n < 0 && errno == EINTR && left > 0) {
                continue;
            }
            if (n == 0) {
                reader.timed_out = true;
            }
            return false;
        }
    }
    ssize_t n;
    do {
        n = read(reader.fd, reader.buffer.data(), reader.buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    reader.count = static_cast<size_t>(n);
    reader.next = 0;
    return true;
}

// Single mode: at most one refill, no octet is a failure.
bool next_octet(pmic_reader &reader, uint8_t *octet)
{
    if (reader.next == reader.count && !refill(reader)) {
        return false;
    }
    *octet = reader.buffer[reader.next++];
    return true;
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

PmicWord pmic_word(const char *text)
{
    PmicWord word{};
    for (size_t i = 0; i < word.size() && text[i] != '\0'; ++i) {
        word[i] = static_cast<uint8_t>(text[i]);
    }
    return word;
}

PmicWord pmic_check_code(const PmicWord &word)
{
    PmicWord code{};
    code[0] = word[0] ^ kCheckSeed;
    for (size_t i = 1; i < code.size(); ++i) {
        code[i] = word[i] ^ rotr(code[i - 1]);
    }
    return code;
}

PmicFrame pmic_frame(const PmicWord &word)
{
    PmicFrame frame{};
    const PmicWord code = pmic_check_code(word);
    std::memcpy(frame.data(), PMIC_PREAMBLE.data(), PMIC_PREAMBLE.size());
    std::memcpy(frame.data() + 8, word.data(), word.size());
    std::memcpy(frame.data() + 12, code.data(), code.size());
    frame[16] = '\r';
    frame[17] = '\n';
    return frame;
}

const char *pmic_line_setup(int fd, bool nul_before_flush)
{
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    tio.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    tio.c_iflag = IGNPAR;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return "tcsetattr()";
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return "fcntl()";
    }
    const uint8_t nul = 0;
    if (nul_before_flush && write_exact(fd, &nul, 1) != 0) {
        return "write()";
    }
    if (tcflush(fd, TCIOFLUSH) != 0) {
        return "tcflush()";
    }
    if (!nul_before_flush && write_exact(fd, &nul, 1) != 0) {
        return "write()";
    }
    if (tcdrain(fd) != 0) {
        return "tcdrain()";
    }
    return nullptr;
}

int pmic_cmd(pmic_reader &reader, const PmicWord &word)
{
    // Whatever came before the command cannot be its answer.
    pmic_discard(reader);
    const PmicFrame frame = pmic_frame(word);
    // Preamble, word, check code, line end: the controller's receiver takes
    // the frame in these pieces.
    static constexpr std::array<size_t, 4> pieces = {8, 4, 4, 2};
    size_t offset = 0;
    for (size_t piece : pieces) {
        errno = 0;
        if (write_exact(reader.fd, frame.data() + offset, piece) != 0) {
            std::fprintf(stderr, "%s(): failed to write frame: %s\n", "pmic_cmd",
                         errno != 0 ? std::strerror(errno) : "short write");
            return -1;
        }
        offset += piece;
    }
    return 0;
}

int pmic_read(pmic_reader &reader, int *code, char *detail, size_t *detail_length)
{
    const size_t capacity = (detail != nullptr && detail_length != nullptr) ? *detail_length : 0;
    size_t stored = 0;
    if (detail_length != nullptr) {
        *detail_length = 0;
    }
    if (capacity > 0) {
        detail[0] = '\0';
    }
    // Exact mode: refill until all three digits are there.
    std::array<uint8_t, 3> digits{};
    for (uint8_t &digit : digits) {
        if (reader.next == reader.count && !refill(reader)) {
            if (reader.timed_out) {
                std::fprintf(stderr, "%s(): no answer from the controller within %d ms\n", "pmic_read",
                             reader.timeout_ms);
            } else {
                std::fprintf(stderr, "%s(): failed to read code block\n", "pmic_read");
            }
            return 0;
        }
        digit = reader.buffer[reader.next++];
    }
    int value = 0;
    for (uint8_t digit : digits) {
        if (digit < '0' || digit > '9') {
            std::fprintf(stderr, "%s(): failed to read code block\n", "pmic_read");
            return 0;
        }
        value = value * 10 + (digit - '0');
    }
    for (;;) {
        uint8_t octet;
        if (!next_octet(reader, &octet)) {
            std::fprintf(stderr, "%s(): failed to read detail block%s\n", "pmic_read",
                         reader.timed_out ? " (no more answer from the controller)" : "");
            return 0;
        }
        if (octet == '\n') {
            break;
        }
        if (octet == '\r') {
            continue;
        }
        if (stored + 1 < capacity) {
            detail[stored++] = static_cast<char>(octet);
            detail[stored] = '\0';
        }
    }
    if (detail_length != nullptr) {
        *detail_length = stored;
    }
    if (code != nullptr) {
        *code = value;
    }
    return 1;
}

bool pmic_wait(pmic_reader &reader, int timeout_ms)
{
    if (reader.next < reader.count) {
        return true;
    }
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        pollfd pfd{reader.fd, POLLIN, 0};
        const int64_t left = deadline - now_ms();
        const int n = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0) {
            return true;
        }
        if ((n == 0 || errno != EINTR) || left <= 0) {
            return false;
        }
    }
}

bool pmic_next_octet(pmic_reader &reader, uint8_t *octet)
{
    return next_octet(reader, octet);
}

size_t pmic_discard(pmic_reader &reader)
{
    size_t dropped = reader.count - reader.next;
    reader.count = reader.next = 0;
    tcflush(reader.fd, TCIFLUSH);
    // What the driver had not yet queued when it was flushed.
    for (;;) {
        pollfd pfd{reader.fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0) {
            break;
        }
        uint8_t scratch[64];
        const ssize_t n = read(reader.fd, scratch, sizeof scratch);
        if (n <= 0) {
            break;
        }
        dropped += static_cast<size_t>(n);
    }
    return dropped;
}

int pmic_command(pmic_reader &reader, const PmicWord &word, int *code)
{
    if (pmic_cmd(reader, word) != 0) {
        return 0;
    }
    return pmic_read(reader, code, nullptr, nullptr);
}

int pmic_ping(pmic_reader &reader)
{
    int code = 0;
    return pmic_command(reader, pmic_word("ping"), &code) ? code : -1;
}

int pmic_reset(pmic_reader &reader, bool upper_case)
{
    int code = 0;
    return pmic_command(reader, pmic_word(upper_case ? "R" : "r"), &code);
}
