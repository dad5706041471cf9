// The can4linux device as the library drives it: opening a node, controller
// commands and the bit rate.
#pragma once

#include "can4linux.h"

extern "C" {

// Stop the controller, set the bit rate (kbit/s), start it again. The
// driver's answers are not looked at; the result is always 0.
__attribute__((visibility("default"))) int set_bitrate(int fd, int baud);

} // extern "C"

// Opens a device node with open(2) flags; the descriptor is closed on exec,
// so that programs the application starts never hold the bus. -1 with errno.
int CAN_openDevice(const char *path, int flags);

// One controller command (CMD_START, CMD_STOP, CMD_RESET): 0, or -1 with
// errno set when the ioctl failed or the driver refused the command in the
// record's retval (EPERM: another open of the node configures it).
int CAN_command(int fd, int cmd);

// set_bitrate with the driver's answers: 0, or -1 with the errno of the
// first refused step. All three steps are sent in any case.
int CAN_setBitrate(int fd, int baud);
