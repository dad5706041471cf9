#include "gpsreader.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include "distance.h"
#include "gps.h"
#include "gpsjni.h"
#include "gpsreceiver.h"
#include "jnmea.h"
#include "jnu.h"

std::atomic<int> ggaSatellitThreshold{4};
std::atomic<float> ggaHDOPThreshold{6.0f};
std::atomic<int> ggaHeightJumpThreshold{60};
std::atomic<int> rmcSpeedJumpThreshold{50};
std::atomic<int> rmcValidCounterThreshold{30};
std::atomic<int> rmcSpeedJumpCounterThreshold{35};
std::atomic<int> ggaSatellitCounterThreshold{30};
std::atomic<int> ggaHDOPCounterThreshold{30};
std::atomic<int> ggaHeightJumpCounterThreshold{35};

std::atomic<int> distanceTrackerEnabled{0};
std::atomic<int> angleTrackerEnabled{0};
std::atomic<int> angleTriggerTreshold{90};
std::atomic<float> angleTriggerSpeedTreshold{16.19f};
std::atomic<float> geofencingSpeedThreshold{2.0f};

std::atomic<int> nmeaRecordRead{0};

int32_t evalCounters[kEvalCounters];

namespace
{

enum Counter { kValid, kSpeedJump, kGgaFix, kGgaSats, kGgaHdop, kHeightJump };

bool debugReceiver()
{
    return nativeDebug_GPSReceiver == 1;
}

int reloadValue(int index)
{
    switch (index) {
    case kValid:
    case kGgaFix:
        return rmcValidCounterThreshold;
    case kSpeedJump:
        return rmcSpeedJumpCounterThreshold;
    case kGgaSats:
        return ggaSatellitCounterThreshold;
    case kGgaHdop:
        return ggaHDOPCounterThreshold;
    default:
        return ggaHeightJumpCounterThreshold;
    }
}

void reload(int index)
{
    evalCounters[index] = reloadValue(index);
}

bool goodFix(char quality)
{
    return quality == '1' || quality == '2';
}

// |truncation of a difference|, without the undefined conversions that a
// receiver's absurd number would otherwise cause.
int64_t truncatedMagnitude(double difference)
{
    return std::llabs(static_cast<int64_t>(gpsfield::toInt32(difference)));
}

void printStars(int count)
{
    for (int i = 0; i < count; ++i) {
        std::putchar('*');
    }
    std::putchar('\n');
}

} // namespace

void initEvalCounters()
{
    for (int i = 0; i < kEvalCounters; ++i) {
        reload(i);
    }
}

void decEvalCounters(int index)
{
    if (evalCounters[index] > 0) {
        --evalCounters[index];
    }
}

void evaluateRMCRecord(NativeNmeaRecord current, NativeNmeaRecord previous)
{
    const bool debug = debugReceiver();
    if (current.rmc.status == 'A') {
        decEvalCounters(kValid);
    } else {
        if (debug) {
            std::printf("invalid rmc V \n");
        }
        reload(kValid);
    }
    const float difference = current.rmc.speed - previous.rmc.speed;
    const int64_t jump = truncatedMagnitude(difference);
    if (jump > rmcSpeedJumpThreshold) {
        if (debug) {
            std::printf("speed Jump\n");
            std::printf("speed current  %f\n", static_cast<double>(current.rmc.speed));
            std::printf("speed last  %f\n", static_cast<double>(previous.rmc.speed));
            std::printf("speed diff  %f\n", static_cast<double>(difference));
            std::printf("speed diff abs  %d\n", static_cast<int>(jump));
        }
        reload(kSpeedJump);
    } else {
        decEvalCounters(kSpeedJump);
    }
}

void evaluateGGARecord(NativeNmeaRecord current, NativeNmeaRecord previous)
{
    const bool debug = debugReceiver();
    if (goodFix(current.gga.fixQuality)) {
        decEvalCounters(kGgaFix);
    } else {
        if (debug) {
            std::printf("invalid GPS FIX\n");
        }
        reload(kGgaFix);
    }
    if (current.gga.numberOfSatellites < ggaSatellitThreshold) {
        if (debug) {
            std::printf("invalid GPS SATS\n");
        }
        reload(kGgaSats);
    } else {
        decEvalCounters(kGgaSats);
    }
    if (current.gga.hdop > static_cast<double>(ggaHDOPThreshold.load())) {
        if (debug) {
            std::printf("invalid GPS HDOP\n");
        }
        reload(kGgaHdop);
    } else {
        decEvalCounters(kGgaHdop);
    }
    const double difference = current.gga.altitude - previous.gga.altitude;
    const int64_t jump = truncatedMagnitude(difference);
    if (jump > ggaHeightJumpThreshold) {
        if (debug) {
            std::printf("Height Jump\n");
            std::printf("height Current %f\n", current.gga.altitude);
            std::printf("height Last %f\n", previous.gga.altitude);
            std::printf("height diff %f\n", difference);
            std::printf("height diff abs %d\n", static_cast<int>(jump));
        }
        reload(kHeightJump);
    } else {
        decEvalCounters(kHeightJump);
    }
}

int isGPSValidated()
{
    for (int32_t counter : evalCounters) {
        if (counter > 0) {
            return -1;
        }
    }
    return 1;
}

int isGPSValid(NativeNmeaRecord rmc, NativeNmeaRecord gga)
{
    if (rmc.rmc.status != 'A' || !goodFix(gga.gga.fixQuality) ||
        gga.gga.numberOfSatellites < ggaSatellitThreshold ||
        gga.gga.hdop > static_cast<double>(ggaHDOPThreshold.load())) {
        return 0;
    }
    return 1;
}

int isGPSValidTreshold(NativeNmeaRecord rmc, NativeNmeaRecord gga, int *graceCounter)
{
    if (*graceCounter >= rmcValidCounterThreshold) {
        *graceCounter = 0;
        return 0;
    }
    *graceCounter += isGPSValid(rmc, gga) == 0 ? 1 : -1;
    if (*graceCounter <= 0) {
        *graceCounter = 0;
        return 0;
    }
    return 1;
}

void printEvalCounters()
{
    if (!debugReceiver()) {
        return;
    }
    std::printf("\n\n");
    printStars(58);
    std::printf("VALID      Counter: %d\n", evalCounters[kValid]);
    std::printf("SpeedJump  Counter: %d\n", evalCounters[kSpeedJump]);
    std::printf("GGA FIX    Counter: %d\n", evalCounters[kGgaFix]);
    std::printf("GGA SATS   Counter: %d\n", evalCounters[kGgaSats]);
    std::printf("GGA HDOP   Counter: %d\n", evalCounters[kGgaHdop]);
    std::printf("HeightJump Counter: %d\n", evalCounters[kHeightJump]);
    printStars(62);
    std::printf("\n");
}

int GPS_timeTriggerFires(int period, int32_t currentTime, int32_t lastFiredTime)
{
    if (period < 0) {
        return 0;
    }
    // hhmmss integers, not seconds: 125959 to 130000 is 4041.
    const int64_t difference = std::llabs(static_cast<int64_t>(currentTime) - lastFiredTime);
    return difference >= period ? 1 : 0;
}

int GPS_speedBand(const float *thresholds, int count, float speed)
{
    int i = 0;
    while (i < count && thresholds[i] <= speed) {
        ++i;
    }
    return i - 1;
}

int GPS_speedEdge(int previousIndex, int currentIndex, int *index, int *edge)
{
    if (previousIndex == currentIndex) {
        return 0;
    }
    if (previousIndex < currentIndex) {
        *index = currentIndex;
        *edge = 1;
    } else {
        // The threshold that was crossed downward.
        *index = currentIndex + 1;
        *edge = -1;
    }
    return 1;
}

int isTimeTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current,
                  const NativeNmeaRecord *lastFired)
{
    const bool debug = debugReceiver();
    const int period = env->GetIntField(receiver, FID_GPSReceiver_timeTrigger);
    if (debug) {
        std::printf("isTimeTrigger() timeTriggerDiff: %d\n", period);
    }
    if (period < 0) {
        if (debug) {
            std::printf("isTimeTrigger() disabled, leave\n");
        }
        return 0;
    }
    if (debug) {
        std::printf("isTimeTrigger() newTime: %s lastFiredTime: %s\n", current->utcTime, lastFired->utcTime);
        std::printf("isTimeTrigger() newTime: %d lastFiredTime: %d\n", current->utcTimeInt,
                    lastFired->utcTimeInt);
    }
    const int fired = GPS_timeTriggerFires(period, current->utcTimeInt, lastFired->utcTimeInt);
    if (debug) {
        std::printf(fired ? "isTimeTrigger() fired\n" : "isTimeTrigger() not fired\n");
    }
    return fired;
}

int getSpeedTriggerIndex(JNIEnv *env, jobject receiver, float speed)
{
    JNU_LocalRef array(env, env->GetObjectField(receiver, FID_GPSReceiver_speedTrigger));
    if (array.get() == nullptr) {
        return -1;
    }
    const auto floats = static_cast<jfloatArray>(array.get());
    const jsize length = env->GetArrayLength(floats);
    if (length == 0) {
        return -2;
    }
    jfloat *elements = env->GetFloatArrayElements(floats, nullptr);
    if (elements == nullptr) {
        if (debugReceiver()) {
            std::printf("GPS: ERROR: getSpeedTriggerIndex() cannot access speedTriggers Array\n");
        }
        return -3;
    }
    const int band = GPS_speedBand(elements, length, speed);
    env->ReleaseFloatArrayElements(floats, elements, 0);
    return band;
}

int isSpeedTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current,
                   const NativeNmeaRecord *previous, int *index, int *edge)
{
    if (current->rmc.status != 'A' || previous->rmc.status != 'A') {
        return 0;
    }
    const int previousIndex = getSpeedTriggerIndex(env, receiver, previous->rmc.speed);
    const int currentIndex = getSpeedTriggerIndex(env, receiver, current->rmc.speed);
    if (previousIndex == -2 || currentIndex == -2) {
        if (debugReceiver()) {
            std::printf("no speed Triggers configured\n");
        }
        return 0;
    }
    if (previousIndex < -2 || currentIndex < -2) {
        if (debugReceiver()) {
            std::printf("GPS: ERROR: cannot get speedTriggerIndex\n");
        }
        return -1;
    }
    return GPS_speedEdge(previousIndex, currentIndex, index, edge);
}

int isDistanceTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current,
                      double distanceSinceFired)
{
    if (current->rmc.status != 'A') {
        return 0;
    }
    JNU_LocalRef outer(env, env->GetObjectField(receiver, FID_GPSReceiver_distanceTrigger));
    if (outer.get() == nullptr) {
        if (debugReceiver()) {
            std::printf("GPS: ERROR: getDistanceTrigger() cannot distanceTrigger array\n");
        }
        return -1;
    }
    const auto rows = static_cast<jobjectArray>(outer.get());
    const jsize length = env->GetArrayLength(rows);
    if (length == 0) {
        return -2;
    }
    // Reads {bound, distance} of one row; false when the row or its elements
    // are missing. A row shorter than two elements counts as missing.
    auto readRow = [&](jsize i, float *bound, float *metres, bool *rowMissing) {
        JNU_LocalRef row(env, env->GetObjectArrayElement(rows, i));
        if (row.get() == nullptr) {
            *rowMissing = true;
            return false;
        }
        const auto floats = static_cast<jfloatArray>(row.get());
        if (env->GetArrayLength(floats) < 2) {
            *rowMissing = false;
            return false;
        }
        jfloat *elements = env->GetFloatArrayElements(floats, nullptr);
        if (elements == nullptr) {
            *rowMissing = false;
            return false;
        }
        *bound = elements[0];
        *metres = elements[1];
        env->ReleaseFloatArrayElements(floats, elements, 0);
        return true;
    };
    double threshold = 0.0;
    bool matched = false;
    for (jsize i = 0; i < length; ++i) {
        float bound = 0.0f;
        float metres = 0.0f;
        bool rowMissing = false;
        if (!readRow(i, &bound, &metres, &rowMissing)) {
            if (debugReceiver()) {
                std::printf(rowMissing ? "GPS: ERROR: returned float array is NULL\n"
                                       : "GPS: ERROR: returned float array (distanceTrigger) is NULL\n");
            }
            matched = true; // the scan stops with threshold 0.0
            break;
        }
        if (bound > current->rmc.speed) {
            threshold = metres;
            matched = true;
            break;
        }
    }
    if (!matched) {
        // At or above every bound: the last row applies.
        float bound = 0.0f;
        float metres = 0.0f;
        bool rowMissing = false;
        if (!readRow(length - 1, &bound, &metres, &rowMissing)) {
            if (debugReceiver()) {
                std::printf(rowMissing ? "GPS: ERROR: returned float array is NULL (2)\n"
                                       : "GPS: ERROR: returned float array (distanceTrigger) is NULL (2)\n");
            }
            return rowMissing ? -3 : -4;
        }
        threshold = metres;
    }
    return threshold < distanceSinceFired ? 1 : 0;
}

int isAngleTrigger(const NativeNmeaRecord *current, const NativeNmeaRecord *lastFired, int *angleChange)
{
    if (!(current->rmc.speed > angleTriggerSpeedTreshold)) {
        return 0;
    }
    int64_t change = truncatedMagnitude(current->rmc.course - lastFired->rmc.course);
    if (360 - change < change) {
        change = 360 - change;
    }
    *angleChange = static_cast<int>(change);
    return change > angleTriggerTreshold ? 1 : 0;
}

int isAreaChangeTrigger(JNIEnv *env, jobject receiver, const NativeNmeaRecord *current)
{
    if (env->GetBooleanField(receiver, FID_GPSReceiver_geofencing) == JNI_FALSE) {
        return -1;
    }
    return current->rmc.status == 'A' ? 1 : -2;
}

int isForceFireNext(JNIEnv *env, jobject receiver)
{
    return env->GetBooleanField(receiver, FID_GPSReceiver_fireNext) == JNI_TRUE ? 1 : 0;
}

int isForceFireCurrentPosition(JNIEnv *env, jobject receiver)
{
    return env->GetBooleanField(receiver, FID_GPSReceiver_fireCurrentPosition) == JNI_TRUE ? 1 : 0;
}

int isRecordTypeFits(JNIEnv *env, jobject receiver, NativeNmeaRecord record)
{
    JNU_LocalRef name(env, env->GetObjectField(receiver, FID_GPSReceiver_getRecordRecordName));
    if (name.get() == nullptr) {
        return 0;
    }
    const auto text = static_cast<jstring>(name.get());
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        return 0;
    }
    const int fits = std::strcmp(chars, record.type) == 0 ? 1 : 0;
    env->ReleaseStringUTFChars(text, chars);
    return fits;
}

int32_t GPS_centimetres(double metres)
{
    return gpsfield::toInt32(metres * 100.0);
}

int32_t GPS_addDistance(int32_t total, int32_t add)
{
    const int64_t sum = static_cast<int64_t>(total) + add;
    return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

void GPS_trackRmc(GPS_ReaderState *state, const NativeNmeaRecord *rmc, int enabled, float speedThreshold)
{
    if (!state->trackedExists) {
        if (distance(rmc, rmc) >= 0.0) {
            state->trackedRmc = *rmc;
            state->trackedExists = 1;
        }
        return;
    }
    const double metres = distance(&state->trackedRmc, rmc);
    if (metres >= 0.0) {
        // An RMC without a position leaves the reference where it was.
        state->trackedRmc = *rmc;
    }
    if (enabled > 0 && metres > 0.0 && rmc->rmc.speed > speedThreshold) {
        const int32_t added = GPS_centimetres(metres);
        state->trackedDistance = GPS_addDistance(state->trackedDistance, added);
        if (debugReceiver()) {
            std::printf("GPS: trackedDistance: %d (added %d) currentSpeed: %f\n", state->trackedDistance, added,
                        static_cast<double>(rmc->rmc.speed));
        }
    } else if (enabled > 0 && metres < 0.0 && debugReceiver()) {
        std::printf("GPS: ERROR: cannot calc distance (2)\n");
    }
}

void GPS_initReaderState(GPS_ReaderState *state)
{
    std::memset(state, 0, sizeof *state);
}

int GPS_pairRecord(GPS_ReaderState *state, const NativeNmeaRecord *record)
{
    const bool debug = debugReceiver();
    if (std::strcmp(record->type, "RMC") == 0) {
        state->currentRmc = *record;
        state->rmcSeen = 1;
        if (state->ggaSeen == 1 && state->currentGga.utcTimeInt != record->utcTimeInt) {
            state->ggaSeen = 0;
            if (debug) {
                std::printf("gga utcTimeInt: %d\n", state->currentGga.utcTimeInt);
                std::printf("rmc utcTimeInt: %d\n", record->utcTimeInt);
                std::printf("TIMESTAMPS NOT IN SYNC \n");
            }
        }
    } else if (std::strcmp(record->type, "GGA") == 0) {
        state->currentGga = *record;
        state->ggaSeen = 1;
        if (state->rmcSeen == 1 && state->currentRmc.utcTimeInt != record->utcTimeInt) {
            state->rmcSeen = 0;
            if (debug) {
                std::printf("gga utcTimeInt: %d\n", record->utcTimeInt);
                std::printf("rmc utcTimeInt: %d\n", state->currentRmc.utcTimeInt);
                std::printf("TIMESTAMP NOT IN SYNC \n");
            }
        }
    }
    return (state->rmcSeen == 1 && state->ggaSeen == 1) ? 1 : 0;
}

void GPS_pairEvaluated(GPS_ReaderState *state, int fired)
{
    if (fired >= 1) {
        state->firedRmc = state->currentRmc;
        state->firedGga = state->currentGga;
        state->firedExists = 1;
        state->trackedDistance = 0;
    }
    state->previousGga = state->currentGga;
    state->previousRmc = state->currentRmc;
    state->previousExists = 1;
    state->rmcSeen = 0;
    state->ggaSeen = 0;
}

namespace
{

GPS_FaultFold checksumFaults; // one reader per process

int64_t steadySeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// The checksum test with its complaint folded (GPS_foldFault): true when
// the sentence is good.
bool checkedQuietly(const char *line)
{
    char computed[3];
    int dollar = 0;
    const GPS_ChecksumFault fault = GPS_checksumFault(line, &dollar, computed);
    if (fault == GPS_ChecksumFault::none) {
        return true;
    }
    uint64_t folded = 0;
    if (GPS_foldFault(checksumFaults, fault, steadySeconds(), &folded)) {
        char suffix[48] = "";
        if (folded > 0) {
            std::snprintf(suffix, sizeof suffix, " (%llu more folded)",
                          static_cast<unsigned long long>(folded));
        }
        GPS_printChecksumFault(fault, line, dollar, computed, suffix);
    }
    return false;
}

} // namespace

int GPS_getRecordFrom(JNIEnv *env, NativeNmeaRecord *record, GPS_ByteSource &source)
{
    char line[kNmeaLineBuffer];
    std::memset(line, 0, sizeof line);
    const int error = GPS_readSentence(&dataRead, source, line, sizeof line);
    if (error != 0) {
        const char *text = error == EISDIR  ? "errno: EISDIR"
                           : error == EBADF ? "errno: EBADF"
                                            : "errno: unkown";
        JNU_ThrowByName(env, "java.io.IOException", text);
        return -99;
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    record->eventTimeSec = static_cast<int32_t>(now.tv_sec);
    record->eventTimeUSec = static_cast<int32_t>(now.tv_usec);
    if (std::strlen(line) < 2) {
        return -1;
    }
    if (!checkedQuietly(line)) {
        return -2;
    }
    if (parseRecord(line, record) < 0) {
        if (debugReceiver()) {
            std::printf("GPS: GPS_getRecord() parser error\n");
        }
        return -3;
    }
    return 0;
}

int getRecord(JNIEnv *env, NativeNmeaRecord *record, int fd)
{
    GPS_DeviceSource source(fd, false);
    return GPS_getRecordFrom(env, record, source);
}

namespace
{

// Builds both record objects and an event holding them; false (nothing to
// release) when any of them cannot be made.
struct PairEvent {
    PairEvent(JNIEnv *env, const NativeNmeaRecord *rmc, const NativeNmeaRecord *gga)
        : rmcObject(env, createJNMEARecord(env, *rmc)),
          ggaObject(env, rmcObject.get() != nullptr ? createJNMEARecord(env, *gga) : nullptr),
          event(env, ggaObject.get() != nullptr && CLASS_GPSPositionEvent != nullptr && !env->ExceptionCheck()
                         ? env->NewObject(CLASS_GPSPositionEvent, MID_GPSPositionEvent_init)
                         : nullptr)
    {
        if (event.get() != nullptr) {
            env->CallVoidMethod(event.get(), MID_GPSPositionEvent_addNMEARecord, rmcObject.get());
            if (!env->ExceptionCheck()) {
                env->CallVoidMethod(event.get(), MID_GPSPositionEvent_addNMEARecord, ggaObject.get());
            }
        }
    }
    bool ready(JNIEnv *env) const { return event.get() != nullptr && !env->ExceptionCheck(); }

    JNU_LocalRef rmcObject;
    JNU_LocalRef ggaObject;
    JNU_LocalRef event;
};

void firePairCallback(JNIEnv *env, jobject receiver, jmethodID callback, const NativeNmeaRecord *rmc,
                      const NativeNmeaRecord *gga, int trusted)
{
    PairEvent pair(env, rmc, gga);
    if (!pair.ready(env)) {
        return;
    }
    env->SetBooleanField(pair.event.get(), FID_GPSPositionEvent_trusted, trusted == 1 ? JNI_TRUE : JNI_FALSE);
    env->CallVoidMethod(receiver, callback, pair.event.get());
}

} // namespace

void GPS_Multi_fireEvent(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                         const NativeNmeaRecord *gga, int type, int bandIndex, int edge,
                         int32_t trackedDistance)
{
    PairEvent pair(env, rmc, gga);
    if (!pair.ready(env)) {
        return;
    }
    jobject event = pair.event.get();
    env->SetIntField(event, FID_GPSPositionEvent_type, type);
    if (debugReceiver()) {
        std::printf("fireEvent() trackedDistance: %d\n", trackedDistance);
    }
    env->SetIntField(event, FID_GPSPositionEvent_trackedDistance, trackedDistance);
    if (type == kEventSpeedBand) {
        env->SetIntField(event, FID_GPSPositionEvent_triggerSpeedIndex, bandIndex);
        env->SetBooleanField(event, FID_GPSPositionEvent_triggerSpeedRaisingEdge,
                             edge > 0 ? JNI_TRUE : JNI_FALSE);
    }
    env->CallVoidMethod(receiver, MID_GPSReceiver_fireGPSpositionEvent, event);
}

void fireLastPositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                                    const NativeNmeaRecord *gga, int trusted)
{
    firePairCallback(env, receiver, MID_GPSReceiver_lastPositionNativeCallback, rmc, gga, trusted);
}

void fireCurrentPositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                                       const NativeNmeaRecord *gga, int trusted)
{
    firePairCallback(env, receiver, MID_GPSReceiver_currentPositionNativeCallback, rmc, gga, trusted);
}

void GPS_fireAreaCheckEvent(JNIEnv *env, jobject receiver, const NativeNmeaRecord *rmc,
                            const NativeNmeaRecord *gga)
{
    PairEvent pair(env, rmc, gga);
    if (!pair.ready(env)) {
        return;
    }
    // The answer is not used.
    JNU_LocalRef answer(
        env, env->CallObjectMethod(receiver, MID_GPSReceiver_positionNativeAreaCallback, pair.event.get()));
}

void firePositionNativeCallback(JNIEnv *env, jobject receiver, const NativeNmeaRecord *record)
{
    JNU_LocalRef object(env, createJNMEARecord(env, *record));
    if (object.get() == nullptr || env->ExceptionCheck()) {
        return;
    }
    env->CallVoidMethod(receiver, MID_GPSReceiver_positionNativeCallback, object.get());
}

int filteredFireEvent(JNIEnv *env, jobject receiver, NativeNmeaRecord currentRmc, NativeNmeaRecord currentGga,
                      NativeNmeaRecord previousRmc, NativeNmeaRecord previousGga,
                      const NativeNmeaRecord *firedRmcPtr, const NativeNmeaRecord *firedGgaPtr,
                      int32_t trackedDistance, int *qualityState, int *graceCounter)
{
    const bool debug = debugReceiver();
    NativeNmeaRecord firedRmc;
    NativeNmeaRecord firedGga;
    std::memset(&firedRmc, 0, sizeof firedRmc);
    std::memset(&firedGga, 0, sizeof firedGga);
    const bool firedExists = firedRmcPtr != nullptr;
    if (firedRmcPtr != nullptr) {
        firedRmc = *firedRmcPtr;
    }
    if (firedGgaPtr != nullptr) {
        firedGga = *firedGgaPtr;
    }
    const NativeNmeaRecord *rmc = &currentRmc;
    const NativeNmeaRecord *gga = &currentGga;
    // A callback that throws does not end the loop: its exception is
    // described on standard error and cleared, and the evaluation goes on.
    auto thrown = [env] { return GPS_settleCallbackException(env); };

    const int trusted = isGPSValid(currentRmc, currentGga);
    fireLastPositionNativeCallback(env, receiver, rmc, gga, trusted);
    thrown();
    bool forced = false;
    if (isForceFireCurrentPosition(env, receiver)) {
        env->SetBooleanField(receiver, FID_GPSReceiver_fireCurrentPosition, JNI_FALSE);
        fireCurrentPositionNativeCallback(env, receiver, rmc, gga, trusted);
        thrown();
        forced = true;
    }
    if (isGPSValidTreshold(currentRmc, currentGga, graceCounter) > 0) {
        // Skipped pairs are no fire: the tracked distance keeps growing and
        // the distance and heading triggers stay measured from the last
        // position that was really delivered.
        return 0;
    }
    evaluateRMCRecord(currentRmc, previousRmc);
    evaluateGGARecord(currentGga, previousGga);
    if (isGPSValidated() < 0) {
        if (debug) {
            std::printf("BAD GPS-Quality\n");
        }
        printEvalCounters();
        if (*qualityState == 1) {
            *qualityState = 0;
            GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventQualityLost, 0, 0, trackedDistance);
            if (debug) {
                std::printf("\nGPS: REASON: GPS Quality lost\n");
            }
            return 1;
        }
        return 0;
    }
    if (*qualityState == 0) {
        *qualityState = 1;
        GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventQualityRestored, 0, 0, trackedDistance);
        if (debug) {
            std::printf("\nGPS: REASON: GPS Quality restored\n");
        }
        thrown();
        if (isAreaChangeTrigger(env, receiver, rmc) > 0) {
            GPS_fireAreaCheckEvent(env, receiver, rmc, gga);
        }
        return 1;
    }

    float metres = 0.0f;
    if (firedExists) {
        metres = static_cast<float>(distance(&firedRmc, rmc));
        if (metres == -1.0f) {
            if (debug) {
                std::printf("GPS: cannot calc distance (1)\n");
            }
            metres = 0.0f;
        }
    }
    if (isTimeTrigger(env, receiver, rmc, &firedRmc) >= 1) {
        if (debug) {
            std::printf("\nGPS: REASON: time trigger\n");
        }
        GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventTime, 0, 0, trackedDistance);
        return 1;
    }
    int bandIndex = 0;
    int edge = 0;
    if (isSpeedTrigger(env, receiver, rmc, &previousRmc, &bandIndex, &edge) >= 1) {
        if (debug) {
            std::printf("\nGPS: REASON: speed trigger. triggerIndex: %d edge: %d\n", bandIndex, edge);
        }
        GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventSpeedBand, bandIndex, edge, trackedDistance);
        thrown();
    }
    if (isDistanceTrigger(env, receiver, rmc, metres) >= 1) {
        if (debug) {
            std::printf("\nGPS: REASON: distance trigger. dist: %f\n", static_cast<double>(metres));
        }
        GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventDistance, 0, 0, trackedDistance);
        return 1;
    }
    if ((forced || currentRmc.rmc.speed > geofencingSpeedThreshold) &&
        isAreaChangeTrigger(env, receiver, rmc) > 0) {
        GPS_fireAreaCheckEvent(env, receiver, rmc, gga);
        thrown();
    }
    int angleChange = 0;
    if (angleTrackerEnabled > 0 && firedExists && isAngleTrigger(rmc, &firedRmc, &angleChange) >= 1) {
        if (debug) {
            std::printf("\nGPS: REASON: angle trigger. angleChange: %d\n", angleChange);
        }
        GPS_Multi_fireEvent(env, receiver, rmc, gga, kEventHeading, 0, 0, trackedDistance);
        return 1;
    }
    return 0;
}

bool GPS_settleCallbackException(JNIEnv *env)
{
    if (env->ExceptionCheck() == JNI_FALSE) {
        return false;
    }
    std::fprintf(stderr, "GPS: a callback threw; the reader goes on:\n");
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

void startReading(JNIEnv *env, jobject receiver, int fd)
{
    // About 1.4 KB of records: kept off the caller's stack frame.
    GPS_ReaderState *state = static_cast<GPS_ReaderState *>(std::calloc(1, sizeof(GPS_ReaderState)));
    if (state == nullptr) {
        JNU_ThrowByName(env, "java.lang.OutOfMemoryError", "reader state");
        return;
    }
    GPS_initReaderState(state);
    initEvalCounters();
    printEvalCounters();
    GPS_DeviceSource source(fd, true);
    NativeNmeaRecord work;
    while (env->GetBooleanField(receiver, FID_GPSReceiver_stopRequest) == JNI_FALSE) {
        std::memset(&work, 0, sizeof work);
        const int result = GPS_getRecordFrom(env, &work, source);
        if (result == -99) {
            if (debugReceiver()) {
                std::printf("!!!!!!!!!!!!!        RecordResult is -99 check it     !!!!!!!!!!!!!!!!     \n");
            }
            break;
        }
        if (result == 0) {
            nmeaRecordRead = 1;
            if (isForceFireNext(env, receiver) && isRecordTypeFits(env, receiver, work)) {
                env->SetBooleanField(receiver, FID_GPSReceiver_fireNext, JNI_FALSE);
                if (debugReceiver()) {
                    std::printf("\nGPS: REASON: force fire %s\n", work.type);
                }
                firePositionNativeCallback(env, receiver, &work);
                GPS_settleCallbackException(env);
            }
            if (std::strcmp(work.type, "RMC") == 0) {
                const float threshold =
                    env->GetFloatField(receiver, FID_GPSReceiver_trackedDistanceSpeedThreshold);
                GPS_trackRmc(state, &work, distanceTrackerEnabled, threshold);
            }
            if (GPS_pairRecord(state, &work) == 1) {
                const int fired =
                    filteredFireEvent(env, receiver, state->currentRmc, state->currentGga, state->previousRmc,
                                      state->previousGga, state->firedExists ? &state->firedRmc : nullptr,
                                      state->firedExists ? &state->firedGga : nullptr, state->trackedDistance,
                                      &state->qualityState, &state->graceCounter);
                GPS_pairEvaluated(state, fired);
            }
            GPS_settleCallbackException(env);
        }
    }
    std::free(state);
}
