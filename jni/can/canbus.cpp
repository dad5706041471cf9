#include "canbus.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "can4linuxAdapter.h"
#include "canids.h"
#include "canraise.h"
#include "jnu_scope.h"

std::atomic<unsigned char> timeoutFlag{0};
std::atomic<int32_t> writeSleeptime{0};

extern "C" {

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_can_CANBus_openCanDevice(JNIEnv *env, jobject bus)
{
    const bool log = CAN_logging();
    JNU_LocalRef device(env, env->GetObjectField(bus, FID_CANBus_device));
    if (device.get() == nullptr) {
        CAN_raise(env, CanRaise::OpenFailed);
        return -1;
    }
    const char *path = env->GetStringUTFChars(static_cast<jstring>(device.get()), nullptr);
    if (path == nullptr) {
        return -1;
    }
    const bool blocking = env->GetBooleanField(bus, FID_CANBus_blocking) == JNI_TRUE;
    const bool readOnly = env->GetBooleanField(bus, FID_CANBus_readOnly) == JNI_TRUE;
    int flags = (blocking ? 0 : O_NONBLOCK) | (readOnly ? O_RDONLY : O_RDWR);
    if (log) {
        printf(blocking ? "debug: open %s in blocking mode\n" : "debug: open %s in nonblocking mode\n", path);
        printf(readOnly ? "debug: open %s in read only mode\n" : "debug: open %s in read write mode\n", path);
    }
    int fd = CAN_openDevice(path, flags);
    int error = errno;
    CAN_readerOpened(fd);
    env->ReleaseStringUTFChars(static_cast<jstring>(device.get()), path);
    if (fd < 0) {
        errno = error;
        perror("open CAN");
        CAN_raise(env, CanRaise::OpenFailed);
        return -1;
    }
    jint baud = env->GetIntField(bus, FID_CANBus_baud);
    if (log) {
        printf("debug: set bitrate to %d\n", baud);
    }
    if (CAN_setBitrate(fd, baud) < 0) {
        // The node works at the rate its configuring open chose (EPERM: a
        // program opened it first); the application learns that here, and
        // the descriptor stays usable.
        perror("set bitrate");
    }
    writeSleeptime = static_cast<int32_t>(env->GetLongField(bus, FID_CANBus_writeSleeptime));
    return fd;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_reset(JNIEnv *env, jobject bus)
{
    // The driver leaves a reset controller stopped; the application's reset
    // means "start afresh", so reception restarts at once.
    int fd = env->GetIntField(bus, FID_CANBus_fd);
    if (CAN_command(fd, CMD_RESET) < 0 || CAN_command(fd, CMD_START) < 0) {
        CAN_raise(env, CanRaise::CommandError, errno);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_resetCloseAndOpen(JNIEnv *env, jobject bus)
{
    int fd = env->GetIntField(bus, FID_CANBus_fd);
    int stopError = CAN_command(fd, CMD_STOP) < 0 ? errno : 0;
    int startError = CAN_command(fd, CMD_START) < 0 ? errno : 0;
    // One exception can be raised: the first failure's.
    if (stopError != 0 || startError != 0) {
        CAN_raise(env, CanRaise::CommandError, stopError != 0 ? stopError : startError);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_setNativeLogging(JNIEnv *, jobject, jboolean on)
{
    nativeLog = on;
}

JNIEXPORT jboolean JNICALL
Java_de_zavrio_quilmar_io_can_CheckTimeoutTimerTask_checkAndResetTimeoutFlag(JNIEnv *, jobject)
{
    jboolean value = timeoutFlag.load() != 0 ? JNI_TRUE : JNI_FALSE;
    timeoutFlag = 0;
    return value;
}

} // extern "C"
