// iomxprobe: exercises the IO multiplexer service from the client side.
//
//   iomxprobe <directory>
//
// Connects to "<directory>/event" and "<directory>/command", then forks: the
// parent prints every event record with a status line after it, the child
// sends each line of standard input as a command (ending in CR LF) and
// prints the result record.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "iomultiplex.h"

namespace
{

constexpr size_t kLineSize = 8192; // at most 8191 characters per line

void write_all(const void *data, size_t len)
{
    const auto *at = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = write(1, at, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        at += n;
        len -= static_cast<size_t>(n);
    }
}

void printEvent(const IOMXEvent *event, const char *label)
{
    std::printf("%09u.%06u#%09u: %s with %i bytes:\n-------\n", event->timestamp.sec, event->timestamp.usec,
                event->seqnr, label, static_cast<int>(event->data_len));
    // The payload goes to the descriptor directly: keep the header ahead of it.
    std::fflush(stdout);
    write_all(event->data, event->data_len);
    write_all("-------\n", 8);
}

void printStatus(const IOMXStatus &status, int result)
{
    std::printf("Status: [%i/%i] -> %i, event_pending=%u, cmd_rts=%u, cmd_pending=%u\n",
                static_cast<int>(status.status_cmd), static_cast<int>(status.status_event), result,
                static_cast<unsigned>(status.event_pending), static_cast<unsigned>(status.cmd_rts),
                static_cast<unsigned>(status.cmd_pending));
    std::fflush(stdout);
}

[[noreturn]] void read_events(IOMultiplex *iomx)
{
    close(0);
    for (;;) {
        IOMXEvent *event = iomx_readEvent(iomx);
        if (event == nullptr) {
            std::fflush(stdout);
            iomx_free(iomx);
            std::exit(0);
        }
        printEvent(event, "label");
        std::free(event);
        IOMXStatus status;
        const int result = iomx_wait(iomx, IOMX_WAIT_EVENT, &status, 5000);
        printStatus(status, result);
    }
}

[[noreturn]] void send_commands(IOMultiplex *iomx)
{
    // Room for the CR LF appended to a line of full length.
    static char line[kLineSize + 2];
    while (std::fgets(line, kLineSize, stdin) != nullptr) {
        size_t len = std::strlen(line);
        while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) {
            --len;
        }
        line[len++] = '\r';
        line[len++] = '\n';
        line[len] = '\0';
        IOMXEvent *result = iomx_sendCommand(iomx, line, len);
        if (result != nullptr) {
            printEvent(result, "result");
            std::free(result);
        }
        std::fflush(stdout);
    }
    std::fflush(stdout);
    iomx_free(iomx);
    std::exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: iomxprobe <directory>\n");
        return 2;
    }
    IOMultiplex *iomx = iomx_new(argv[1]);
    if (iomx == nullptr) {
        std::fprintf(stderr, "iomx_new(): %s\n", std::strerror(ENOMEM));
        return 1;
    }
    // Going on after a failed open is deliberate: the failing reads and
    // sends show up in the output. Say why first.
    if (iomx_open(iomx) != 0) {
        std::fprintf(stderr, "iomx_open(): %s: %s\n", argv[1], std::strerror(errno));
    }
    std::fflush(stdout);
    if (fork() == 0) {
        send_commands(iomx);
    }
    read_events(iomx);
}
