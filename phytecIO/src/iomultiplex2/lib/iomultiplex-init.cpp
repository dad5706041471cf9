// iomx_new: a closed handle for the service's sockets in one directory.
#include <cstdlib>
#include <cstring>

#include "iomultiplex-private.h"

extern "C" IOMultiplex *iomx_new(const char *fifo_path)
{
    auto *iomx = static_cast<IOMultiplex *>(std::malloc(sizeof(IOMultiplex)));
    if (iomx == nullptr) {
        return nullptr;
    }
    iomx->fifo_path = strdup(fifo_path);
    if (iomx->fifo_path == nullptr) {
        std::free(iomx);
        return nullptr;
    }
    iomx->fd_event = -1;
    iomx->fd_command = -1;
    iomx->timeout_cmd = 4000;
    iomx->timeout_event = 0xFFFFFFFFu;
    return iomx;
}
