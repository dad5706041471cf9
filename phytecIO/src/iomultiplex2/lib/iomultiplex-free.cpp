// iomx_free: closes and releases a handle.
#include <cstdlib>

#include "iomultiplex-private.h"

extern "C" void iomx_free(IOMultiplex *iomx)
{
    if (iomx == nullptr) {
        return;
    }
    iomx_close(iomx);
    std::free(iomx->fifo_path);
    std::free(iomx);
}
