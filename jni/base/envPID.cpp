// Natives of EnvInfoImpl: the ids of the VM's process and of its parent.
#include <jni.h>

#include <unistd.h>

extern "C" {

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_linux_info_EnvInfoImpl_getPid(JNIEnv *, jobject)
{
    return static_cast<jint>(getpid());
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_linux_info_EnvInfoImpl_getPPid(JNIEnv *, jobject)
{
    return static_cast<jint>(getppid());
}

} // extern "C"
