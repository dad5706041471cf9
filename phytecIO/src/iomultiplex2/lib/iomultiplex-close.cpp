// iomx_close: closes both sockets; the handle may be opened again.
#include <unistd.h>

#include "iomultiplex-private.h"

extern "C" int iomx_close(IOMultiplex *iomx)
{
    int result = 0;
    // A failed close still releases the descriptor on Linux: never retry it.
    if (iomx->fd_event != -1 && close(iomx->fd_event) != 0) {
        result = -1;
    }
    iomx->fd_event = -1;
    if (iomx->fd_command != -1 && close(iomx->fd_command) != 0) {
        result = -1;
    }
    iomx->fd_command = -1;
    return result;
}
