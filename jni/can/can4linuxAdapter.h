// The can4linux device as the library drives it: controller commands and
// the bit rate.
#pragma once

#include "can4linux.h"

extern "C" {

// Stop the controller, set the bit rate (kbit/s), start it again. The
// driver's answers are not looked at; the result is always 0.
__attribute__((visibility("default"))) int set_bitrate(int fd, int baud);

} // extern "C"

// One controller command (CMD_START, CMD_STOP, CMD_RESET): the ioctl result,
// -1 with errno set on failure.
int CAN_command(int fd, int cmd);
