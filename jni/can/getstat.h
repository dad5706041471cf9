// Status line of a CAN device, for the service console.
#pragma once

#include <cstdint>

extern "C" {

// Prints ":: <controller> <bit rate> <status> ... tx:used/size: rx:..." for
// the device open at `fd`, or a "CAN device problem" error line.
__attribute__((visibility("default"))) void showCANStat(int fd);

} // extern "C"

// "sja1000", "FlexCan", "TouCAN", "I82527", "TwinCAN" or "unknown".
const char *CAN_controllerName(uint32_t type);
