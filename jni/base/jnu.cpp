#include "jnu.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Exception texts are cut so that they fit 255 characters.
constexpr size_t kMessageMax = 255;
// Longest class name we convert; the application's longest is about 100.
constexpr size_t kClassNameMax = 255;

void throw_missing_member(JNIEnv *env, const char *format, const char *name)
{
    std::array<char, kMessageMax + 1> text{};
    std::snprintf(text.data(), text.size(), format, name);
    JNU_ThrowByName(env, "java.lang.IllegalArgumentException", text.data());
}

} // namespace

extern "C" {

JNIEXPORT void JNU_ThrowByName(JNIEnv *env, const char *name, const char *msg)
{
    // Callers name classes in dotted form; the VM's class lookup wants the
    // internal form with slashes (HotSpot answers a dotted name with
    // NoClassDefFoundError).
    std::array<char, kClassNameMax + 1> internal{};
    const size_t len = std::strlen(name);
    if (len > kClassNameMax) {
        // No class of ours has such a name; let the VM report the lookup.
        jclass none = env->FindClass(name);
        env->DeleteLocalRef(none);
        return;
    }
    for (size_t i = 0; i < len; ++i) {
        internal[i] = (name[i] == '.') ? '/' : name[i];
    }
    jclass cls = env->FindClass(internal.data());
    if (cls != nullptr) {
        env->ThrowNew(cls, msg);
    }
    env->DeleteLocalRef(cls);
}

JNIEXPORT jfieldID JNU_GetFieldID(JNIEnv *env, jclass clazz, const char *name, const char *sig)
{
    jfieldID fid = env->GetFieldID(clazz, name, sig);
    if (fid == nullptr) {
        // GetFieldID left a NoSuchFieldError pending; ours replaces it.
        env->ExceptionClear();
        throw_missing_member(env, "field id: %s is null", name);
    }
    return fid;
}

JNIEXPORT jmethodID JNU_GetMethodID(JNIEnv *env, jclass clazz, const char *name, const char *sig)
{
    jmethodID mid = env->GetMethodID(clazz, name, sig);
    if (mid == nullptr) {
        env->ExceptionClear();
        throw_missing_member(env, "method id: %s is null", name);
    }
    return mid;
}

JNIEXPORT int JNU_SetStringUTF(JNIEnv *env, jobject *obj, jfieldID fid, const char *text)
{
    jstring str = env->NewStringUTF(text);
    if (str == nullptr) {
        return -1;
    }
    env->SetObjectField(*obj, fid, str);
    env->DeleteLocalRef(str);
    return 0;
}

} // extern "C"
