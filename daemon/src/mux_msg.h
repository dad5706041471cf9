// Messages and requests of the kernel multiplexer-control device. Shared by
// the daemon and the device's emulation on the virtual board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/ioctl.h>

struct mux_info {
    uint32_t msg_size;  // largest message, header included
    uint32_t msg_count; // message buffers; the mapping is size x count
    uint32_t reserved;
};
static_assert(sizeof(mux_info) == 12);

// Kernel ports: one per data channel.
constexpr int MUX_PORTS = 4;

struct mux_msg_hdr {
    uint8_t port; // kernel port 0..3 = DLCI - 1
    uint8_t type;
    uint16_t reserved;
    uint32_t len; // DATA: payload length; MCTRL: the mctrl word
};
static_assert(sizeof(mux_msg_hdr) == 8);
static_assert(offsetof(mux_msg_hdr, port) == 0);
static_assert(offsetof(mux_msg_hdr, type) == 1);
static_assert(offsetof(mux_msg_hdr, reserved) == 2);
static_assert(offsetof(mux_msg_hdr, len) == 4);

constexpr uint8_t MUX_MSG_DATA = 0;
constexpr uint8_t MUX_MSG_MCTRL = 1;
constexpr uint8_t MUX_MSG_CLOSE = 2;
constexpr uint8_t MUX_MSG_OPEN = 3;

// mctrl word
constexpr uint32_t MUX_MCTRL_CTS = 0x01;
constexpr uint32_t MUX_MCTRL_DCD = 0x02;
constexpr uint32_t MUX_MCTRL_RI = 0x04;
constexpr uint32_t MUX_MCTRL_DSR = 0x08;
constexpr uint32_t MUX_MCTRL_BREAK = 0x10;
constexpr uint32_t MUX_MCTRL_DTR = 0x20;
constexpr uint32_t MUX_MCTRL_RTS = 0x40;
constexpr uint32_t MUX_MCTRL_FC = 0x80;

constexpr unsigned long IOCTL_MUX_GET_INFO = _IOR('M', 5, mux_info);
constexpr unsigned long IOCTL_MUX_CONNECTED = _IO('M', 6);
constexpr unsigned long IOCTL_MUX_DISCONNECTED = _IO('M', 7);
// The size field of the request is 14 bits wide.
constexpr uint32_t MUX_MSG_SIZE_MAX = _IOC_SIZEMASK;

constexpr unsigned long mux_ioctl_read_msg(uint32_t size)
{
    return _IOC(_IOC_READ, 'M', 0, size);
}

constexpr unsigned long mux_ioctl_write_msg(uint32_t size)
{
    return _IOC(_IOC_WRITE, 'M', 3, size);
}

static_assert(IOCTL_MUX_GET_INFO == 0x800C4D05);
static_assert(IOCTL_MUX_CONNECTED == 0x4D06);
static_assert(IOCTL_MUX_DISCONNECTED == 0x4D07);
static_assert(mux_ioctl_read_msg(72) == 0x80484D00);
static_assert(mux_ioctl_write_msg(71) == 0x40474D03);
