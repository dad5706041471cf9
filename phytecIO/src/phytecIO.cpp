// Library-wide entries of QuilmarIOPhytecImpl (nativeInit, setNativeLogging)
// and the read helper every unit uses.
#include "phytecIO.h"

#include <cerrno>
#include <cstdlib>
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

bool phytecIO_parseDecimal(const char *text, long *value)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') {
        ++p;
    }
    const char *digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (*digits < '0' || *digits > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno == ERANGE) {
        return false;
    }
    *value = v;
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
