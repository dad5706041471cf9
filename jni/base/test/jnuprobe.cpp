// Natives of de.zavrio.quilmar.test.JnuProbe: thin calls into the binding
// helpers so that the JUnit tests can observe what they raise and write.
#include "jnu.h"

namespace {

// Holds GetStringUTFChars for the duration of a call.
class Utf {
public:
    Utf(JNIEnv *env, jstring s) : env_(env), s_(s), chars_(env->GetStringUTFChars(s, nullptr)) {}
    ~Utf()
    {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(s_, chars_);
        }
    }
    Utf(const Utf &) = delete;
    Utf &operator=(const Utf &) = delete;
    const char *get() const { return chars_; }

private:
    JNIEnv *env_;
    jstring s_;
    const char *chars_;
};

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_test_JnuProbe_throwByName(JNIEnv *env, jclass, jstring name, jstring msg)
{
    Utf n(env, name);
    Utf m(env, msg);
    if (n.get() != nullptr && m.get() != nullptr) {
        JNU_ThrowByName(env, n.get(), m.get());
    }
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_test_JnuProbe_hasField(JNIEnv *env, jclass, jclass target, jstring name, jstring sig)
{
    Utf n(env, name);
    Utf s(env, sig);
    return JNU_GetFieldID(env, target, n.get(), s.get()) != nullptr ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_test_JnuProbe_hasMethod(JNIEnv *env, jclass, jclass target, jstring name, jstring sig)
{
    Utf n(env, name);
    Utf s(env, sig);
    return JNU_GetMethodID(env, target, n.get(), s.get()) != nullptr ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_test_JnuProbe_setStringField(JNIEnv *env, jclass, jobject target, jstring field, jstring text)
{
    Utf f(env, field);
    Utf t(env, text);
    jclass cls = env->GetObjectClass(target);
    jfieldID fid = JNU_GetFieldID(env, cls, f.get(), "Ljava/lang/String;");
    env->DeleteLocalRef(cls);
    if (fid == nullptr) {
        return -2;
    }
    // The helper takes the object by reference: hand it the address of a
    // copy, as the GPS record builders do with their local references.
    jobject ref = target;
    return JNU_SetStringUTF(env, &ref, fid, t.get());
}

} // extern "C"
