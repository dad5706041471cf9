// The two status LEDs, switched through the LED class attribute files. Each
// file stays open after its first use; a failed write closes it so that the
// next call opens it again.
#include <fcntl.h>
#include <unistd.h>

#include "jnu.h"
#include "phytecIO.h"

int phytecLED_fds[kLEDs] = {-1, -1};

namespace
{

constexpr const char *kLEDFiles[kLEDs] = {"/sys/class/leds/board:green/brightness",
                                          "/sys/class/leds/board:yellow/brightness"};

} // namespace

void phytecLED_init()
{
    for (int &fd : phytecLED_fds) {
        fd = -1;
    }
}

// 0 when the LED's file is open, -1 when the open failed, -2 for an index
// without a file.
static int phytecLED_initDevice(int index)
{
    if (index < 0 || index >= kLEDs) {
        return -2;
    }
    if (phytecLED_fds[index] >= 0) {
        return 0;
    }
    phytecLED_fds[index] = phytecIO_open(kLEDFiles[index], O_RDWR | O_NOCTTY | O_NONBLOCK);
    return phytecLED_fds[index] >= 0 ? 0 : -1;
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_nativeSetLED(JNIEnv *env, jobject,
                                                                                          jint index, jboolean on)
{
    if (index < 0 || index >= kLEDs) {
        JNU_ThrowByName(env, kIllegalArgumentException, "invalid address");
        return;
    }
    if (phytecLED_initDevice(index) != 0) {
        JNU_ThrowByName(env, kIOException, "cannot init device");
        return;
    }
    if (write(phytecLED_fds[index], on ? "1\n" : "0\n", 2) != 2) {
        close(phytecLED_fds[index]);
        phytecLED_fds[index] = -1;
        JNU_ThrowByName(env, kIOException, "cannot set LED state");
    }
}

} // extern "C"
