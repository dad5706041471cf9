// iomx_open: connects the event socket, then the command socket.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "iomultiplex-private.h"

extern "C" int openSocket(const char *dir_name, const char *base_name)
{
    const size_t dir_len = std::strlen(dir_name);
    const size_t base_len = std::strlen(base_name);
    sockaddr_un addr;
    static_assert(sizeof(addr.sun_path) == 108);
    // The path and its terminator within 107 of the 108 octets of sun_path.
    if (dir_len + base_len + 1 > 107) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, dir_name, dir_len);
    std::memcpy(addr.sun_path + dir_len, base_name, base_len);

    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
            return fd;
        }
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

extern "C" int iomx_open(IOMultiplex *iomx)
{
    if (iomx->fd_event != -1 || iomx->fd_command != -1) {
        errno = EISCONN;
        return -1;
    }
    iomx->fd_event = openSocket(iomx->fifo_path, "/event");
    if (iomx->fd_event != -1) {
        iomx->fd_command = openSocket(iomx->fifo_path, "/command");
        if (iomx->fd_command != -1) {
            return 0;
        }
    }
    const int saved = errno;
    iomx_close(iomx);
    errno = saved;
    return -1;
}
