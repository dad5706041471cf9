// iomx_readIOEventData: one record (header and payload) from a socket.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

#include "iomultiplex-private.h"

namespace
{

uint32_t big_endian_word(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

} // namespace

extern "C" int iomx_pollTimeout(unsigned int timeout)
{
    return timeout > static_cast<unsigned int>(INT_MAX) ? -1 : static_cast<int>(timeout);
}

extern "C" int readWithTimeout(int fd, void *dst, size_t len, unsigned int timeout)
{
    auto *at = static_cast<uint8_t *>(dst);
    size_t missing = len;
    while (missing > 0) {
        const ssize_t n = recv(fd, at, missing, MSG_DONTWAIT);
        if (n > 0) {
            at += n;
            missing -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            // The service closed the connection, possibly inside a record.
            errno = ECONNRESET;
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        // A time-out leaves this in place, so that it is what the
        // diagnostic line reports.
        errno = EINTR;
        pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, iomx_pollTimeout(timeout));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
    }
    if (missing == 0) {
        return 0;
    }
    std::printf("err: %d\n", errno);
    return -1;
}

extern "C" int iomx_decodeHeader(const uint8_t wire[IOMX_WIRE_HEADER], IOMXEvent *header)
{
    header->timestamp.sec = big_endian_word(wire);
    header->timestamp.usec = big_endian_word(wire + 4);
    header->seqnr = big_endian_word(wire + 8);
    header->data_len = big_endian_word(wire + 12);
    return header->data_len > IOMX_MAX_DATA_LEN ? -1 : 0;
}

extern "C" IOMXEvent *iomx_readIOEventData(int fd, unsigned int timeout)
{
    uint8_t wire[IOMX_WIRE_HEADER];
    if (readWithTimeout(fd, wire, sizeof(wire), timeout) != 0) {
        std::printf("1) readWithTimeout return -1\n");
        return nullptr;
    }
    IOMXEvent header;
    if (iomx_decodeHeader(wire, &header) != 0) {
        // Refused before anything of it is read or allocated; the stream is
        // left at the start of the payload.
        std::printf("1) data_len %u exceeds %u\n", header.data_len, static_cast<unsigned>(IOMX_MAX_DATA_LEN));
        errno = EMSGSIZE;
        return nullptr;
    }
    auto *event = static_cast<IOMXEvent *>(std::malloc(sizeof(IOMXEvent) + header.data_len));
    if (event == nullptr) {
        return nullptr;
    }
    if (readWithTimeout(fd, event->data, header.data_len, timeout) != 0) {
        std::printf("2) readWithTimeout return -1\n");
        std::free(event);
        return nullptr;
    }
    std::memcpy(event, &header, sizeof(header));
    return event;
}
