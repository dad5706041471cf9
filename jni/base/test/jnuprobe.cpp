// Natives of de.zavrio.quilmar.test.JnuProbe: thin calls into the binding
// helpers so that the JUnit tests can observe what they raise and write.
#include "base_internal.h"
#include "jnu.h"

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_test_JnuProbe_throwByName(JNIEnv *env, jclass, jstring name, jstring msg)
{
    BaseUtf n(env, name);
    BaseUtf m(env, msg);
    if (n.get() != nullptr && m.get() != nullptr) {
        JNU_ThrowByName(env, n.get(), m.get());
    }
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_test_JnuProbe_hasField(JNIEnv *env, jclass, jclass target, jstring name, jstring sig)
{
    BaseUtf n(env, name);
    BaseUtf s(env, sig);
    return JNU_GetFieldID(env, target, n.get(), s.get()) != nullptr ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_test_JnuProbe_hasMethod(JNIEnv *env, jclass, jclass target, jstring name, jstring sig)
{
    BaseUtf n(env, name);
    BaseUtf s(env, sig);
    return JNU_GetMethodID(env, target, n.get(), s.get()) != nullptr ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_test_JnuProbe_setStringField(JNIEnv *env, jclass, jobject target, jstring field, jstring text)
{
    BaseUtf f(env, field);
    BaseUtf t(env, text);
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

// Faults on purpose, for the check that the VM's JNI warnings fail a run:
// `count` local references never deleted, or (0) a call left unchecked.
extern "C" JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_test_JniFaultMain_fault(JNIEnv *env, jclass, jint count)
{
    jclass system = env->FindClass("java/lang/System");
    jmethodID separator = env->GetStaticMethodID(system, "lineSeparator", "()Ljava/lang/String;");
    jobject text = env->CallStaticObjectMethod(system, separator);
    if (count == 0) {
        return env->GetStringUTFLength(static_cast<jstring>(text)) * 0; // no ExceptionCheck before
    }
    for (jint i = 0; !env->ExceptionCheck() && i < count; ++i) {
        env->NewStringUTF("leak");
    }
    return count;
}
