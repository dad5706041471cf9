// iomx_readEvent: the next record of the event socket.
#include <cstdio>

#include "iomultiplex-private.h"

extern "C" IOMXEvent *iomx_readEvent(IOMultiplex *iomx)
{
    if (iomx->fd_event == -1) {
        std::printf("fd_event is -1\n");
        return nullptr;
    }
    return iomx_readIOEventData(iomx->fd_event, iomx->timeout_event);
}
