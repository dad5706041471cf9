#include "ready.h"

#include <ctime>

int ready_within(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, ms);
    if (rc <= 0)
        return rc;
    return p.revents & (events | POLLERR | POLLHUP | POLLNVAL);
}

int ready_wait(pollfd *fds, nfds_t count, int ms, const sigset_t *mask)
{
    timespec limit{ms / 1000, (ms % 1000) * 1000000L};
    return ppoll(fds, count, ms < 0 ? nullptr : &limit, mask);
}
