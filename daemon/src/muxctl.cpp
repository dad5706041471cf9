#include "muxctl.h"

#include "log.h"
#include "ready.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

size_t map_size(const mux_ctl *mux)
{
    return static_cast<size_t>(mux->info.msg_size) * mux->info.msg_count;
}

} // namespace

mux_ctl *mux_ctl_open(const char *path)
{
    auto *mux = static_cast<mux_ctl *>(calloc(1, sizeof(mux_ctl)));
    if (!mux) {
        perror("malloc(<struct mux_ctl>)");
        return nullptr;
    }
    mux->fd = open(path, O_RDWR | O_NOCTTY);
    if (mux->fd < 0) {
        perror("open(<mux-ctl>)");
        free(mux);
        return nullptr;
    }
    fcntl(mux->fd, F_SETFD, FD_CLOEXEC);
    if (ioctl(mux->fd, IOCTL_MUX_GET_INFO, &mux->info) < 0) {
        perror("ioctl(<IOCTL_MUX_GET_INFO>)");
        mux_ctl_close(mux);
        return nullptr;
    }
    // A message must hold a header and a payload octet, and its size must
    // fit the size field of the requests; anything else cannot be relayed.
    if (mux->info.msg_size <= sizeof(mux_msg_hdr) || mux->info.msg_size > MUX_MSG_SIZE_MAX ||
        mux->info.msg_count == 0) {
        fprintf(stderr, "ioctl(<IOCTL_MUX_GET_INFO>): unusable message size %u or count %u\n",
                mux->info.msg_size, mux->info.msg_count);
        mux_ctl_close(mux);
        return nullptr;
    }
    void *map = mmap(nullptr, map_size(mux), PROT_READ | PROT_WRITE, MAP_SHARED, mux->fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap(<mux-ctl>)");
        mux_ctl_close(mux);
        return nullptr;
    }
    mux->map = map;
    // Per port: room for a header, a whole message's payload and one
    // addition beyond.
    for (mux_out &out : mux->out) {
        out.msg = static_cast<uint8_t *>(malloc(mux->info.msg_size + MUX_OUT_ADD_MAX));
        if (!out.msg) {
            perror("malloc(<mux-ctl messages>)");
            mux_ctl_close(mux);
            return nullptr;
        }
    }
    return mux;
}

void mux_ctl_close(mux_ctl *mux)
{
    if (!mux)
        return;
    if (mux->map)
        munmap(mux->map, map_size(mux));
    for (mux_out &out : mux->out)
        free(out.msg);
    if (mux->fd >= 0)
        close(mux->fd);
    free(mux);
}

int mux_ctl_read_msg(mux_ctl *mux, void *buffer)
{
    if (ioctl(mux->fd, mux_ioctl_read_msg(mux->info.msg_size), buffer) < 0)
        return 0;
    mux->writable = MUX_WRITABLE_UNKNOWN;
    return 1;
}

int mux_ctl_write_msg(mux_ctl *mux, void *message, size_t payload_len)
{
    auto size = static_cast<uint32_t>(sizeof(mux_msg_hdr) + payload_len);
    if (size > mux->info.msg_size) {
        errno = EMSGSIZE;
        return 0;
    }
    if (ioctl(mux->fd, mux_ioctl_write_msg(size), message) < 0) {
        if (errno == EAGAIN)
            mux->writable = MUX_WRITABLE_NO;
        return 0;
    }
    mux->writable = MUX_WRITABLE_YES;
    return 1;
}

namespace
{

// One DATA message of the first len octets gathered for a port.
int send_gathered(mux_ctl *mux, int port, size_t len)
{
    mux_msg_hdr hdr{static_cast<uint8_t>(port), MUX_MSG_DATA, 0, static_cast<uint32_t>(len)};
    uint8_t *msg = mux->out[port].msg;
    memcpy(msg, &hdr, sizeof hdr);
    if (mux_ctl_write_msg(mux, msg, len))
        return 1;
    // A full device is back-pressure, not a failure: the octets wait.
    if (errno != EAGAIN)
        mux_log(LOG_CRIT, "failed to send data msgbuf: %s", strerror(errno));
    return 0;
}

// Sends a port's gathered octets in messages of at most (message size - 8)
// (only whole ones if so asked): 1, or 0 when the device is full (the rest
// waits). What the device refuses for good is dropped (logged).
int send_gathered_messages(mux_ctl *mux, int port, bool whole_only)
{
    mux_out &out = mux->out[port];
    const size_t most = mux_ctl_payload_max(mux);
    uint8_t *payload = out.msg + sizeof(mux_msg_hdr);
    while (out.len >= (whole_only ? most : 1)) {
        size_t piece = out.len < most ? out.len : most;
        if (!send_gathered(mux, port, piece)) {
            if (errno == EAGAIN)
                return 0;
            out.len = 0;
            return 1;
        }
        out.len -= piece;
        if (out.len > 0)
            memmove(payload, payload + piece, out.len);
    }
    return 1;
}

} // namespace

int mux_ctl_out_flush(mux_ctl *mux)
{
    for (int port = 0; port < MUX_PORTS; ++port)
        if (mux->out[port].len > 0 && !send_gathered_messages(mux, port, false))
            return 0;
    return 1;
}

int mux_ctl_out_gather(mux_ctl *mux, int port, const uint8_t *data, size_t len)
{
    mux_out &out = mux->out[port];
    // A full message that could not go: out first.
    if (out.len >= mux_ctl_payload_max(mux) && !send_gathered_messages(mux, port, false))
        return 0;
    mux_ctl_copy(out.msg + sizeof(mux_msg_hdr) + out.len, data, len);
    out.len += len;
    // Whole messages go at once; a device that is full takes them later.
    send_gathered_messages(mux, port, true);
    return 1;
}

void mux_ctl_notify(mux_ctl *mux, int port, int connected)
{
    // The driver's answer changes nothing here.
    (void)ioctl(mux->fd, connected ? IOCTL_MUX_CONNECTED : IOCTL_MUX_DISCONNECTED,
                static_cast<unsigned long>(port));
}

int mux_ctl_writable(mux_ctl *mux)
{
    if (mux->writable == MUX_WRITABLE_YES)
        return 1;
    int ready = ready_within(mux->fd, POLLOUT, 0);
    mux->writable = ready > 0 && (ready & POLLOUT) ? MUX_WRITABLE_YES : MUX_WRITABLE_NO;
    return mux->writable == MUX_WRITABLE_YES;
}

int mux_ctl_readable(const mux_ctl *mux)
{
    int ready = ready_within(mux->fd, POLLIN, 0);
    return ready > 0 && (ready & POLLIN);
}
