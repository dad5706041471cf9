// Latitude and longitude objects of the Java position records.
#pragma once

#include <cstdint>
#include <jni.h>

extern jfieldID FID_AbstractPositionRecord_longitude;
extern jfieldID FID_AbstractPositionRecord_latitude;
extern jclass CLASS_Angle;
extern jfieldID FID_Angle_radMilliseconds;
extern jclass CLASS_GPSAngle;
extern jmethodID MID_GPSAngle_init;
extern jfieldID FID_GPSAngle_typ;

// Two GPSAngle objects (typ 1 latitude, 0 longitude) into the record.
void fillBasePosition(JNIEnv *env, jobject *object, int32_t latitude, int32_t longitude);
