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

#ifdef TIMESCALE_SLEEPS
// Built with TIMESCALE_SLEEPS (the CAN tools' tests), the same factor
// shortens the programs' sleeps: sleep, usleep, nanosleep and relative
// clock_nanosleep.
namespace
{

int scaled_nanosleep(long long ns)
{
    using fn = int (*)(clockid_t, int, const struct timespec *, struct timespec *);
    static auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
    ns /= SCALE;
    struct timespec t = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    return real(CLOCK_MONOTONIC, 0, &t, nullptr);
}

} // namespace

extern "C" unsigned int sleep(unsigned int seconds)
{
    scaled_nanosleep(static_cast<long long>(seconds) * 1000000000LL);
    return 0;
}

extern "C" int usleep(useconds_t us)
{
    return scaled_nanosleep(static_cast<long long>(us) * 1000LL) == 0 ? 0 : -1;
}

extern "C" int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (rem)
        *rem = {0, 0};
    return scaled_nanosleep(static_cast<long long>(req->tv_sec) * 1000000000LL + req->tv_nsec) == 0 ? 0 : -1;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    if (flags & TIMER_ABSTIME) {
        using fn = int (*)(clockid_t, int, const struct timespec *, struct timespec *);
        static auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
        return real(clock, flags, req, rem);
    }
    if (rem)
        *rem = {0, 0};
    return scaled_nanosleep(static_cast<long long>(req->tv_sec) * 1000000000LL + req->tv_nsec);
}
#endif
