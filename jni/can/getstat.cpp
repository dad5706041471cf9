#include "getstat.h"

#include <sys/ioctl.h>

#include <cstdio>

#include "can4linux.h"

const char *CAN_controllerName(uint32_t type)
{
    switch (type) {
    case CAN_TYPE_SJA1000:
        return "sja1000";
    case CAN_TYPE_FlexCAN:
        return "FlexCan";
    case CAN_TYPE_TouCAN:
        return "TouCAN";
    case CAN_TYPE_82527:
        return "I82527";
    case CAN_TYPE_TwinCAN:
        return "TwinCAN";
    default:
        return "unknown";
    }
}

extern "C" void showCANStat(int fd)
{
    CanStatusPar_t status{};
    if (ioctl(fd, CAN_IOCTL_STATUS, &status) < 0) {
        perror("CAN device problem");
        return;
    }
    printf(":: %s %4d %2d %2d %2d %2d %2d tx:%3d/%3d: rx:%3d/%3d:\n", CAN_controllerName(status.type),
           static_cast<int>(status.baud), static_cast<int>(status.status),
           static_cast<int>(status.error_warning_limit), static_cast<int>(status.rx_errors),
           static_cast<int>(status.tx_errors), static_cast<int>(status.error_code),
           static_cast<int>(status.tx_buffer_size), static_cast<int>(status.tx_buffer_used),
           static_cast<int>(status.rx_buffer_size), static_cast<int>(status.rx_buffer_used));
}
