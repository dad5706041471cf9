// Natives of the JUnit class de.zavrio.quilmar.test.VirtualClock: the Java
// tests' handle on the preloaded virtual clock. The control functions are
// looked up at run time, so that a JVM started without the preload is told
// so instead of failing to load this library.
#include "quilmar_clock.h"

#include <jni.h>

#include <cerrno>
#include <cstring>

#include <dlfcn.h>

namespace
{

template <typename Fn> Fn control(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

bool present()
{
    return control<decltype(&quilmar_clock_arm)>("quilmar_clock_arm") != nullptr;
}

void throw_missing(JNIEnv *env)
{
    jclass cls = env->FindClass("java/lang/IllegalStateException");
    if (cls != nullptr) {
        env->ThrowNew(cls, "libquilmarclock.so is not preloaded into this JVM");
    }
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_test_VirtualClock_present(JNIEnv *, jclass)
{
    return present() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_test_VirtualClock_arm(JNIEnv *env, jclass, jlong sec, jint usec,
                                                                    jboolean running)
{
    auto arm = control<decltype(&quilmar_clock_arm)>("quilmar_clock_arm");
    if (arm == nullptr) {
        throw_missing(env);
        return;
    }
    arm(sec, usec, running ? QUILMAR_CLOCK_RUNNING : QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_test_VirtualClock_disarm(JNIEnv *, jclass)
{
    if (auto disarm = control<decltype(&quilmar_clock_disarm)>("quilmar_clock_disarm")) {
        disarm();
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_test_VirtualClock_fail(JNIEnv *env, jclass, jstring call,
                                                                     jint err)
{
    auto fail = control<decltype(&quilmar_clock_fail)>("quilmar_clock_fail");
    if (fail == nullptr) {
        throw_missing(env);
        return;
    }
    const char *c = env->GetStringUTFChars(call, nullptr);
    if (c != nullptr) {
        fail(c, err);
        env->ReleaseStringUTFChars(call, c);
    }
}

// {sec, usec} of the virtual clock now.
JNIEXPORT jlongArray JNICALL Java_de_zavrio_quilmar_test_VirtualClock_now(JNIEnv *env, jclass)
{
    auto now = control<decltype(&quilmar_clock_now)>("quilmar_clock_now");
    if (now == nullptr) {
        throw_missing(env);
        return nullptr;
    }
    int64_t sec = 0;
    int32_t usec = 0;
    now(&sec, &usec);
    const jlong values[2] = {sec, usec};
    jlongArray out = env->NewLongArray(2);
    if (out != nullptr) {
        env->SetLongArrayRegion(out, 0, 2, values);
    }
    return out;
}

// {count, sec, usec, errno} of the settimeofday calls since arming.
JNIEXPORT jlongArray JNICALL Java_de_zavrio_quilmar_test_VirtualClock_lastSet(JNIEnv *env, jclass)
{
    auto last = control<decltype(&quilmar_clock_last_set)>("quilmar_clock_last_set");
    if (last == nullptr) {
        throw_missing(env);
        return nullptr;
    }
    int64_t count = 0, sec = 0, usec = 0;
    int err = 0;
    last(&count, &sec, &usec, &err);
    const jlong values[4] = {count, sec, usec, err};
    jlongArray out = env->NewLongArray(4);
    if (out != nullptr) {
        env->SetLongArrayRegion(out, 0, 4, values);
    }
    return out;
}

// The errno values the tests inject, as this platform numbers them.
JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_test_VirtualClock_errno(JNIEnv *env, jclass, jstring name)
{
    const char *n = env->GetStringUTFChars(name, nullptr);
    if (n == nullptr) {
        return 0;
    }
    int err = std::strcmp(n, "EPERM") == 0    ? EPERM
              : std::strcmp(n, "EINVAL") == 0 ? EINVAL
              : std::strcmp(n, "EFAULT") == 0 ? EFAULT
              : std::strcmp(n, "EIO") == 0    ? EIO
                                              : 0;
    env->ReleaseStringUTFChars(name, n);
    return err;
}

} // extern "C"
