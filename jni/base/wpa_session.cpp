#include "wpa_session.h"

#include "wpa_ctrl.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

struct wpa_session_event {
    wpa_ctrl_conn *conn;
    int wake[2];  // pipe written once by the closer to end the loop's wait
    bool closing; // set by the closer; the loop leaves at its next check
    bool busy;    // a thread is doing I/O on conn outside the lock
    int refs;     // the ctrlEvent slot and a running loop each hold one
};

namespace
{

// Waiting time after a failed receive, so that a socket that keeps failing
// cannot turn the loop into a busy spin.
constexpr int kRecvFailurePauseMs = 100;

pthread_mutex_t command_lock = PTHREAD_MUTEX_INITIALIZER;
wpa_ctrl_conn *ctrlCommand = nullptr;

// Guards ctrlEvent and the closing/busy/refs fields of every session.
pthread_mutex_t event_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t event_idle = PTHREAD_COND_INITIALIZER;
wpa_session_event *ctrlEvent = nullptr;
int live_sessions = 0;

struct Locked {
    explicit Locked(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Locked() { pthread_mutex_unlock(&m_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    pthread_mutex_t &m_;
};

// Drops one reference; the last one frees the record. Called with
// event_lock held.
void release_locked(wpa_session_event *s)
{
    if (--s->refs == 0) {
        std::free(s);
        --live_sessions;
    }
}

void set_busy_locked(wpa_session_event *s, bool busy)
{
    s->busy = busy;
    if (!busy) {
        pthread_cond_broadcast(&event_idle);
    }
}

// Takes `s` away from its readers and shuts it down: wake the loop, wait
// until nobody does I/O on it, detach, close. `s` must already be out of
// the ctrlEvent slot. Returns the detach result.
int shut_down(wpa_session_event *s)
{
    {
        Locked l(event_lock);
        s->closing = true;
        const char one = 1;
        ssize_t w = write(s->wake[1], &one, sizeof(one));
        (void)w; // one octet into an empty pipe: it fits
        while (s->busy) {
            pthread_cond_wait(&event_idle, &event_lock);
        }
    }
    // Nobody else touches the connection now: the loop checks `closing`
    // under the lock before each wait.
    const int detached = wpa_ctrl_detach(s->conn);
    wpa_ctrl_close(s->conn);
    s->conn = nullptr;
    close(s->wake[0]);
    close(s->wake[1]);
    s->wake[0] = s->wake[1] = -1;
    Locked l(event_lock);
    release_locked(s);
    return detached;
}

// Waits for a datagram or the wake-up. 1 datagram ready, 0 woken, -1 failure.
int wait_event(const wpa_session_event *s)
{
    pollfd fds[2] = {{s->wake[0], POLLIN, 0}, {wpa_ctrl_get_fd(s->conn), POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (fds[0].revents != 0) {
            return 0;
        }
        return (fds[1].revents & POLLIN) != 0 ? 1 : -1;
    }
}

void pause_after_failure(const wpa_session_event *s)
{
    pollfd wake{s->wake[0], POLLIN, 0};
    while (poll(&wake, 1, kRecvFailurePauseMs) < 0 && errno == EINTR) {
    }
}

} // namespace

int wpa_session_command_open(const char *path)
{
    wpa_ctrl_conn *conn = wpa_ctrl_open(path);
    Locked l(command_lock);
    if (ctrlCommand != nullptr) {
        wpa_ctrl_close(ctrlCommand);
    }
    ctrlCommand = conn;
    return conn != nullptr ? WPA_SESSION_OK : WPA_SESSION_OPEN_FAILED;
}

void wpa_session_command_close()
{
    Locked l(command_lock);
    if (ctrlCommand != nullptr) {
        wpa_ctrl_close(ctrlCommand);
        ctrlCommand = nullptr;
    }
}

int wpa_session_command_request(const char *cmd, size_t cmd_len, char *reply, size_t *reply_len)
{
    Locked l(command_lock);
    if (ctrlCommand == nullptr) {
        return WPA_SESSION_NOT_OPEN;
    }
    return wpa_ctrl_request(ctrlCommand, cmd, cmd_len, reply, reply_len, nullptr);
}

int wpa_session_event_open(const char *path, wpa_session_event **loop)
{
    *loop = nullptr;
    wpa_ctrl_conn *conn = wpa_ctrl_open(path);
    wpa_session_event *s = nullptr;
    if (conn != nullptr) {
        s = static_cast<wpa_session_event *>(std::calloc(1, sizeof(wpa_session_event)));
        int wake[2] = {-1, -1};
        // A pipe, close-on-exec by fcntl: the unit's kernel has neither
        // eventfd nor pipe2.
        const bool woken = s != nullptr && pipe(wake) == 0 && fcntl(wake[0], F_SETFD, FD_CLOEXEC) == 0 &&
                           fcntl(wake[1], F_SETFD, FD_CLOEXEC) == 0;
        // Non-blocking: a receive that finds nothing returns at once instead
        // of holding the loop where a close cannot reach it.
        const int fd = wpa_ctrl_get_fd(conn);
        if (!woken || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
            for (int w : wake) {
                if (w >= 0) {
                    close(w);
                }
            }
            std::free(s);
            wpa_ctrl_close(conn);
            conn = nullptr;
            s = nullptr;
        } else {
            *s = wpa_session_event{conn, {wake[0], wake[1]}, false, true, 2};
        }
    }

    wpa_session_event *earlier = nullptr;
    {
        Locked l(event_lock);
        earlier = ctrlEvent;
        ctrlEvent = s;
        if (s != nullptr) {
            ++live_sessions;
        }
    }
    if (earlier != nullptr) {
        shut_down(earlier);
    }
    if (s == nullptr) {
        return WPA_SESSION_OPEN_FAILED;
    }

    // `busy` was set at creation: a close from another thread during the
    // attach waits for it instead of closing the socket under it.
    const int attached = wpa_ctrl_attach(conn);
    Locked l(event_lock);
    set_busy_locked(s, false);
    if (attached != 0) {
        release_locked(s); // the loop's reference; the slot keeps its own
        return attached;
    }
    *loop = s;
    return WPA_SESSION_OK;
}

wpa_session_end wpa_session_event_loop(wpa_session_event *s, size_t max_len,
                                       const wpa_session_event_sink &sink)
{
    char *buf = static_cast<char *>(std::malloc(max_len + 1));
    wpa_session_end end = wpa_session_end::closed;
    while (buf != nullptr) {
        if (sink.stop_requested(sink.ctx)) {
            end = wpa_session_end::stop_request;
            break;
        }
        {
            Locked l(event_lock);
            if (s->closing) {
                break;
            }
            set_busy_locked(s, true);
        }
        size_t len = max_len;
        int got = wait_event(s);
        if (got > 0) {
            got = wpa_ctrl_recv(s->conn, buf, &len) == 0 ? 1 : -1;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                got = 0; // readiness without a datagram: just wait again
            }
        }
        if (got < 0) {
            sink.recv_failed(sink.ctx);
            pause_after_failure(s);
        }
        {
            Locked l(event_lock);
            set_busy_locked(s, false);
        }
        if (got > 0) {
            buf[len] = '\0';
            if (!sink.deliver(sink.ctx, buf, len)) {
                end = wpa_session_end::delivery_failed;
                break;
            }
        }
    }
    std::free(buf);
    Locked l(event_lock);
    release_locked(s);
    return end;
}

int wpa_session_event_close()
{
    wpa_session_event *s = nullptr;
    {
        Locked l(event_lock);
        s = ctrlEvent;
        ctrlEvent = nullptr;
    }
    if (s == nullptr) {
        return WPA_SESSION_NOT_OPEN;
    }
    return shut_down(s);
}

int wpa_session_event_live()
{
    Locked l(event_lock);
    return live_sessions;
}
