#include "wpa_ctrl.h"

#include "common.h"
#include "os.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// How long a request waits for its reply after the last datagram it sent or
// received.
constexpr int kReplyTimeoutMs = 2000;

// Numbers the local socket files of this process. Atomic: the command and
// the event connection are opened from different Java threads, and two
// opens must never pick the same name.
std::atomic<int> counter{0};

// Closes the socket and frees the record of a connection that never became
// usable; `remove_local` removes the bound socket file as well.
wpa_ctrl_conn *open_failed(wpa_ctrl_conn *ctrl, bool remove_local)
{
    if (remove_local) {
        unlink(ctrl->local.sun_path);
    }
    close(ctrl->s);
    os_free(ctrl);
    return nullptr;
}

// How many names "/tmp/wpa_ctrl_<pid>-<n>" an open tries. Any account may
// create files in /tmp, so the next names may be taken by files this
// client did not create (left by a crash, or planted): they are skipped,
// never removed.
constexpr int kLocalNameTries = 1000;

// Binds to the first free local name, from the counter on. The socket file
// is made 0600 before it exists (fchmod of the socket before bind: the file
// takes the socket's mode less the umask), so no moment passes in which
// another account could connect to it. 0, or -1 with errno.
int bind_local(wpa_ctrl_conn *ctrl)
{
    if (fchmod(ctrl->s, S_IRUSR | S_IWUSR) != 0) {
        return -1;
    }
    ctrl->local.sun_family = AF_UNIX;
    for (int attempt = 0; attempt < kLocalNameTries; ++attempt) {
        const int n = std::snprintf(ctrl->local.sun_path, sizeof(ctrl->local.sun_path), "/tmp/wpa_ctrl_%d-%d",
                                    static_cast<int>(getpid()), counter.fetch_add(1));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(ctrl->local.sun_path)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (bind(ctrl->s, reinterpret_cast<sockaddr *>(&ctrl->local), sizeof(ctrl->local)) == 0) {
            return 0;
        }
        if (errno != EADDRINUSE) {
            return -1;
        }
    }
    return -1;
}

// Waits until `events` are ready on the socket or `deadline_ms` (monotonic)
// has passed. A signal does not extend the wait: it resumes with the time
// that is left. 1 ready, 0 time-out, -1 failure.
int wait_for(int fd, short events, int64_t deadline_ms)
{
    for (;;) {
        const int64_t left = deadline_ms - os_monotonic_ms();
        pollfd pfd{fd, events, 0};
        const int n = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0) {
            return 1;
        }
        if (n == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Sends one datagram. A supplicant that has stopped reading lets its queue
// fill up; a blocking send would then hang the caller for good, so the send
// waits for room only until the request's deadline. 0, -1 failure, -2 time-out.
int send_command(wpa_ctrl_conn *ctrl, const char *cmd, size_t cmd_len, int64_t deadline_ms)
{
    for (;;) {
        if (send(ctrl->s, cmd, cmd_len, MSG_DONTWAIT) >= 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        const int ready = wait_for(ctrl->s, POLLOUT, deadline_ms);
        if (ready <= 0) {
            return ready == 0 ? -2 : -1;
        }
    }
}

int wpa_ctrl_attach_helper(wpa_ctrl_conn *ctrl, bool attach)
{
    char buf[10];
    size_t len = sizeof(buf);
    const int ret = wpa_ctrl_request(ctrl, attach ? "ATTACH" : "DETACH", 6, buf, &len, nullptr);
    if (ret < 0) {
        return ret;
    }
    return (len == 3 && std::memcmp(buf, "OK\n", 3) == 0) ? 0 : -1;
}

} // namespace

extern "C" {

wpa_ctrl_conn *wpa_ctrl_open(const char *ctrl_path)
{
    auto *ctrl = static_cast<wpa_ctrl_conn *>(os_zalloc(sizeof(wpa_ctrl_conn)));
    if (ctrl == nullptr) {
        return nullptr;
    }
    // Close-on-exec by fcntl: the unit's kernel knows no SOCK_CLOEXEC.
    ctrl->s = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (ctrl->s < 0) {
        os_free(ctrl);
        return nullptr;
    }
    if (fcntl(ctrl->s, F_SETFD, FD_CLOEXEC) != 0 || bind_local(ctrl) != 0) {
        return open_failed(ctrl, false);
    }

    ctrl->dest.sun_family = AF_UNIX;
    if (common_copy_string(ctrl->dest.sun_path, ctrl_path, sizeof(ctrl->dest.sun_path)) >=
        sizeof(ctrl->dest.sun_path)) {
        // The local file is bound already; it must not outlive the failure.
        return open_failed(ctrl, true);
    }
    if (connect(ctrl->s, reinterpret_cast<sockaddr *>(&ctrl->dest), sizeof(ctrl->dest)) != 0) {
        return open_failed(ctrl, true);
    }
    return ctrl;
}

void wpa_ctrl_close(wpa_ctrl_conn *ctrl)
{
    unlink(ctrl->local.sun_path);
    close(ctrl->s);
    os_free(ctrl);
}

int wpa_ctrl_request(wpa_ctrl_conn *ctrl, const char *cmd, size_t cmd_len, char *reply, size_t *reply_len,
                     void (*msg_cb)(char *msg, size_t len))
{
    int64_t deadline = os_monotonic_ms() + kReplyTimeoutMs;
    const int sent = send_command(ctrl, cmd, cmd_len, deadline);
    if (sent != 0) {
        return sent;
    }
    deadline = os_monotonic_ms() + kReplyTimeoutMs;
    for (;;) {
        const int ready = wait_for(ctrl->s, POLLIN, deadline);
        if (ready <= 0) {
            return ready == 0 ? -2 : -1;
        }
        const ssize_t res = recv(ctrl->s, reply, *reply_len, MSG_DONTWAIT);
        if (res < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue; // nothing taken: keep waiting within the limit
            }
            return -1;
        }
        const auto len = static_cast<size_t>(res);
        if (common_is_unsolicited(reply, len)) {
            if (msg_cb != nullptr) {
                const size_t text_len = (len == *reply_len) ? len - 1 : len;
                reply[text_len] = '\0';
                msg_cb(reply, text_len);
            }
            deadline = os_monotonic_ms() + kReplyTimeoutMs;
            continue;
        }
        *reply_len = len;
        return 0;
    }
}

int wpa_ctrl_attach(wpa_ctrl_conn *ctrl)
{
    return wpa_ctrl_attach_helper(ctrl, true);
}

int wpa_ctrl_detach(wpa_ctrl_conn *ctrl)
{
    return wpa_ctrl_attach_helper(ctrl, false);
}

int wpa_ctrl_recv(wpa_ctrl_conn *ctrl, char *reply, size_t *reply_len)
{
    const ssize_t res = recv(ctrl->s, reply, *reply_len, 0);
    if (res < 0) {
        return static_cast<int>(res);
    }
    *reply_len = static_cast<size_t>(res);
    return 0;
}

int wpa_ctrl_pending(wpa_ctrl_conn *ctrl)
{
    pollfd pfd{ctrl->s, POLLIN, 0};
    return (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) ? 1 : 0;
}

int wpa_ctrl_get_fd(wpa_ctrl_conn *ctrl)
{
    return ctrl->s;
}

} // extern "C"
