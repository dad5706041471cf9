// Java record objects from native records.
#pragma once

#include <jni.h>

#include "gpsrecords.h"

extern jclass CLASS_BaseNMEARecord;
extern jmethodID MID_BaseNMEARecord_init;
extern jfieldID FID_BaseNMEARecord_record;
extern jfieldID FID_BaseNMEARecord_recordName;
extern jfieldID FID_BaseNMEARecord_checksum;
extern jfieldID FID_BaseNMEARecord_eventTimeSec;
extern jfieldID FID_BaseNMEARecord_eventTimeUSec;

// A new local reference to an RMC, GGA or BaseNMEARecord object, or null.
jobject createJNMEARecord(JNIEnv *env, NativeNmeaRecord record);
// record, recordName, checksum and the event time; 0 or -1.
int fillBaseNMEA(JNIEnv *env, jobject *object, const NativeNmeaRecord *record);
