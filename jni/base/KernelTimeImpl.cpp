// Natives of KernelTimeImpl: steps the system clock by a signed offset, for
// instance to follow GPS time.
#include "base_internal.h"
#include "jnu.h"
#include "kernelTime.h"

#include <cerrno>

#include <sys/time.h>

#define KT_NATIVE(name) Java_de_zavrio_quilmar_io_linux_time_KernelTimeImpl_##name

uint8_t nativeDebug_kernelTime; // debug output when 1

namespace
{

int32_t wrap_add(int32_t a, int32_t b)
{
    // Signed overflow wraps on the target; computed unsigned here so that
    // the host does the same without undefined behaviour.
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

const BaseErrnoText kSetErrors[] = {
    {EFAULT, "settimeofday:EFAULT"},
    {EINVAL, "settimeofday:EINVAL"},
    {EPERM, "settimeofday:EPERM"},
    {0, nullptr},
};

} // namespace

kernel_time_step kernel_time_apply(kernel_time_value &t, int32_t offset_sec, int32_t offset_usec)
{
    t.sec = wrap_add(t.sec, offset_sec);
    t.usec = wrap_add(t.usec, offset_usec);
    if (t.usec > 999999) {
        t.sec = wrap_add(t.sec, 1);
        t.usec = wrap_add(t.usec, -1000000);
        return kernel_time_step::carry;
    }
    if (t.usec < 0) {
        t.sec = wrap_add(t.sec, -1);
        t.usec = wrap_add(t.usec, 1000000);
        return kernel_time_step::borrow;
    }
    return kernel_time_step::none;
}

kernel_time_result kernel_time_adjust(int32_t offset_sec, int32_t offset_usec, FILE *debug)
{
    timeval now{};
    if (gettimeofday(&now, nullptr) != 0) {
        return {true, 0};
    }
    kernel_time_value t{static_cast<int32_t>(now.tv_sec), static_cast<int32_t>(now.tv_usec)};
    if (debug != nullptr) {
        std::fprintf(debug, "before: %d %d  adjust: %ld %ld\n", t.sec, t.usec, static_cast<long>(offset_sec),
                     static_cast<long>(offset_usec));
    }
    const kernel_time_step step = kernel_time_apply(t, offset_sec, offset_usec);
    if (debug != nullptr) {
        const char *format = step == kernel_time_step::carry    ? "corrected(1): %d %d\n"
                             : step == kernel_time_step::borrow ? "corrected(2): %d %d\n"
                                                                : "after: %d %d\n";
        std::fprintf(debug, format, t.sec, t.usec);
        std::fflush(debug);
    }
    timeval next{};
    next.tv_sec = t.sec;
    next.tv_usec = t.usec;
    if (settimeofday(&next, nullptr) != 0) {
        return {false, errno};
    }
    return {false, 0};
}

extern "C" {

JNIEXPORT void JNICALL KT_NATIVE(setNativeLogging)(JNIEnv *, jobject, jboolean on)
{
    nativeDebug_kernelTime = on;
}

// Only the low 32 bits of each argument take part, as signed values.
JNIEXPORT void JNICALL KT_NATIVE(adjustTime)(JNIEnv *env, jobject, jlong sec, jlong usec)
{
    const kernel_time_result r = kernel_time_adjust(static_cast<int32_t>(sec), static_cast<int32_t>(usec),
                                                    nativeDebug_kernelTime == 1 ? stdout : nullptr);
    if (r.read_failed) {
        JNU_ThrowByName(env, "java.io.IOException", "gettimeofday");
    } else if (r.set_errno != 0) {
        JNU_ThrowByName(env, "java.io.IOException",
                        base_errno_text(kSetErrors, r.set_errno, "settimeofday:unkown"));
    }
}

} // extern "C"
