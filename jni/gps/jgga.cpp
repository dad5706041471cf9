#include "jgga.h"

#include "gpsjni.h"
#include "jnmea.h"
#include "jnu.h"
#include "jposition.h"

jclass CLASS_GGA;
jmethodID MID_GGA_init;
jmethodID MID_GGA_setHDOP;
jfieldID FID_GGA_antennaAltitudeIntegerPart;
jfieldID FID_GGA_antennaAltitudeDecimalPart;
jfieldID FID_GGA_hdop;
jfieldID FID_GGA_numberOfSatellites;

void GPS_altitudeParts(double altitude, int32_t *integerPart, int32_t *decimalPart)
{
    const auto a = static_cast<float>(altitude);
    *integerPart = gpsfield::toInt32(a);
    // C++ % keeps the sign of the dividend.
    *decimalPart = gpsfield::toInt32(a * 1000.0f) % 1000;
}

int fillGGArecord(JNIEnv *env, jobject *object, const NativeNmeaRecord *record)
{
    fillBaseNMEA(env, object, record);
    fillBasePosition(env, object, record->gga.latitude, record->gga.longitude);
    if (env->ExceptionCheck()) {
        return 0;
    }
    env->CallVoidMethod(*object, MID_GGA_setHDOP, static_cast<jfloat>(record->gga.hdop));
    if (env->ExceptionCheck()) {
        return 0;
    }
    env->SetIntField(*object, FID_GGA_numberOfSatellites, record->gga.numberOfSatellites);
    int32_t integerPart = 0;
    int32_t decimalPart = 0;
    GPS_altitudeParts(record->gga.altitude, &integerPart, &decimalPart);
    env->SetIntField(*object, FID_GGA_antennaAltitudeIntegerPart, integerPart);
    env->SetIntField(*object, FID_GGA_antennaAltitudeDecimalPart, decimalPart);
    return 0;
}

extern "C" JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_records_GGA_initNativeIDs(JNIEnv *env,
                                                                                       jclass clazz)
{
    JNU_LookupBatch batch(env);
    CLASS_GGA = static_cast<jclass>(env->NewGlobalRef(clazz));
    MID_GGA_init = batch(env->GetMethodID(clazz, "<init>", "()V"));
    MID_GGA_setHDOP = batch(JNU_GetMethodID(env, clazz, "setHDOP", "(F)V"));
    FID_GGA_antennaAltitudeIntegerPart = batch(JNU_GetFieldID(env, clazz, "antennaAltitudeIntegerPart", "I"));
    FID_GGA_antennaAltitudeDecimalPart = batch(JNU_GetFieldID(env, clazz, "antennaAltitudeDecimalPart", "I"));
    FID_GGA_hdop = batch(JNU_GetFieldID(env, clazz, "hdop", "F"));
    FID_GGA_numberOfSatellites = batch(JNU_GetFieldID(env, clazz, "numberOfSatellites", "I"));
}
