// Java binding helpers shared by the four native libraries. Defined in
// basenative only; gpsnative, cannative and ionative resolve them from there.
#pragma once

#include <jni.h>

extern "C" {

// Raises a new instance of the class `name` (dotted form, "java.io.IOException")
// with `msg` as its detail text. When the class cannot be found, the VM's own
// lookup error stays pending instead.
JNIEXPORT void JNU_ThrowByName(JNIEnv *env, const char *name, const char *msg);

// GetFieldID / GetMethodID that raise IllegalArgumentException naming the
// missing member ("field id: %s is null", "method id: %s is null", at most
// 255 characters) and return null.
JNIEXPORT jfieldID JNU_GetFieldID(JNIEnv *env, jclass clazz, const char *name, const char *sig);
JNIEXPORT jmethodID JNU_GetMethodID(JNIEnv *env, jclass clazz, const char *name, const char *sig);

// Stores a new Java string made from `text` (modified UTF-8) into field `fid`
// of the object `*obj`. Returns 0, or -1 with the VM's error pending when the
// string cannot be made (the field is then left unchanged).
JNIEXPORT int JNU_SetStringUTF(JNIEnv *env, jobject *obj, jfieldID fid, const char *text);

} // extern "C"
