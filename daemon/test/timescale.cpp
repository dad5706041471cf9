// Test-only preload library: shortens the daemon's event-loop waits by a
// factor of 100, so that the 60 s keep-alive and the 5 s retries pass in
// 600 ms and 50 ms. Only ppoll is scaled: the daemon's short waits on the
// serial line (select) keep their real length.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

namespace
{

constexpr long SCALE = 100;

} // namespace

extern "C" int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask)
{
    using ppoll_fn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
    static auto real = reinterpret_cast<ppoll_fn>(dlsym(RTLD_NEXT, "ppoll"));
    if (!timeout)
        return real(fds, nfds, timeout, sigmask);
    long long ns = (static_cast<long long>(timeout->tv_sec) * 1000000000LL + timeout->tv_nsec) / SCALE;
    struct timespec scaled = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    return real(fds, nfds, &scaled, sigmask);
}
