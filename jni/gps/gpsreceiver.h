// Identifier caches and debug flags of the GPSReceiver and GPSPositionEvent
// classes, written by their initialisation and logging entries.
#pragma once

#include <atomic>
#include <jni.h>

// Debug output of the library when equal to 1.
extern std::atomic<unsigned char> nativeDebug_GPSReceiver;
extern std::atomic<unsigned char> nativeDebug_GPSFilter;
extern std::atomic<unsigned char> nativeDebug_GPS;

extern jmethodID MID_GPSReceiver_fireGPSpositionEvent;
extern jmethodID MID_GPSReceiver_positionNativeCallback;
extern jmethodID MID_GPSReceiver_positionNativeAreaCallback;
extern jmethodID MID_GPSReceiver_currentPositionNativeCallback;
extern jmethodID MID_GPSReceiver_lastPositionNativeCallback;
extern jfieldID FID_GPSReceiver_stopRequest;
extern jfieldID FID_GPSReceiver_geofencing;
extern jfieldID FID_GPSReceiver_fireNext;
extern jfieldID FID_GPSReceiver_fireCurrentPosition;
extern jfieldID FID_GPSReceiver_getRecordRecordName;
extern jfieldID FID_GPSReceiver_timeTrigger;
extern jfieldID FID_GPSReceiver_distanceTrigger;
extern jfieldID FID_GPSReceiver_speedTrigger;
extern jfieldID FID_GPSReceiver_trackedDistanceSpeedThreshold;

extern jclass CLASS_GPSPositionEvent;
extern jmethodID MID_GPSPositionEvent_init;
extern jfieldID FID_GPSPositionEvent_trackedDistance;
extern jmethodID MID_GPSPositionEvent_addNMEARecord;
extern jfieldID FID_GPSPositionEvent_triggerSpeedRaisingEdge;
extern jfieldID FID_GPSPositionEvent_triggerSpeedIndex;
extern jfieldID FID_GPSPositionEvent_type;
extern jfieldID FID_GPSPositionEvent_trusted;

// The parser self test behind GPSReceiver.dummy.
void parseRecordTest(JNIEnv *env, jobject receiver);
