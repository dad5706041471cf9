// canprobe: a small program (not a product) that drives a CAN device node
// the way a program of the board would, one operation per group of words,
// one output line per operation. For the emulation's tests and by hand.
//
//   canprobe [-n] [-r] DEVICE OP...
//     -n non-blocking open, -r read-only open
//   OP: write ID LEN [COUNT]  COUNT records in one write (identifiers ID, ID+1...,
//                             data the record's index, little-endian)
//       read N                one read of up to N records, each printed
//       cmd C                 command request (1 start, 2 stop, 3 reset)
//       config T V1 [V2]      configuration request
//       status                status request
//       poll MS               readiness within MS milliseconds
//       pollin MS             the same, waiting for readable only
//       ioctl REQ             any request number, with a 64-octet argument
//       sleep MS
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "can4linux.h"

namespace
{

long num(const char *s)
{
    char *end = nullptr;
    long v = strtol(s, &end, 0);
    if (*end != '\0') {
        fprintf(stderr, "canprobe: not a number: %s\n", s);
        exit(2);
    }
    return v;
}

void result(const char *op, long r)
{
    if (r < 0)
        printf("%s: -1 %s\n", op, strerrorname_np(errno));
    else
        printf("%s: %ld\n", op, r);
}

// A command or configuration request: the driver answers a refusal in the
// record's retval, the ioctl itself returning 0.
void answer(const char *op, long r, const Command_par_t &c)
{
    if (r == 0 && c.retval != 0)
        printf("%s: 0 retval=%s\n", op, strerrorname_np(c.retval < 0 ? -c.retval : c.retval));
    else
        result(op, r);
}

void print(const canmsg_t &m)
{
    printf("  id=0x%x len=%d flags=0x%02x data=", m.id, m.length, static_cast<unsigned>(m.flags));
    int len = m.length < 0 ? 0 : m.length > 8 ? 8 : m.length;
    for (int i = 0; i < len; ++i)
        printf(i == 0 ? "%02x" : " %02x", m.data[i]);
    printf("%s stamp=%s\n", len == 0 ? "-" : "", m.seconds > 1000000000 ? "ok" : "none");
}

} // namespace

int main(int argc, char **argv)
{
    int flags = O_RDWR;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-n") == 0)
            flags |= O_NONBLOCK;
        else if (strcmp(argv[i], "-r") == 0)
            flags = (flags & ~O_ACCMODE) | O_RDONLY;
        else
            break;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: canprobe [-n] [-r] DEVICE OP...\n");
        return 2;
    }
    int fd = open(argv[i++], flags);
    if (fd < 0) {
        printf("open: -1 %s\n", strerrorname_np(errno));
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    while (i < argc) {
        std::string op = argv[i++];
        auto arg = [&](bool optional = false) -> long {
            if (i >= argc) {
                if (optional)
                    return -1;
                fprintf(stderr, "canprobe: %s needs more words\n", op.c_str());
                exit(2);
            }
            return num(argv[i++]);
        };
        if (op == "write") {
            long id = arg(), len = arg();
            long count = i < argc && isdigit(static_cast<unsigned char>(argv[i][0])) ? arg() : 1;
            std::vector<canmsg_t> m(static_cast<size_t>(count));
            for (long k = 0; k < count; ++k) {
                m[k] = canmsg_t{};
                m[k].id = static_cast<uint32_t>(id + k);
                m[k].flags = id + k > 0x7FF ? MSG_EXT : 0;
                m[k].length = static_cast<int16_t>(len);
                uint64_t v = static_cast<uint64_t>(k);
                memcpy(m[k].data, &v, 8);
            }
            result("write", write(fd, m.data(), static_cast<size_t>(count)));
        } else if (op == "read") {
            long n = arg();
            std::vector<canmsg_t> m(static_cast<size_t>(n > 0 ? n : 1));
            ssize_t r = read(fd, m.data(), static_cast<size_t>(n));
            result("read", r);
            for (ssize_t k = 0; k < r; ++k)
                print(m[static_cast<size_t>(k)]);
        } else if (op == "cmd") {
            Command_par_t c{};
            c.cmd = static_cast<int32_t>(arg());
            c.retval = -7;
            answer("cmd", ioctl(fd, CAN_IOCTL_COMMAND, &c), c);
        } else if (op == "config") {
            Config_par_t c{};
            c.target = static_cast<int32_t>(arg());
            c.val1 = static_cast<uint32_t>(arg());
            long v2 = i < argc && isdigit(static_cast<unsigned char>(argv[i][0])) ? arg() : 0;
            c.val2 = static_cast<uint32_t>(v2);
            answer("config", ioctl(fd, CAN_IOCTL_CONFIG, &c), c);
        } else if (op == "status") {
            CanStatusPar_t s{};
            long r = ioctl(fd, CAN_IOCTL_STATUS, &s);
            result("status", r);
            if (r == 0)
                printf("  baud=%u status=0x%02x ewl=%u rx_errors=%u tx_errors=%u rx=%u/%u tx=%u/%u type=%u\n", s.baud,
                       s.status, s.error_warning_limit, s.rx_errors, s.tx_errors, s.rx_buffer_used, s.rx_buffer_size,
                       s.tx_buffer_used, s.tx_buffer_size, s.type);
        } else if (op == "poll" || op == "pollin") {
            pollfd p{fd, static_cast<short>(op == "poll" ? POLLIN | POLLOUT : POLLIN), 0};
            int r = poll(&p, 1, static_cast<int>(arg()));
            printf("poll: %s%s\n", r > 0 && (p.revents & POLLIN) ? "in" : "-", r > 0 && (p.revents & POLLOUT) ? " out" : " -");
        } else if (op == "ioctl") {
            unsigned long req = static_cast<unsigned long>(arg());
            char buf[64] = {};
            result("ioctl", ioctl(fd, req, buf));
        } else if (op == "sleep") {
            usleep(static_cast<useconds_t>(arg() * 1000));
        } else {
            fprintf(stderr, "canprobe: unknown operation %s\n", op.c_str());
            return 2;
        }
    }
    close(fd);
    return 0;
}
