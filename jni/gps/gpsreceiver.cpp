#include "gpsreceiver.h"

#include <cstdio>
#include <cstring>

#include "comm.h"
#include "gps.h"
#include "gpsjni.h"
#include "gpsreader.h"
#include "jgga.h"
#include "jnmea.h"
#include "jposition.h"
#include "jrmc.h"
#include "jnu.h"

std::atomic<unsigned char> nativeDebug_GPSReceiver{0};
std::atomic<unsigned char> nativeDebug_GPSFilter{0};
std::atomic<unsigned char> nativeDebug_GPS{0};

jmethodID MID_GPSReceiver_fireGPSpositionEvent;
jmethodID MID_GPSReceiver_positionNativeCallback;
jmethodID MID_GPSReceiver_positionNativeAreaCallback;
jmethodID MID_GPSReceiver_currentPositionNativeCallback;
jmethodID MID_GPSReceiver_lastPositionNativeCallback;
jfieldID FID_GPSReceiver_stopRequest;
jfieldID FID_GPSReceiver_geofencing;
jfieldID FID_GPSReceiver_fireNext;
jfieldID FID_GPSReceiver_fireCurrentPosition;
jfieldID FID_GPSReceiver_getRecordRecordName;
jfieldID FID_GPSReceiver_timeTrigger;
jfieldID FID_GPSReceiver_distanceTrigger;
jfieldID FID_GPSReceiver_speedTrigger;
jfieldID FID_GPSReceiver_trackedDistanceSpeedThreshold;

jclass CLASS_GPSPositionEvent;
jmethodID MID_GPSPositionEvent_init;
jfieldID FID_GPSPositionEvent_trackedDistance;
jmethodID MID_GPSPositionEvent_addNMEARecord;
jfieldID FID_GPSPositionEvent_triggerSpeedRaisingEdge;
jfieldID FID_GPSPositionEvent_triggerSpeedIndex;
jfieldID FID_GPSPositionEvent_type;
jfieldID FID_GPSPositionEvent_trusted;

namespace
{

constexpr const char *kIOException = "java.io.IOException";
constexpr const char *kIllegalArgument = "java.lang.IllegalArgumentException";
constexpr const char *kNegative = "parameter cannot be less then 0";

// The parser self test: sentence, whether the parse input carries CR LF.
struct SelfTestCase {
    const char *sentence;
    bool crlf;
};
constexpr SelfTestCase kSelfTest[] = {
    {"$GPRMC,003225.162,V,,,,,,,110905,,,N*42", false},
    {"$GPRMC,085256.818,V,,,,,,,120606,,,N*43", true},
    {"$GPRMC,082051.906,V,0000.0000,N,00000.0000,E,,,110905,,*19", true},
    {"$GPRMC,155133.000,A,4821.4254,N,01145.9934,E,0.06,119.82$PSRFTXT,Version:  "
     "GSW3.5.0Telit_3.5.00.00-C23P2.00a *23",
     true},
    {"$GPRMC,064216.000,A,4821.3895,N,01147.8503,E,0.07,53.8$PSRFTXT,Version: "
     "GSW3.5.0Telit_3.5.00.00-C23P2.00a *23",
     true},
    {"$GPRMC,,V,,,,,,,,,,N*53", true},
    {"$GPGGA,123632.00,,,,,0,00,99.99,,,,,,*61", true},
    {"$GPRMC,123651.00,A,4907.52446,N,01001.86485,E,0.064,,060910,,,A*72", true},
};

bool setNonNegative(JNIEnv *env, jint value, std::atomic<int> &global)
{
    if (value < 0) {
        JNU_ThrowByName(env, kIllegalArgument, kNegative);
        return false;
    }
    global = value;
    return true;
}

void setNonNegative(JNIEnv *env, jfloat value, std::atomic<float> &global)
{
    if (value < 0.0f) {
        JNU_ThrowByName(env, kIllegalArgument, kNegative);
        return;
    }
    // NaN compares false with every bound: as a threshold it would make
    // every value pass or fail.
    if (value != value) {
        JNU_ThrowByName(env, kIllegalArgument, "parameter is not a number");
        return;
    }
    global = value;
}

// GetStringUTFChars released on every path.
class Utf
{
  public:
    Utf(JNIEnv *env, jstring text)
        : env_(env), text_(text), chars_(text != nullptr ? env->GetStringUTFChars(text, nullptr) : nullptr)
    {
    }
    ~Utf()
    {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(text_, chars_);
        }
    }
    Utf(const Utf &) = delete;
    Utf &operator=(const Utf &) = delete;
    const char *get() const { return chars_; }

  private:
    JNIEnv *env_;
    jstring text_;
    const char *chars_;
};

} // namespace

void parseRecordTest(JNIEnv *, jobject)
{
    NativeNmeaRecord scratch;
    std::memset(&scratch, 0, sizeof scratch);
    int number = 1;
    for (const SelfTestCase &test : kSelfTest) {
        char input[kNmeaLineBuffer + 2];
        std::snprintf(input, sizeof input, "%s%s", test.sentence, test.crlf ? "\r\n" : "");
        const int parseResult = parseRecord(input, &scratch);
        const int checksumResult = isChecksumValid(test.sentence);
        if (nativeDebug_GPSReceiver == 1) {
            std::printf("parseRecord() (%d) result: %d, checksumResult=%d\n", number, parseResult,
                        checksumResult);
        }
        ++number;
    }
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_initNativeIDs(JNIEnv *env, jclass clazz)
{
    JNU_LookupBatch batch(env);
    MID_GPSReceiver_fireGPSpositionEvent = batch(
        JNU_GetMethodID(env, clazz, "fireGPSpositionEvent", "(Lde/zavrio/quilmar/gps/GPSPositionEvent;)V"));
    MID_GPSReceiver_positionNativeCallback = batch(JNU_GetMethodID(
        env, clazz, "positionNativeCallback", "(Lde/zavrio/quilmar/gps/records/NMEARecord;)V"));
    MID_GPSReceiver_positionNativeAreaCallback =
        batch(JNU_GetMethodID(env, clazz, "positionNativeAreaCallback",
                              "(Lde/zavrio/quilmar/gps/GPSPositionEvent;)Ljava/lang/String;"));
    MID_GPSReceiver_currentPositionNativeCallback = batch(JNU_GetMethodID(
        env, clazz, "currentPositionNativeCallback", "(Lde/zavrio/quilmar/gps/GPSPositionEvent;)V"));
    MID_GPSReceiver_lastPositionNativeCallback = batch(JNU_GetMethodID(
        env, clazz, "lastPositionNativeCallback", "(Lde/zavrio/quilmar/gps/GPSPositionEvent;)V"));
    FID_GPSReceiver_stopRequest = batch(JNU_GetFieldID(env, clazz, "stopRequest", "Z"));
    FID_GPSReceiver_geofencing = batch(JNU_GetFieldID(env, clazz, "geofencing", "Z"));
    FID_GPSReceiver_fireNext = batch(JNU_GetFieldID(env, clazz, "fireNext", "Z"));
    FID_GPSReceiver_fireCurrentPosition = batch(JNU_GetFieldID(env, clazz, "fireCurrentPosition", "Z"));
    FID_GPSReceiver_getRecordRecordName =
        batch(JNU_GetFieldID(env, clazz, "getRecordRecordName", "Ljava/lang/String;"));
    FID_GPSReceiver_timeTrigger = batch(JNU_GetFieldID(env, clazz, "timeTrigger", "I"));
    FID_GPSReceiver_distanceTrigger = batch(JNU_GetFieldID(env, clazz, "distanceTrigger", "[[F"));
    FID_GPSReceiver_speedTrigger = batch(JNU_GetFieldID(env, clazz, "speedTrigger", "[F"));
    FID_GPSReceiver_trackedDistanceSpeedThreshold =
        batch(JNU_GetFieldID(env, clazz, "trackedDistanceSpeedThreshold", "F"));
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSPositionEvent_initNativeIDs(JNIEnv *env, jclass clazz)
{
    JNU_LookupBatch batch(env);
    CLASS_GPSPositionEvent = static_cast<jclass>(env->NewGlobalRef(clazz));
    MID_GPSPositionEvent_init = batch(env->GetMethodID(clazz, "<init>", "()V"));
    FID_GPSPositionEvent_trackedDistance = batch(JNU_GetFieldID(env, clazz, "trackedDistance", "I"));
    MID_GPSPositionEvent_addNMEARecord =
        batch(JNU_GetMethodID(env, clazz, "addNMEARecord", "(Lde/zavrio/quilmar/gps/records/NMEARecord;)V"));
    FID_GPSPositionEvent_triggerSpeedRaisingEdge =
        batch(JNU_GetFieldID(env, clazz, "triggerSpeedRaisingEdge", "Z"));
    FID_GPSPositionEvent_triggerSpeedIndex = batch(JNU_GetFieldID(env, clazz, "triggerSpeedIndex", "I"));
    FID_GPSPositionEvent_type = batch(JNU_GetFieldID(env, clazz, "type", "I"));
    FID_GPSPositionEvent_trusted = batch(JNU_GetFieldID(env, clazz, "trusted", "Z"));
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_openSerialDevice(JNIEnv *env, jobject,
                                                                               jstring path, jint rate)
{
    if (path == nullptr) {
        JNU_ThrowByName(env, "java.lang.NullPointerException", "path");
        return;
    }
    Utf text(env, path);
    if (text.get() == nullptr) {
        return;
    }
    gpsfd = -1; // an open device is closed by the open
    gpsfd = openDevice(text.get());
    if (gpsfd < 0) {
        JNU_ThrowByName(env, "java.io.FileNotFoundException", text.get());
        return;
    }
    if (configureDevice(gpsfd, COMM_getSpeed(rate)) < 0) {
        if (closeDevice(gpsfd) >= 0) {
            gpsfd = -1;
        }
        JNU_ThrowByName(env, kIOException, "cannot configure device");
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_closeSerialDevice(JNIEnv *env, jobject)
{
    if (closeDevice(gpsfd) < 0) {
        JNU_ThrowByName(env, kIOException, "cannot close device");
        return;
    }
    gpsfd = -1;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_startReading(JNIEnv *env, jobject receiver)
{
    // The record classes set up their native IDs when the VM initialises
    // them; one the application has not used yet is initialised here, so
    // that the loop never runs without being able to deliver a record.
    for (const char *name : {"de/zavrio/quilmar/gps/records/RMC", "de/zavrio/quilmar/gps/records/GGA",
                             "de/zavrio/quilmar/gps/GPSPositionEvent"}) {
        JNU_LocalRef found(env, env->FindClass(name));
        if (found.get() == nullptr) {
            return; // NoClassDefFoundError or the initialiser's exception is pending
        }
    }
    if (CLASS_RMC == nullptr || CLASS_GGA == nullptr || CLASS_BaseNMEARecord == nullptr ||
        CLASS_GPSAngle == nullptr || CLASS_GPSPositionEvent == nullptr) {
        JNU_ThrowByName(env, "java.lang.IllegalStateException", "GPS record classes not initialised");
        return;
    }
    startReading(env, receiver, gpsfd);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_writeCmd(JNIEnv *env, jobject, jstring command)
{
    if (command == nullptr) {
        JNU_ThrowByName(env, "java.lang.NullPointerException", "command");
        return;
    }
    Utf text(env, command);
    if (text.get() == nullptr) {
        return;
    }
    if (writeNMEAcmd(gpsfd, text.get()) < 0) {
        JNU_ThrowByName(env, kIOException, "cannot write command");
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_writeVendorSpecificCmd(JNIEnv *env, jobject,
                                                                                     jbyteArray data)
{
    if (data == nullptr) {
        JNU_ThrowByName(env, "java.lang.NullPointerException", "data");
        return;
    }
    const jsize length = env->GetArrayLength(data);
    jbyte *bytes = env->GetByteArrayElements(data, nullptr);
    if (bytes == nullptr) {
        return;
    }
    const ssize_t written = writeVendorSpecificCmd(gpsfd, bytes, static_cast<size_t>(length));
    env->ReleaseByteArrayElements(data, bytes, 0);
    if (written < 0) {
        JNU_ThrowByName(env, kIOException, "cannot write command");
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_dummy(JNIEnv *env, jobject receiver)
{
    parseRecordTest(env, receiver);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_setNativeLogging(JNIEnv *, jobject, jboolean on)
{
    nativeDebug_GPSReceiver = on;
    nativeDebug_GPSFilter = on;
    nativeDebug_GPS = on;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_setMultiGnssTalkers(JNIEnv *, jobject, jboolean on)
{
    multiGnssTalkers = on == JNI_TRUE ? 1 : 0;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_isMultiGnssTalkers(JNIEnv *, jobject)
{
    return multiGnssTalkers != 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_isRecordReadAndReset(JNIEnv *, jobject)
{
    return nmeaRecordRead.exchange(0) > 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_isDataReadAndReset(JNIEnv *, jobject)
{
    return dataRead.exchange(0) > 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_isDistanceTracker(JNIEnv *, jobject)
{
    return distanceTrackerEnabled > 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_setDistanceTracker(JNIEnv *, jobject,
                                                                                 jboolean on)
{
    distanceTrackerEnabled = on == JNI_TRUE ? 1 : 0;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_setAngleTracker(JNIEnv *, jobject, jboolean on)
{
    angleTrackerEnabled = on == JNI_TRUE ? 1 : 0;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_getSatellitThreshold(JNIEnv *, jobject)
{
    return ggaSatellitThreshold;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_getSatellitCounterThreshold(JNIEnv *, jobject)
{
    return ggaSatellitCounterThreshold;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_getHdopCounterThreshold(JNIEnv *, jobject)
{
    return ggaHDOPCounterThreshold;
}

#define GPS_INT_SETTER(method, global)                                                                       \
    JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_##method(JNIEnv *env, jobject, jint value) \
    {                                                                                                        \
        setNonNegative(env, value, global);                                                                  \
    }

GPS_INT_SETTER(setSatellitThreshold, ggaSatellitThreshold)
GPS_INT_SETTER(setSatellitCounterThreshold, ggaSatellitCounterThreshold)
GPS_INT_SETTER(setSpeedJumpCounterThreshold, rmcSpeedJumpCounterThreshold)
GPS_INT_SETTER(setHeightJumpCounterThreshold, ggaHeightJumpCounterThreshold)
GPS_INT_SETTER(setSpeedJumpThreshold, rmcSpeedJumpThreshold)
GPS_INT_SETTER(setHeightJumpThreshold, ggaHeightJumpThreshold)
GPS_INT_SETTER(setRmcValidCounterThreshold, rmcValidCounterThreshold)
GPS_INT_SETTER(setHdopCounterThreshold, ggaHDOPCounterThreshold)
GPS_INT_SETTER(setAngleTriggerTreshold, angleTriggerTreshold)

#define GPS_FLOAT_SETTER(method, global)                                                                     \
    JNIEXPORT void JNICALL Java_de_zavrio_quilmar_gps_GPSReceiver_##method(JNIEnv *env, jobject,             \
                                                                           jfloat value)                     \
    {                                                                                                        \
        setNonNegative(env, value, global);                                                                  \
    }

GPS_FLOAT_SETTER(setHdopThreshold, ggaHDOPThreshold)
GPS_FLOAT_SETTER(setGeofencingSpeedThreshold, geofencingSpeedThreshold)
GPS_FLOAT_SETTER(setAngleTriggerSpeedTreshold, angleTriggerSpeedTreshold)

} // extern "C"
