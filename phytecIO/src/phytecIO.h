// Globals and helpers shared by the units of ionative: the debug flags, the
// identifier caches and the descriptors of the outputs and LEDs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <jni.h>
#include <sys/types.h>

#include "gpio_event.h"

// Debug output of a unit when equal to 1 (QuilmarIOPhytecImpl.setNativeLogging).
extern std::atomic<unsigned char> nativeDebug_phytecAnalogIO;
extern std::atomic<unsigned char> nativeDebug_phytecDigitalIO;
extern std::atomic<unsigned char> nativeDebug_phytecDigitalEvent;

extern jmethodID MID_addEvent;
extern jfieldID FID_address;
extern jfieldID FID_booleanValue;
extern jfieldID FID_sequenceNumber;
extern jfieldID FID_type;
extern jfieldID FID_raise;
extern jmethodID MID_quilmarIOEvent_constructor;
extern jmethodID MID_setEventTime;
extern jmethodID MID_setNotifyTime;
extern jclass CLASS_quilmarIOEvent;

constexpr int kDigitalOutputs = 4;
constexpr int kDigitalInputs = 16;
constexpr int kLEDs = 2;

extern int phytecDigitalOut_fds[kDigitalOutputs];
extern int phytecLED_fds[kLEDs];

inline constexpr const char *kIOException = "java.io.IOException";
inline constexpr const char *kFileNotFoundException = "java.io.FileNotFoundException";
inline constexpr const char *kIllegalArgumentException = "java.lang.IllegalArgumentException";

// Reads until `length` bytes are in, repeating a read that fails with EINTR
// or EAGAIN and stopping early at end of file. Returns the count read, or the
// negative result of a failed read.
ssize_t shortRead(int fd, void *buffer, size_t length);

// open(2) with close-on-exec set by fcntl: the unit's kernel ignores
// O_CLOEXEC in open flags, and no program the JVM starts may inherit a
// device of ours. -1 with errno as open left it when the open fails.
int phytecIO_open(const char *path, int flags);

// Marks the descriptors closed (QuilmarIOPhytecImpl.nativeInit).
void phytecLED_init();
void phytecDigitalOut_init();
// Looks up MID_addEvent on the receiver class.
void phytecDigitalEvent_init(JNIEnv *env, jclass clazz);

// The decimal number at the start of `text` (leading blanks and a sign
// allowed, stops at the first non-digit), in 64 bits on every build. False
// when no digit is there or the number lies outside a Java long.
bool phytecIO_parseDecimal(const char *text, int64_t *value);

// The debug form of a record, "[ev=..., rep=..., seq, address, value]\n".
int printEvent(const GpioEventRecord &record);
// Formats the debug form into `out` (at least 96 octets); returns its length.
int formatEvent(const GpioEventRecord &record, char *out, size_t size);

// The octets of one input's record read so far. The driver may hand a
// record out in pieces; they are gathered here until the record is whole,
// across wake-ups of the loop (other inputs and a stop are served meanwhile).
struct PendingRecord {
    unsigned char octets[sizeof(GpioEventRecord)];
    size_t have = 0;
};

// Reads what a readable input device holds of its next record. Whole:
// `record` holds it and `pending` is empty again; Partial: more octets are
// to come; Gone: end of file or a read error, the device is no longer there.
enum class RecordRead { Whole, Partial, Gone };
RecordRead phytecDigitalEvent_readRecord(int fd, PendingRecord *pending, GpioEventRecord *record);

struct rtc_time;
// Gives the fields a clock reports as -1 (it does not keep them) the first
// value its driver accepts, so the record can be written back.
void phytecRTC_fillUnkept(rtc_time *time);
