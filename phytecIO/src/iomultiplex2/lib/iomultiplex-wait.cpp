// iomx_wait: readiness of the event and command sockets.
#include <cerrno>
#include <chrono>

#include <poll.h>

#include "iomultiplex-private.h"

namespace
{

IOMXSocketStatus state_of(short revents)
{
    if (revents & POLLERR) {
        return stERROR;
    }
    if (revents & (POLLHUP | POLLNVAL)) {
        return stCLOSED;
    }
    return stOPEN;
}

} // namespace

extern "C" int iomx_wait(IOMultiplex *iomx, int mask, IOMXStatus *status, int timeout)
{
    pollfd fds[2];
    int watched = 0;
    int event_at = -1;
    int command_at = -1;

    status->status_event = stUNKNOWN;
    if (mask & IOMX_WAIT_EVENT) {
        if (iomx->fd_event == -1) {
            status->status_event = stCLOSED;
        } else {
            event_at = watched++;
            fds[event_at] = {iomx->fd_event, POLLIN, 0};
        }
    }
    status->status_cmd = stUNKNOWN;
    if (mask & (IOMX_WAIT_CMD_READ | IOMX_WAIT_CMD_WRITE)) {
        if (iomx->fd_command == -1) {
            status->status_cmd = stCLOSED;
        } else {
            command_at = watched++;
            const short events = static_cast<short>(((mask & IOMX_WAIT_CMD_READ) ? POLLIN : 0) |
                                                    ((mask & IOMX_WAIT_CMD_WRITE) ? POLLOUT : 0));
            fds[command_at] = {iomx->fd_command, events, 0};
        }
    }
    status->event_pending = false;
    status->cmd_rts = false;
    status->cmd_pending = false;
    if (watched == 0) {
        return 0;
    }

    // A signal repeats the wait for what is left of the limit.
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
    int left = timeout;
    int ready;
    while ((ready = poll(fds, static_cast<nfds_t>(watched), left)) < 0 && errno == EINTR) {
        if (timeout >= 0) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            left = ms > 0 ? static_cast<int>(ms) : 0;
        }
    }
    if (ready < 0) {
        status->status_event = stERROR;
        status->status_cmd = stERROR;
        return 0;
    }
    if (event_at >= 0) {
        status->status_event = state_of(fds[event_at].revents);
        status->event_pending = status->status_event == stOPEN && (fds[event_at].revents & POLLIN);
    }
    if (command_at >= 0) {
        status->status_cmd = state_of(fds[command_at].revents);
        status->cmd_rts = status->status_cmd == stOPEN && (fds[command_at].revents & POLLOUT);
        status->cmd_pending = status->status_cmd == stOPEN && (fds[command_at].revents & POLLIN);
    }
    return status->event_pending || status->cmd_rts || status->cmd_pending ? 1 : 0;
}
