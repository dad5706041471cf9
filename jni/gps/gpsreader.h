// The reader loop: sentence reading, RMC/GGA pairing, fix-quality judgement,
// position triggers and delivery of position events to Java.
#pragma once

#include <atomic>
#include <cstdint>
#include <jni.h>

#include "gpsrecords.h"

// Fix-quality thresholds and reload values; setters run on other threads.
extern std::atomic<int> ggaSatellitThreshold;
extern std::atomic<float> ggaHDOPThreshold;
extern std::atomic<int> ggaHeightJumpThreshold;
extern std::atomic<int> rmcSpeedJumpThreshold;
extern std::atomic<int> rmcValidCounterThreshold;
extern std::atomic<int> rmcSpeedJumpCounterThreshold;
extern std::atomic<int> ggaSatellitCounterThreshold;
extern std::atomic<int> ggaHDOPCounterThreshold;
extern std::atomic<int> ggaHeightJumpCounterThreshold;

// Trigger settings.
extern std::atomic<int> distanceTrackerEnabled;
extern std::atomic<int> angleTrackerEnabled;
extern std::atomic<int> angleTriggerTreshold;
extern std::atomic<float> angleTriggerSpeedTreshold;
extern std::atomic<float> geofencingSpeedThreshold;

// Set after every record read, checked and parsed; cleared from Java.
extern std::atomic<int> nmeaRecordRead;

// VALID, SpeedJump, GGA FIX, GGA SATS, GGA HDOP, HeightJump.
constexpr int kEvalCounters = 6;
extern int32_t evalCounters[kEvalCounters];

// Position event types.
enum : int {
    kEventSpeedBand = 3,
    kEventDistance = 4,
    kEventQualityLost = 5,
    kEventQualityRestored = 6,
    kEventTime = 10,
    kEventHeading = 11,
};

// Fix quality.
void initEvalCounters();
void decEvalCounters(int index);
void evaluateRMCRecord(NativeNmeaRecord current, NativeNmeaRecord previous);
void evaluateGGARecord(NativeNmeaRecord current, NativeNmeaRecord previous);
int isGPSValidated();
int isGPSValid(NativeNmeaRecord rmc, NativeNmeaRecord gga);
int isGPSValidTreshold(NativeNmeaRecord rmc, NativeNmeaRecord gga, int *graceCounter);
void printEvalCounters();

// Triggers. The Java-facing ones read the receiver's fields at each call.
int GPS_timeTriggerFires(int period, int32_t currentTime, int32_t lastFiredTime);
int GPS_speedBand(const float *thresholds, int count, float speed);
int GPS_speedEdge(int previousIndex, int currentIndex, int *index, int *edge);
int isTimeTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current,
                  const NativeNmeaRecord *lastFired);
int getSpeedTriggerIndex(JNIEnv *env, jobject receiver, float speed);
int isSpeedTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current,
                   const NativeNmeaRecord *previous, int *index, int *edge);
int isDistanceTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current, double distance);
int isAngleTrigger(const NativeNmeaRecord *current, const NativeNmeaRecord *lastFired, int *angleChange);
int isAreaChangeTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current);
int isForceFireNext(JNIEnv *env, jobject receiver);
int isForceFireCurrentPosition(JNIEnv *env, jobject receiver);
int isRecordTypeFits(JNIEnv *env, jobject receiver, NativeNmeaRecord record);

// Whole centimetres of a distance in metres (truncated, saturating).
int32_t GPS_centimetres(double metres);
// Adds without wrapping past INT32_MAX.
int32_t GPS_addDistance(int32_t total, int32_t add);

// State of one run of the loop.
struct GPS_ReaderState {
    NativeNmeaRecord currentRmc;
    NativeNmeaRecord currentGga;
    NativeNmeaRecord previousRmc;
    NativeNmeaRecord previousGga;
    NativeNmeaRecord firedRmc;
    NativeNmeaRecord firedGga;
    NativeNmeaRecord trackedRmc; // the last RMC the tracked distance was measured to
    int trackedExists;
    int rmcSeen;
    int ggaSeen;
    int previousExists;
    int firedExists;
    int32_t trackedDistance;
    int qualityState;
    int graceCounter;
};

// Adds the way from the last RMC measured to this RMC to the tracked
// distance when tracking is on and the speed is above the threshold; every
// RMC with a usable position becomes the reference of the next one.
void GPS_trackRmc(GPS_ReaderState *state, const NativeNmeaRecord *rmc, int enabled, float speedThreshold);
// Cleared state for a new run.
void GPS_initReaderState(GPS_ReaderState *state);
// Takes one parsed record into the pairing (RMC or GGA; others are ignored).
// A record whose partner carries another time discards the partner. Returns
// 1 when the current RMC and GGA now form a pair.
int GPS_pairRecord(GPS_ReaderState *state, const NativeNmeaRecord *record);
// After the pair was evaluated: a fire moves the fired references and
// restarts the tracked distance; the pair becomes the previous one.
void GPS_pairEvaluated(GPS_ReaderState *state, int fired);

// Java-side steps. getRecord: 0, -1 shorter than 2 characters, -2 checksum,
// -3 parse failed, -99 read error with "java.io.IOException" pending.
int getRecord(JNIEnv *env, NativeNmeaRecord *record, int fd);
class GPS_ByteSource;
int GPS_getRecordFrom(JNIEnv *env, NativeNmeaRecord *record, GPS_ByteSource &source);
void startReading(JNIEnv *env, jobject receiver, int fd);
// Describes (on standard error) and clears a pending exception thrown by a
// Java callback; true when there was one.
bool GPS_settleCallbackException(JNIEnv *env);
int filteredFireEvent(JNIEnv *env, jobject receiver, NativeNmeaRecord currentRmc, NativeNmeaRecord currentGga,
                      NativeNmeaRecord previousRmc, NativeNmeaRecord previousGga,
                      const NativeNmeaRecord *firedRmc, const NativeNmeaRecord *firedGga,
                      int32_t trackedDistance, int *qualityState, int *graceCounter);
void GPS_Multi_fireEvent(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                         const NativeNmeaRecord *gga, int type, int bandIndex, int edge,
                         int32_t trackedDistance);
void fireLastPositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                                    const NativeNmeaRecord *gga, int trusted);
void fireCurrentPositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                                       const NativeNmeaRecord *gga, int trusted);
void GPS_fireAreaCheckEvent(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                            const NativeNmeaRecord *gga);
void firePositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *record);
