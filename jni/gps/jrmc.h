// RMC objects for Java.
#pragma once

#include <jni.h>

#include "gpsrecords.h"

extern jclass CLASS_RMC;
extern jmethodID MID_RMC_init;
extern jmethodID MID_RMC_setDate;
extern jmethodID MID_RMC_setSpeed;
extern jfieldID FID_RMC_status;
extern jfieldID FID_RMC_speed;

// Base fields, position, date (setDate), status and speed; 0, or -1 when
// setDate refuses the date.
int fillRMCrecord(JNIEnv *env, jobject *object, const NativeNmeaRecord *record);
// setDate with the date digits followed by the time text; its result, 0 when
// the text cannot be made.
int parseDate(JNIEnv *env, jobject *object, const NativeNmeaRecord *record);
