// iomx_recvCommandResult: the result record of a command sent earlier.
#include "iomultiplex-private.h"

extern "C" IOMXEvent *iomx_recvCommandResult(IOMultiplex *iomx)
{
    return iomx_readIOEventData(iomx->fd_command, iomx->timeout_cmd);
}
