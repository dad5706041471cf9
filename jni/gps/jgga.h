// GGA objects for Java.
#pragma once

#include <jni.h>

#include "gpsrecords.h"

extern jclass CLASS_GGA;
extern jmethodID MID_GGA_init;
extern jmethodID MID_GGA_setHDOP;
extern jfieldID FID_GGA_antennaAltitudeIntegerPart;
extern jfieldID FID_GGA_antennaAltitudeDecimalPart;
extern jfieldID FID_GGA_hdop;
extern jfieldID FID_GGA_numberOfSatellites;

// Whole metres and thousandths of the altitude in single precision, both with
// the altitude's sign (512.25 -> 512, 250; -3.5 -> -3, -500).
void GPS_altitudeParts(double altitude, int32_t *integerPart, int32_t *decimalPart);
// Base fields, position, HDOP, satellites and altitude; 0.
int fillGGArecord(JNIEnv *env, jobject *object, const NativeNmeaRecord *record);
