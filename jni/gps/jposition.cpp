#include "jposition.h"

#include <cstdio>

#include "gpsjni.h"
#include "jnu.h"

jfieldID FID_AbstractPositionRecord_longitude;
jfieldID FID_AbstractPositionRecord_latitude;
jclass CLASS_Angle;
jfieldID FID_Angle_radMilliseconds;
jclass CLASS_GPSAngle;
jmethodID MID_GPSAngle_init;
jfieldID FID_GPSAngle_typ;

namespace
{
enum AngleTyp : jint { kLongitude = 0, kLatitude = 1 };

void setAngle(JNIEnv *env, jobject *object, jfieldID field, int32_t milliarcseconds, jint typ)
{
    JNU_LocalRef angle(env, env->NewObject(CLASS_GPSAngle, MID_GPSAngle_init));
    if (angle.get() == nullptr) {
        return;
    }
    env->SetIntField(angle.get(), FID_Angle_radMilliseconds, milliarcseconds);
    env->SetIntField(angle.get(), FID_GPSAngle_typ, typ);
    env->SetObjectField(*object, field, angle.get());
}
} // namespace

void fillBasePosition(JNIEnv *env, jobject *object, int32_t latitude, int32_t longitude)
{
    setAngle(env, object, FID_AbstractPositionRecord_latitude, latitude, kLatitude);
    if (!env->ExceptionCheck()) {
        setAngle(env, object, FID_AbstractPositionRecord_longitude, longitude, kLongitude);
    }
}

extern "C" JNIEXPORT void JNICALL
Java_de_zavrio_quilmar_gps_records_AbstractPositionRecord_initNativeIDs(JNIEnv *env, jclass clazz)
{
    JNU_LookupBatch batch(env);
    FID_AbstractPositionRecord_longitude =
        batch(JNU_GetFieldID(env, clazz, "longitude", "Lde/zavrio/quilmar/gps/records/GPSAngle;"));
    FID_AbstractPositionRecord_latitude =
        batch(JNU_GetFieldID(env, clazz, "latitude", "Lde/zavrio/quilmar/gps/records/GPSAngle;"));
    JNU_LocalRef angle(env, batch(env->FindClass("de/zavrio/quilmar/gps/records/Angle")));
    if (angle.get() == nullptr) {
        // The lookup error is raised when the batch ends.
        return;
    }
    CLASS_Angle = static_cast<jclass>(env->NewGlobalRef(angle.get()));
    FID_Angle_radMilliseconds =
        batch(JNU_GetFieldID(env, static_cast<jclass>(angle.get()), "radMilliseconds", "I"));
    JNU_LocalRef gpsAngle(env, batch(env->FindClass("de/zavrio/quilmar/gps/records/GPSAngle")));
    if (gpsAngle.get() == nullptr) {
        std::printf("ERROR: find class problem\n");
        return;
    }
    const auto gpsAngleClass = static_cast<jclass>(gpsAngle.get());
    CLASS_GPSAngle = static_cast<jclass>(env->NewGlobalRef(gpsAngleClass));
    MID_GPSAngle_init = batch(env->GetMethodID(gpsAngleClass, "<init>", "()V"));
    FID_GPSAngle_typ = batch(JNU_GetFieldID(env, gpsAngleClass, "typ", "I"));
}
