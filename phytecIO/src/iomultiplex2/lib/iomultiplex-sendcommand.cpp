// iomx_sendCommand: sends a command and reads its result.
#include "iomultiplex-private.h"

extern "C" IOMXEvent *iomx_sendCommand(IOMultiplex *iomx, const void *command, size_t len)
{
    if (iomx_sendCommandAsync(iomx, command, len) != 0) {
        return nullptr;
    }
    return iomx_recvCommandResult(iomx);
}
