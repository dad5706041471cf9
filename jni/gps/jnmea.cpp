#include "jnmea.h"

#include <cstring>

#include "gpsjni.h"
#include "jgga.h"
#include "jnu.h"
#include "jposition.h"
#include "jrmc.h"

jclass CLASS_BaseNMEARecord;
jmethodID MID_BaseNMEARecord_init;
jfieldID FID_BaseNMEARecord_record;
jfieldID FID_BaseNMEARecord_recordName;
jfieldID FID_BaseNMEARecord_checksum;
jfieldID FID_BaseNMEARecord_eventTimeSec;
jfieldID FID_BaseNMEARecord_eventTimeUSec;

void GPS_asciiCopy(char *out, unsigned long size, const char *text)
{
    unsigned long i = 0;
    for (; i + 1 < size && text[i] != '\0'; ++i) {
        const auto octet = static_cast<unsigned char>(text[i]);
        out[i] = octet < 0x80 ? text[i] : '?';
    }
    out[i] = '\0';
}

int fillBaseNMEA(JNIEnv *env, jobject *object, const NativeNmeaRecord *record)
{
    char text[sizeof record->text + 1];
    GPS_asciiCopy(text, sizeof text, record->text);
    char type[sizeof record->type + 1];
    GPS_asciiCopy(type, sizeof type, record->type);
    char checksum[sizeof record->checksum + 1];
    GPS_asciiCopy(checksum, sizeof checksum, record->checksum);
    if (JNU_SetStringUTF(env, object, FID_BaseNMEARecord_record, text) < 0 ||
        JNU_SetStringUTF(env, object, FID_BaseNMEARecord_recordName, type) < 0 ||
        JNU_SetStringUTF(env, object, FID_BaseNMEARecord_checksum, checksum) < 0) {
        return -1;
    }
    env->SetLongField(*object, FID_BaseNMEARecord_eventTimeSec, static_cast<jlong>(record->eventTimeSec));
    env->SetLongField(*object, FID_BaseNMEARecord_eventTimeUSec, static_cast<jlong>(record->eventTimeUSec));
    return 0;
}

jobject createJNMEARecord(JNIEnv *env, NativeNmeaRecord record)
{
    // Classes whose initialisation entry has not run yet cannot be built.
    if (CLASS_RMC == nullptr || CLASS_GGA == nullptr || CLASS_BaseNMEARecord == nullptr ||
        CLASS_GPSAngle == nullptr) {
        return nullptr;
    }
    if (std::strcmp(record.type, "RMC") == 0) {
        jobject object = env->NewObject(CLASS_RMC, MID_RMC_init);
        if (object == nullptr) {
            return nullptr;
        }
        if (fillRMCrecord(env, &object, &record) < 0) {
            env->DeleteLocalRef(object);
            return nullptr;
        }
        return object;
    }
    if (std::strcmp(record.type, "GGA") == 0) {
        jobject object = env->NewObject(CLASS_GGA, MID_GGA_init);
        if (object != nullptr) {
            fillGGArecord(env, &object, &record);
        }
        return object;
    }
    jobject object = env->NewObject(CLASS_BaseNMEARecord, MID_BaseNMEARecord_init);
    if (object != nullptr) {
        fillBaseNMEA(env, &object, &record);
    }
    return object;
}

extern "C" JNIEXPORT void JNICALL
Java_de_zavrio_quilmar_gps_records_BaseNMEARecord_initNativeIDs(JNIEnv *env, jclass clazz)
{
    JNU_LookupBatch batch(env);
    CLASS_BaseNMEARecord = static_cast<jclass>(env->NewGlobalRef(clazz));
    MID_BaseNMEARecord_init = batch(env->GetMethodID(clazz, "<init>", "()V"));
    FID_BaseNMEARecord_record = batch(JNU_GetFieldID(env, clazz, "record", "Ljava/lang/String;"));
    FID_BaseNMEARecord_recordName = batch(JNU_GetFieldID(env, clazz, "recordName", "Ljava/lang/String;"));
    FID_BaseNMEARecord_checksum = batch(JNU_GetFieldID(env, clazz, "checksum", "Ljava/lang/String;"));
    FID_BaseNMEARecord_eventTimeSec = batch(JNU_GetFieldID(env, clazz, "eventTimeSec", "J"));
    FID_BaseNMEARecord_eventTimeUSec = batch(JNU_GetFieldID(env, clazz, "eventTimeUSec", "J"));
}
