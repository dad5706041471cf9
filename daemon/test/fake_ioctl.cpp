#include "fake_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <linux/ioctl.h>
#include <sys/ioctl.h>

fake_ioctl_state &fake_ioctl()
{
    static fake_ioctl_state state;
    return state;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != FAKE_FD) {
        using real_fn = int (*)(int, unsigned long, ...);
        static auto real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, arg);
    }
    fake_ioctl_state &s = fake_ioctl();
    ioctl_call call{request, {}, reinterpret_cast<unsigned long>(arg)};
    if (request == TIOCOUTQ) {
        std::memcpy(arg, &s.outq, sizeof s.outq);
    } else if (request == TIOCMBIC || request == TIOCMBIS) {
        auto *p = static_cast<const uint8_t *>(arg);
        call.data.assign(p, p + sizeof(int));
    } else if (_IOC_DIR(request) & _IOC_WRITE) {
        auto *p = static_cast<const uint8_t *>(arg);
        call.data.assign(p, p + _IOC_SIZE(request));
    } else if ((_IOC_DIR(request) & _IOC_READ) && !s.read_data.empty()) {
        size_t n = std::min(s.read_data.size(), static_cast<size_t>(_IOC_SIZE(request)));
        std::memcpy(arg, s.read_data.data(), n);
    }
    s.calls.push_back(call);
    if (s.fail_after >= 0 && s.calls.size() > static_cast<size_t>(s.fail_after)) {
        errno = s.error;
        return -1;
    }
    if (s.result < 0)
        errno = s.error;
    return s.result;
}
