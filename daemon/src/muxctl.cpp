#include "muxctl.h"

#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
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
    return mux;
}

void mux_ctl_close(mux_ctl *mux)
{
    if (!mux)
        return;
    if (mux->map)
        munmap(mux->map, map_size(mux));
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

int mux_ctl_send_data(mux_ctl *mux, int port, const void *data, size_t len)
{
    // Sized for the largest message the request can carry.
    alignas(mux_msg_hdr) uint8_t message[MUX_MSG_SIZE_MAX + 1];
    int ok = 0;
    if (sizeof(mux_msg_hdr) + len <= mux->info.msg_size) {
        mux_msg_hdr hdr{static_cast<uint8_t>(port), MUX_MSG_DATA, 0, static_cast<uint32_t>(len)};
        memcpy(message, &hdr, sizeof hdr);
        memcpy(message + sizeof hdr, data, len);
        ok = mux_ctl_write_msg(mux, message, len);
    } else {
        errno = EMSGSIZE;
    }
    // A full device is back-pressure, not a failure: the caller keeps the
    // octets and waits for the device to become writable.
    if (!ok && errno != EAGAIN)
        mux_log(LOG_CRIT, "failed to send data msgbuf: %s", strerror(errno));
    return ok;
}

size_t portweaver_mux_forward(mux_ctl *mux, int port, const uint8_t *data, size_t len)
{
    size_t piece_max = mux->info.msg_size - sizeof(mux_msg_hdr);
    size_t done = 0;
    while (done < len) {
        size_t piece = len - done < piece_max ? len - done : piece_max;
        if (!mux_ctl_send_data(mux, port, data + done, piece))
            break;
        done += piece;
    }
    return done;
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
    fd_set set;
    FD_ZERO(&set);
    FD_SET(mux->fd, &set);
    timeval tv{0, 0};
    int rc = select(mux->fd + 1, nullptr, &set, nullptr, &tv);
    mux->writable = rc > 0 ? MUX_WRITABLE_YES : MUX_WRITABLE_NO;
    return mux->writable == MUX_WRITABLE_YES;
}
