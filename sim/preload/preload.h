// Internal interface between the units of the preload library. Every unit
// interposes the C library calls of one concern; what they share is here:
// the next definition of a symbol, the board root and path translation,
// and the table of descriptors that the preload serves itself.
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "vboard/wire.h"

// The next definition of a C library symbol (the one the program would have
// called without us), looked up once.
void *vbp_next(const char *name);
#define VBP_REAL(name) static const auto real_##name = reinterpret_cast<decltype(&::name)>(vbp_next(#name))

// The board root (absolute, without a trailing '/'), or nullptr when
// VBOARD_ROOT is not set: then the library changes nothing.
const char *vbp_root();

// A path as the program sees it, translated for the board.
struct vbp_path {
    char buf[PATH_MAX];
    const char *path; // what to hand to the C library: buf or the original
    bool redirected;  // the path lies in a board namespace
    size_t board_len; // redirected: length of the root prefix in buf
};

// Translates path when it is absolute and lies in one of the board's
// namespaces; otherwise out->path is path itself. Returns false (errno
// ENAMETOOLONG) only when the translated path does not fit.
bool vbp_translate(const char *path, vbp_path *out);

// Descriptors served by the preload (emulated devices and serial lines).
enum vbp_kind : int { VBP_DEVICE = 1, VBP_SERIAL = 2 };

struct vbp_file;

// The file behind fd with a use reference, or nullptr for every descriptor
// the preload does not serve (the fast path: one atomic load).
vbp_file *vbp_file_get(int fd);
void vbp_file_put(vbp_file *file);
vbp_kind vbp_file_kind(const vbp_file *file);

// Runs call(file) and drops the use reference, keeping call's errno.
template <typename Call> auto vbp_with_file(vbp_file *file, Call call)
{
    auto r = call(file);
    int e = errno;
    vbp_file_put(file);
    errno = e;
    return r;
}

// Makes fd the first descriptor of a new file that owns side (the control
// connection, closed with the last descriptor). Takes the size table, if any.
bool vbp_file_attach(int fd, vbp_kind kind, int side, const vboard::wire::IoctlEntry *table, size_t entries,
                     uint32_t record = 1);
// Octets per unit of the file's read and write counts (1, or the device's record).
uint32_t vbp_file_record(const vbp_file *file);

// One request on the file's side connection and its reply: sends the header
// (op, flags, a..d), the payload out/out_len; receives the reply into
// *reply and its payload into in/in_cap and, when fd_out is given, one
// descriptor. Returns false with errno set when the connection fails.
struct vbp_exchange {
    vboard::wire::Request req;
    const void *out;
    size_t out_len;
    void *in;
    size_t in_cap;
    vboard::wire::Reply reply;
    int *fd_out;
};
bool vbp_file_exchange(vbp_file *file, vbp_exchange *x);

// Size and direction of an ioctl request on the file: from the emulator's
// table, else from the _IOC encoding.
void vbp_file_ioctl_shape(const vbp_file *file, unsigned long request, uint32_t *size, uint32_t *dir);

// Device forwarding (device.cpp).
int vbp_device_open(const char *node, int flags);
ssize_t vbp_device_read(vbp_file *file, int fd, void *buf, size_t count);
ssize_t vbp_device_write(vbp_file *file, int fd, const void *buf, size_t count);
int vbp_device_ioctl(vbp_file *file, int fd, unsigned long request, void *arg);
void *vbp_device_mmap(vbp_file *file, void *addr, size_t length, int prot, int flags, off64_t offset);

// Serial lines (serial.cpp): called after a board path was opened for real;
// attaches the modem-control side channel when the path is a serial line.
void vbp_serial_opened(int fd, const vbp_path *path);
// Serves the modem-control requests on a serial line. Returns false when
// the request is not one of them (the caller passes it on to the kernel).
bool vbp_serial_ioctl(vbp_file *file, unsigned long request, void *arg, int *result);

// Opens a board path as the program asked (paths.cpp): an emulated device
// when the node is a socket, otherwise the real node (and a serial line's
// side channel).
int vbp_open_board(int dirfd, const vbp_path *path, int flags, mode_t mode, bool large);

// One exchange on a side connection that is not (yet) a file's, sending
// nfds descriptors with the request.
bool vbp_side_exchange(int side, vbp_exchange *x, const int *fds, int nfds);

// Connects a SOCK_SEQPACKET side connection to path (close-on-exec, moved
// above the program's usual descriptors). ENXIO when nobody listens.
int vbp_connect_side(const char *path);
