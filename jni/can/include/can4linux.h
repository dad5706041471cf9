// The can4linux character-device interface ("/dev/can0", "/dev/can1", ...):
// the message record that read and write exchange, the command,
// configuration and status records of its ioctl requests, and the request
// numbers. One header for the CAN library, the CAN tools and the board's
// driver emulation; the asserts hold every build, the target's included, to
// the driver's layout.
#pragma once

#include <cstddef>
#include <cstdint>

// read() and write() count these records, not bytes.
struct canmsg_t {
    int32_t flags;         // MSG_* bits below
    int32_t cob;           // passed through unchanged
    uint32_t id;           // 11- or 29-bit identifier; CAN_ERROR_ID on an error record
    int32_t seconds;       // receive time stamp
    int32_t microseconds;
    int16_t length;        // data length 0..8
    uint8_t data[8];
};

static_assert(sizeof(canmsg_t) == 32, "canmsg_t is 32 octets");
static_assert(offsetof(canmsg_t, flags) == 0);
static_assert(offsetof(canmsg_t, cob) == 4);
static_assert(offsetof(canmsg_t, id) == 8);
static_assert(offsetof(canmsg_t, seconds) == 12);
static_assert(offsetof(canmsg_t, microseconds) == 16);
static_assert(offsetof(canmsg_t, length) == 20);
static_assert(offsetof(canmsg_t, data) == 22);

inline constexpr int32_t MSG_RTR = 0x01;      // remote request
inline constexpr int32_t MSG_OVR = 0x02;      // receive overrun
inline constexpr int32_t MSG_EXT = 0x04;      // 29-bit identifier
inline constexpr int32_t MSG_SELF = 0x08;     // own message
inline constexpr int32_t MSG_PASSIVE = 0x10;  // controller error passive
inline constexpr int32_t MSG_BUSOFF = 0x20;   // controller bus off
inline constexpr int32_t MSG_0x40 = 0x40;     // no name; shown as "MSG_,"
inline constexpr int32_t MSG_BOVR = 0x80;     // driver buffer overrun

// Identifier of the records the driver delivers on an error-state change.
inline constexpr uint32_t CAN_ERROR_ID = 0xFFFFFFFFu;

// ioctl requests: plain numbers, not _IOC-encoded.
inline constexpr unsigned long CAN_IOCTL_COMMAND = 0;
inline constexpr unsigned long CAN_IOCTL_CONFIG = 1;
inline constexpr unsigned long CAN_IOCTL_STATUS = 5;

// Command record (CAN_IOCTL_COMMAND) and configuration record
// (CAN_IOCTL_CONFIG) share one layout.
struct Command_par_t {
    int32_t cmd;
    int32_t target;
    uint32_t val1;
    uint32_t val2;
    int32_t error;
    int32_t retval;
};
using Config_par_t = Command_par_t;

static_assert(sizeof(Command_par_t) == 24, "command record is six 32-bit words");
static_assert(offsetof(Command_par_t, target) == 4);
static_assert(offsetof(Command_par_t, val1) == 8);
static_assert(offsetof(Command_par_t, val2) == 12);
static_assert(offsetof(Command_par_t, error) == 16);
static_assert(offsetof(Command_par_t, retval) == 20);

inline constexpr int32_t CMD_START = 1;
inline constexpr int32_t CMD_STOP = 2;
inline constexpr int32_t CMD_RESET = 3;

inline constexpr int32_t CONF_ACCM_CODE = 0;  // val1 acceptance mask, val2 acceptance code
inline constexpr int32_t CONF_ACCC = 2;       // val1 acceptance code
inline constexpr int32_t CONF_TIMING = 3;     // val1 bit rate in kbit/s

// Status record (CAN_IOCTL_STATUS).
struct CanStatusPar_t {
    uint32_t baud;
    uint32_t status;
    uint32_t error_warning_limit;
    uint32_t rx_errors;
    uint32_t tx_errors;
    uint32_t error_code;
    uint32_t rx_buffer_size;
    uint32_t rx_buffer_used;
    uint32_t tx_buffer_size;
    uint32_t tx_buffer_used;
    uint32_t retval;
    uint32_t type;  // CAN_TYPE_*
};

static_assert(sizeof(CanStatusPar_t) == 48, "status record is twelve 32-bit words");
static_assert(offsetof(CanStatusPar_t, rx_buffer_size) == 24);
static_assert(offsetof(CanStatusPar_t, retval) == 40);
static_assert(offsetof(CanStatusPar_t, type) == 44);

inline constexpr uint32_t CAN_TYPE_SJA1000 = 1;
inline constexpr uint32_t CAN_TYPE_FlexCAN = 2;
inline constexpr uint32_t CAN_TYPE_TouCAN = 3;
inline constexpr uint32_t CAN_TYPE_82527 = 4;
inline constexpr uint32_t CAN_TYPE_TwinCAN = 5;

// Bit rate the driver uses when a program sets none.
inline constexpr const char CAN_PROC_BAUD[] = "/proc/sys/Can/baud";
