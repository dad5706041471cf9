// A terminal program for the tests: opens a channel port of the board and
// works through its command words in order (see usage()). Prints "ok" and
// exits 0 when every step worked; otherwise says which step failed.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

int fd = -1;

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "port_client: %s\n", what.c_str());
    exit(1);
}

struct Rand {
    uint32_t x;
    uint8_t next()
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<uint8_t>(x);
    }
};

int line_bit(const std::string &name)
{
    if (name == "dtr")
        return TIOCM_DTR;
    if (name == "rts")
        return TIOCM_RTS;
    fail("unknown line " + name);
}

// Writes count octets of the sequence and reads them back at the same time
// (a loopback channel), comparing every octet.
void echo(size_t count, uint32_t seed, int seconds)
{
    Rand w{seed}, r{seed};
    size_t written = 0, read_back = 0;
    std::vector<uint8_t> out;
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (read_back < count) {
        if (clock_type::now() > deadline)
            fail("echo: " + std::to_string(read_back) + " of " + std::to_string(count) +
                 " octets back in time");
        if (out.empty() && written < count) {
            size_t n = std::min<size_t>(4096, count - written);
            for (size_t i = 0; i < n; ++i)
                out.push_back(w.next());
        }
        pollfd p{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 200) < 0 && errno != EINTR)
            fail("poll");
        if (p.revents & POLLOUT) {
            ssize_t n = write(fd, out.data(), out.size());
            if (n > 0) {
                written += static_cast<size_t>(n);
                out.erase(out.begin(), out.begin() + n);
            }
        }
        if (p.revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t want = r.next();
                if (buf[i] != want || read_back >= count)
                    fail("echo: octet " + std::to_string(read_back) + " differs");
                ++read_back;
            }
        }
    }
}

void expect(const std::string &text, int seconds)
{
    std::string seen;
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (seen.find(text) == std::string::npos) {
        if (clock_type::now() > deadline)
            fail("expected '" + text + "', got '" + seen + "'");
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, static_cast<size_t>(n));
        }
    }
}

void wait_lines(int mask, bool set, int seconds)
{
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    for (;;) {
        int lines = 0;
        if (ioctl(fd, TIOCMGET, &lines) < 0)
            fail(std::string("TIOCMGET: ") + strerror(errno));
        if (set ? (lines & mask) == mask : (lines & mask) == 0)
            return;
        if (clock_type::now() > deadline) {
            char b[64];
            snprintf(b, sizeof b, "lines 0x%x, waited for 0x%x %s", lines, mask, set ? "set" : "clear");
            fail(b);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string w = argv[i];
        auto arg = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(w + " needs an argument");
            return argv[++i];
        };
        if (w == "open") {
            std::string path = "/dev/ttyMUX" + arg();
            fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0)
                fail("open " + path + ": " + strerror(errno));
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        } else if (w == "write") {
            std::string text = arg();
            for (size_t k = 0; (k = text.find("\\r", k)) != std::string::npos;)
                text.replace(k, 2, "\r");
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                fail("write");
        } else if (w == "echo") {
            size_t n = std::stoul(arg());
            uint32_t seed = static_cast<uint32_t>(std::stoul(arg()));
            // Two minutes, or longer for more than 1,000 octets a second.
            echo(n, seed, static_cast<int>(std::max<size_t>(120, n / 1000)));
        } else if (w == "expect") {
            expect(arg(), 20);
        } else if (w == "bis" || w == "bic") {
            int bit = line_bit(arg());
            if (ioctl(fd, w == "bis" ? TIOCMBIS : TIOCMBIC, &bit) < 0)
                fail(w + ": " + strerror(errno));
        } else if (w == "break") {
            if (tcsendbreak(fd, 0) < 0)
                fail(std::string("break: ") + strerror(errno));
        } else if (w == "lines" || w == "nolines") {
            wait_lines(static_cast<int>(std::stoul(arg(), nullptr, 16)), w == "lines", 20);
        } else if (w == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg())));
        } else if (w == "close") {
            close(fd);
            fd = -1;
        } else {
            fail("unknown word " + w);
        }
    }
    printf("ok\n");
    return 0;
}
