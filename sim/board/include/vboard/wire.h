// Messages between the preload library (inside the program on the board)
// and the emulator processes. Both sides run on the same machine and the
// same build, but the program may be a 32-bit armel binary under qemu while
// the emulator is a 64-bit host binary: every field has a fixed width and
// the layout is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vboard::wire
{

// Requests on the control connection of an emulated device and on the
// modem-control side channel of a serial line (SOCK_SEQPACKET, one request
// and one reply per message).
enum Op : uint32_t {
    kOpen = 1,  // flags = open flags; carries [peer end, app end] as SCM_RIGHTS
    kRead = 2,  // a = octet count
    kWrite = 3, // payload = octets
    kIoctl = 4, // a = request, b = argument by value, c = size, d = direction
    kMmap = 5,  // a = length, b = offset, c = prot, d = flags
    kModem = 6, // a = ModemOp, b = TIOCM_* bits or break duration (ms)
};

// flags of every request except kOpen
constexpr uint32_t kNonBlock = 1;
constexpr uint32_t kNullArg = 2; // kIoctl: the program passed a null pointer

enum IoctlDir : uint32_t {
    kByValue = 0, // argument passed by value, nothing copied
    kIn = 1,      // size octets copied from the program to the device
    kOut = 2,     // size octets copied from the device to the program
    kInOut = 3,
};

enum ModemOp : uint32_t {
    kModemGet = 1,
    kModemSet = 2,
    kModemBis = 3,
    kModemBic = 4,
    kBreakOn = 5,
    kBreakOff = 6,
};

struct Request {
    uint32_t op;
    uint32_t flags;
    uint64_t a;
    uint64_t b;
    uint64_t c;
    uint64_t d;
    uint32_t len; // payload octets following the header
    uint32_t reserved;
};
static_assert(sizeof(Request) == 48);
static_assert(offsetof(Request, a) == 8 && offsetof(Request, d) == 32 && offsetof(Request, len) == 40);

struct Reply {
    int64_t result; // >= 0 success, -1 failure
    int32_t err;    // errno when result is -1
    uint32_t len;   // payload octets following the header
};
static_assert(sizeof(Reply) == 16);

// The open reply's result: the device's record size in octets (0 or 1: the
// device counts octets). read and write counts of a device with records
// (can4linux: canmsg_t) are record counts; the preload converts them.
//
// The open reply's payload: the device's table of requests whose size and
// direction are not encoded in the request number (TIOCMBIS, can4linux...).
struct IoctlEntry {
    uint32_t request;
    uint32_t size;
    uint32_t dir;
};
static_assert(sizeof(IoctlEntry) == 12);

// Largest payload of one read or write request; longer transfers are split.
constexpr uint32_t kMaxTransfer = 65536;
// Largest ioctl argument an _IOC number can describe (14 size bits).
constexpr uint32_t kMaxIoctlSize = (1u << 14) - 1;
// Largest size table an emulator may send.
constexpr uint32_t kMaxIoctlEntries = 256;

// Where the board keeps what is not a device node, relative to the root.
constexpr const char *kModemDir = "/.vboard/modem"; // + "/dev/<line>"
constexpr const char *kControlDir = "/.vboard/ctl"; // + "/<emulator>"

} // namespace vboard::wire
