// iomx_sendCommandAsync: sends a command without waiting for its result.
#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

#include "iomultiplex-private.h"

extern "C" int sendWithTimeout(int fd, const void *src, size_t len, unsigned int timeout)
{
    const auto *at = static_cast<const uint8_t *>(src);
    size_t left = len;
    while (left > 0) {
        const ssize_t n = send(fd, at, left, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        pollfd pfd = {fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, iomx_pollTimeout(timeout));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready < 0) {
            return -1;
        }
    }
    return 0;
}

extern "C" int iomx_sendCommandAsync(IOMultiplex *iomx, const void *command, size_t len)
{
    if (iomx->fd_command == -1) {
        errno = ENOTCONN;
        return -1;
    }
    return sendWithTimeout(iomx->fd_command, command, len, iomx->timeout_cmd);
}
