// Java binding of the CAN library: the natives of de.zavrio.quilmar.io.can
// (CANBus, CANMessage, CANMessageFilter, CheckTimeoutTimerTask). canids holds
// the identifier caches, canreader the loop, its reads, the filter loading
// and the delivery, cantransmit the three transmit paths, canbus the open,
// command and watchdog entries; canraise what Java sees raised.
#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>

#include "canfilter.h"

// Set by every reader cycle after its first read, cleared by the watchdog.
extern std::atomic<unsigned char> timeoutFlag;
// Pause before and after each write, nanoseconds (set by openCanDevice).
extern std::atomic<int32_t> writeSleeptime;

// Results of CAN_readRecords besides a record count.
inline constexpr int kReadStopped = -2; // fd was set negative while waiting
inline constexpr int kReadFailed = -99; // the device is gone; exception pending

// Up to CAN_RX_RECORDS records into `records`: the count (0 when nothing
// came or the read failed transiently), kReadStopped, or kReadFailed with
// an IOException pending when the device is gone. A blocking read waits in
// slices, re-reading the Java field fd between them.
int CAN_readRecords(JNIEnv *env, jobject bus, int fd, bool blocking, canmsg_t *records);
// A new descriptor from openCanDevice: a close of an earlier one with the
// same number no longer stops readers.
void CAN_readerOpened(int fd);
// Copies at most 8 bytes of a Java byte array (shorter arrays leave the rest
// of `out` as it is). Returns the number copied.
int CAN_copyBytes(JNIEnv *env, jbyteArray array, uint8_t *out);

// Fills `table` from the Java CANMessageFilter array (at most
// CAN_MAX_FILTERS elements, checked by the caller). 0, or -1 for a null
// element.
int copyFilterArray(CanFilterEntry *table, jobjectArray filters, JNIEnv *env);

// Decides and delivers `count` records in read order.
void HandleReceivedCANMessage(JNIEnv *env, jobject bus, CanFilterEntry *table, int filters, int count,
                              const canmsg_t *records);
int CAN_isEventInteressting(JNIEnv *env, jobject bus, CanFilterEntry *table, int filters, canmsg_t m);
void CAN_fireEvent(canmsg_t m, int decision, JNIEnv *env, jobject bus);

// Transmit paths. writeCANMessage returns the write result (1 queued, 0
// nothing queued in time, -1 error).
int writeCANMessage(JNIEnv *env, jobject message, int fd);
void writePendingMessage(JNIEnv *env, jobject bus, int fd);
void writePendingMessages(JNIEnv *env, jobject bus, int fd);

extern "C" {
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_initNativeIds(JNIEnv *, jclass);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANMessage_initNativeIds(JNIEnv *, jclass);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANMessageFilter_initNativeIds(JNIEnv *, jclass);
JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_can_CANBus_openCanDevice(JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_closeCanDevice(JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_reset(JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_resetCloseAndOpen(JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_readMessages(JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_writeMessage(JNIEnv *, jobject, jobject);
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_setNativeLogging(JNIEnv *, jobject, jboolean);
JNIEXPORT jboolean JNICALL
Java_de_zavrio_quilmar_io_can_CheckTimeoutTimerTask_checkAndResetTimeoutFlag(JNIEnv *, jobject);
}
