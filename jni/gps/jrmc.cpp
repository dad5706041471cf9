#include "jrmc.h"

#include <cstdio>

#include "gpsjni.h"
#include "jnmea.h"
#include "jnu.h"
#include "jposition.h"

jclass CLASS_RMC;
jmethodID MID_RMC_init;
jmethodID MID_RMC_setDate;
jmethodID MID_RMC_setSpeed;
jfieldID FID_RMC_status;
jfieldID FID_RMC_speed;

int parseDate(JNIEnv *env, jobject *object, const NativeNmeaRecord *record)
{
    char joined[sizeof record->date + sizeof record->utcTime];
    std::snprintf(joined, sizeof joined, "%s%s", record->date, record->utcTime);
    char text[sizeof joined];
    GPS_asciiCopy(text, sizeof text, joined);
    JNU_LocalRef string(env, env->NewStringUTF(text));
    if (string.get() == nullptr) {
        return 0;
    }
    return env->CallIntMethod(*object, MID_RMC_setDate, string.get());
}

int fillRMCrecord(JNIEnv *env, jobject *object, const NativeNmeaRecord *record)
{
    fillBaseNMEA(env, object, record);
    fillBasePosition(env, object, record->rmc.latitude, record->rmc.longitude);
    if (env->ExceptionCheck()) {
        return -1;
    }
    if (parseDate(env, object, record) < 0 || env->ExceptionCheck()) {
        return -1;
    }
    env->SetCharField(*object, FID_RMC_status,
                      static_cast<jchar>(static_cast<unsigned char>(record->rmc.status)));
    env->CallVoidMethod(*object, MID_RMC_setSpeed, static_cast<jfloat>(record->rmc.speed));
    return env->ExceptionCheck() ? -1 : 0;
}

extern "C" JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_records_RMC_initNativeIDs(JNIEnv *env,
                                                                                       jclass clazz)
{
    JNU_LookupBatch batch(env);
    CLASS_RMC = static_cast<jclass>(env->NewGlobalRef(clazz));
    MID_RMC_init = batch(env->GetMethodID(clazz, "<init>", "()V"));
    MID_RMC_setDate = batch(JNU_GetMethodID(env, clazz, "setDate", "(Ljava/lang/String;)I"));
    MID_RMC_setSpeed = batch(JNU_GetMethodID(env, clazz, "setSpeed", "(F)V"));
    FID_RMC_status = batch(JNU_GetFieldID(env, clazz, "status", "C"));
    FID_RMC_speed = batch(JNU_GetFieldID(env, clazz, "speed", "F"));
}
