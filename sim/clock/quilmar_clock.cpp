// The virtual system clock: see quilmar_clock.h.
//
// The process may also arm itself from the environment when it starts:
//   QUILMAR_CLOCK="frozen <sec> <usec>" or "running <sec> <usec>"
//   QUILMAR_CLOCK_FAIL="settimeofday=EPERM,gettimeofday=EFAULT"
// (process-wide), which is how a program started on a board gets it.
#include "quilmar_clock.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

using gettimeofday_fn = int (*)(struct timeval *, void *);
using clock_gettime_fn = int (*)(clockid_t, struct timespec *);
using time_fn = time_t (*)(time_t *);

enum Call { kGettimeofday, kSettimeofday, kClockGettime, kTime, kCalls };
const char *const kCallNames[kCalls] = {"gettimeofday", "settimeofday", "clock_gettime", "time"};

struct State {
    int mode;
    int scope;
    pthread_t owner;
    int64_t base_usec;    // virtual time at the moment of arming or setting, in µs
    int64_t real_at_base; // real monotonic µs at that moment (RUNNING)
    int fail[kCalls];
    int64_t sets;
    int64_t set_sec, set_usec;
    int set_err;
};

std::atomic<bool> armed{false};
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
State state;

struct Locked {
    Locked() { pthread_mutex_lock(&lock); }
    ~Locked() { pthread_mutex_unlock(&lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int64_t monotonic_usec()
{
    timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Whether the calling thread sees the virtual clock. Called with the lock.
bool in_scope_locked()
{
    return state.scope == QUILMAR_CLOCK_PROCESS || pthread_equal(state.owner, pthread_self());
}

int64_t virtual_usec_locked()
{
    if (state.mode == QUILMAR_CLOCK_FROZEN) {
        return state.base_usec;
    }
    return state.base_usec + (monotonic_usec() - state.real_at_base);
}

// Whether the caller holds the privilege to set the clock, as the kernel
// would judge it (CAP_SYS_TIME in the effective set).
bool may_set_clock()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_SYS_TIME / 32].effective & (1u << (CAP_SYS_TIME % 32))) != 0;
}

// Reads the virtual clock for `call`: 1 with `*usec` set, 0 when the
// caller is to use the real clock, -1 with errno for an injected failure.
int read_virtual(Call call, int64_t *usec)
{
    if (!armed.load(std::memory_order_acquire)) {
        return 0;
    }
    Locked l;
    if (!armed.load(std::memory_order_relaxed) || !in_scope_locked()) {
        return 0;
    }
    if (state.fail[call] != 0) {
        errno = state.fail[call];
        return -1;
    }
    *usec = virtual_usec_locked();
    return 1;
}

int errno_by_name(const char *name)
{
    struct Row {
        const char *name;
        int err;
    };
    static const Row rows[] = {{"EPERM", EPERM}, {"EINVAL", EINVAL}, {"EFAULT", EFAULT}, {"EIO", EIO}};
    for (const Row &r : rows) {
        if (std::strcmp(r.name, name) == 0) {
            return r.err;
        }
    }
    return std::atoi(name);
}

__attribute__((constructor)) void arm_from_environment()
{
    const char *clock = std::getenv("QUILMAR_CLOCK");
    if (clock != nullptr) {
        char mode[16] = "";
        long long sec = 0;
        int usec = 0;
        if (std::sscanf(clock, "%15s %lld %d", mode, &sec, &usec) != 3 ||
            (std::strcmp(mode, "frozen") != 0 && std::strcmp(mode, "running") != 0) ||
            quilmar_clock_arm(sec, usec,
                              std::strcmp(mode, "frozen") == 0 ? QUILMAR_CLOCK_FROZEN : QUILMAR_CLOCK_RUNNING,
                              QUILMAR_CLOCK_PROCESS) != 0) {
            std::fprintf(stderr,
                         "quilmar-clock: QUILMAR_CLOCK=\"%s\" is not \"frozen|running <sec> <usec>\"\n",
                         clock);
        }
    }
    const char *fail = std::getenv("QUILMAR_CLOCK_FAIL");
    if (fail != nullptr) {
        char copy[256];
        std::snprintf(copy, sizeof(copy), "%s", fail);
        char *save = nullptr;
        for (char *item = strtok_r(copy, ",", &save); item != nullptr; item = strtok_r(nullptr, ",", &save)) {
            char *eq = std::strchr(item, '=');
            if (eq == nullptr || (*eq = '\0', quilmar_clock_fail(item, errno_by_name(eq + 1))) != 0) {
                std::fprintf(stderr, "quilmar-clock: cannot parse QUILMAR_CLOCK_FAIL item \"%s\"\n", item);
            }
        }
    }
}

} // namespace

extern "C" {

int quilmar_clock_arm(int64_t sec, int32_t usec, int mode, int scope)
{
    if (usec < 0 || usec > 999999) {
        return -1;
    }
    Locked l;
    state = State{};
    state.mode = mode;
    state.scope = scope;
    state.owner = pthread_self();
    state.base_usec = sec * 1000000 + usec;
    state.real_at_base = monotonic_usec();
    armed.store(true, std::memory_order_release);
    return 0;
}

void quilmar_clock_disarm(void)
{
    Locked l;
    armed.store(false, std::memory_order_release);
}

int quilmar_clock_fail(const char *call, int err)
{
    for (int i = 0; i < kCalls; ++i) {
        if (std::strcmp(kCallNames[i], call) == 0) {
            Locked l;
            state.fail[i] = err;
            return 0;
        }
    }
    return -1;
}

int quilmar_clock_now(int64_t *sec, int32_t *usec)
{
    Locked l;
    if (!armed.load(std::memory_order_relaxed)) {
        return -1;
    }
    const int64_t now = virtual_usec_locked();
    *sec = now / 1000000;
    *usec = static_cast<int32_t>(now % 1000000);
    return 0;
}

void quilmar_clock_last_set(int64_t *count, int64_t *sec, int64_t *usec, int *err)
{
    Locked l;
    *count = state.sets;
    *sec = state.set_sec;
    *usec = state.set_usec;
    *err = state.set_err;
}

// --- the interposed calls -------------------------------------------------

QUILMAR_CLOCK_API int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    static const auto next = real<gettimeofday_fn>("gettimeofday");
    int64_t now = 0;
    const int v = read_virtual(kGettimeofday, &now);
    if (v <= 0) {
        return v < 0 ? -1 : next(tv, tz);
    }
    if (tz != nullptr && next(nullptr, tz) != 0) {
        return -1;
    }
    tv->tv_sec = static_cast<time_t>(now / 1000000); // declared non-null by the C library
    tv->tv_usec = static_cast<suseconds_t>(now % 1000000);
    return 0;
}

QUILMAR_CLOCK_API int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    static const auto next = real<clock_gettime_fn>("clock_gettime");
    int64_t now = 0;
    const int v = (id == CLOCK_REALTIME) ? read_virtual(kClockGettime, &now) : 0;
    if (v <= 0) {
        return v < 0 ? -1 : next(id, ts);
    }
    ts->tv_sec = static_cast<time_t>(now / 1000000);
    ts->tv_nsec = static_cast<long>(now % 1000000) * 1000;
    return 0;
}

QUILMAR_CLOCK_API time_t time(time_t *out) noexcept
{
    static const auto next = real<time_fn>("time");
    int64_t now = 0;
    const int v = read_virtual(kTime, &now);
    if (v <= 0) {
        return v < 0 ? static_cast<time_t>(-1) : next(out);
    }
    const auto t = static_cast<time_t>(now / 1000000);
    if (out != nullptr) {
        *out = t;
    }
    return t;
}

// Never passed on to the kernel. Outside an armed scope it is refused as an
// unprivileged caller would be; inside, it is checked as the kernel checks
// it (values, then privilege) and moves the virtual clock.
QUILMAR_CLOCK_API int settimeofday(const struct timeval *tv, const struct timezone *) noexcept
{
    if (!armed.load(std::memory_order_acquire)) {
        std::fprintf(stderr, "quilmar-clock: settimeofday refused: the virtual clock is not armed\n");
        errno = EPERM;
        return -1;
    }
    Locked l;
    if (!armed.load(std::memory_order_relaxed) || !in_scope_locked()) {
        errno = EPERM;
        return -1;
    }
    if (tv == nullptr) {
        return 0;
    }
    ++state.sets;
    state.set_sec = tv->tv_sec;
    state.set_usec = tv->tv_usec;
    int err = state.fail[kSettimeofday];
    if (err == 0 && (tv->tv_usec < 0 || tv->tv_usec > 999999 || tv->tv_sec < 0)) {
        err = EINVAL;
    }
    if (err == 0 && !may_set_clock()) {
        err = EPERM;
    }
    state.set_err = err;
    if (err != 0) {
        errno = err;
        return -1;
    }
    state.base_usec = static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec;
    state.real_at_base = monotonic_usec();
    return 0;
}

} // extern "C"
