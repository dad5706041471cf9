// pinprobe 0 device | pinprobe 1 device...: prints the digital input events
// of one or more GPIO input devices until standard input hangs up (test 0)
// or has something to say (test 1).
//
// H=<octets> in the environment limits every read call to that many octets,
// to show how a reader copes with a driver that hands records over in pieces.
#include "pinrecord.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{

constexpr int kMaxDevices = 64;

int64_t g_limit = 0;

// Reads and prints one record. A device that ends or fails in the middle of
// a record would otherwise be polled and read again and again: it is
// reported and the test ends (false).
bool show_record(int fd, const char *path)
{
    GpioEventRecord r{};
    const ssize_t n = pin_shortRead(fd, &r, sizeof r, g_limit);
    if (n == static_cast<ssize_t>(sizeof r)) {
        char line[128];
        pin_formatEvent(line, sizeof line, r);
        fputs(line, stdout);
        return true;
    }
    if (n < 0) {
        fprintf(stderr, "read(): %s: %s\n", path, strerror(errno));
    } else {
        fprintf(stderr, "read(): %s: end of file after %zd of %zu octets\n", path, n, sizeof r);
    }
    return false;
}

int runTest0(const char *path)
{
    const int fd = open(path, O_RDONLY);
    if (fd == -1) {
        perror("open()");
        return 1;
    }
    pollfd fds[2] = {{0, static_cast<short>(~(0x004 | 0x100)), 0}, {fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("poll()");
            close(fd);
            return 1;
        }
        if (fds[0].revents & POLLHUP) {
            close(fd);
            return 0;
        }
        if (!show_record(fd, path)) {
            close(fd);
            return 1;
        }
    }
}

int runTest1(int count, char **paths)
{
    pollfd fds[kMaxDevices + 1];
    int opened = 0;
    auto close_all = [&] {
        while (opened > 0) {
            close(fds[--opened].fd); // last first
        }
    };
    for (; opened < count; ++opened) {
        const int fd = open(paths[opened], O_RDONLY);
        if (fd == -1) {
            perror("open()");
            close_all();
            return 1;
        }
        fds[opened] = {fd, POLLIN, 0};
    }
    fds[count] = {0, POLLIN, 0};
    for (;;) {
        if (poll(fds, static_cast<nfds_t>(count + 1), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("poll()");
            close_all();
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            // A hang-up or error is read as well: the read tells what it is.
            if (fds[i].revents != 0 && !show_record(fds[i].fd, paths[i])) {
                close_all();
                return 1;
            }
        }
        if (fds[count].revents & (POLLIN | POLLHUP)) {
            close_all();
            return 0;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        return 0;
    }
    const bool test0 = strcmp(argv[1], "0") == 0;
    const bool test1 = strcmp(argv[1], "1") == 0;
    if (!test0 && !test1) {
        return 0;
    }
    g_limit = pin_readLimit(getenv("H"));
    if (g_limit < 0) {
        fprintf(stderr, "H: not a positive number of octets: \"%s\"\n", getenv("H"));
        return 1;
    }
    if (test0) {
        if (argc < 3) {
            fprintf(stderr, "usage: pinprobe 0 device | pinprobe 1 device...\n");
            return 1;
        }
        return runTest0(argv[2]);
    }
    if (argc - 2 > kMaxDevices) {
        fprintf(stderr, "pinprobe: at most %d devices\n", kMaxDevices);
        return 1;
    }
    return runTest1(argc - 2, argv + 2);
}
