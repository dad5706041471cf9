// Library-wide entries of QuilmarIOPhytecImpl (nativeInit, setNativeLogging)
// and the read helper every unit uses.
#include "phytecIO.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "jnu.h"

std::atomic<unsigned char> nativeDebug_phytecAnalogIO{0};
std::atomic<unsigned char> nativeDebug_phytecDigitalIO{0};
std::atomic<unsigned char> nativeDebug_phytecDigitalEvent{0};

ssize_t shortRead(int fd, void *buffer, size_t length)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, bytes + done, length - done);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return got;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int phytecIO_open(const char *path, int flags)
{
    const int fd = open(path, flags);
    if (fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Not strtol: its long is 32 bits on the unit and 64 on a desktop, and the
// same file must read the same on both.
bool phytecIO_parseDecimal(const char *text, int64_t *value)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const auto digit = static_cast<uint64_t>(*p - '0');
        if (magnitude > (limit - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
    }
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_nativeInit(JNIEnv *env, jclass clazz)
{
    phytecLED_init();
    phytecDigitalOut_init();
    // The analog inputs keep no state.
    phytecDigitalEvent_init(env, clazz);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setNativeLogging(JNIEnv *, jobject,
                                                                                              jboolean on)
{
    const unsigned char flag = on ? 1 : 0;
    nativeDebug_phytecAnalogIO = flag;
    nativeDebug_phytecDigitalIO = flag;
    nativeDebug_phytecDigitalEvent = flag;
}

} // extern "C"
