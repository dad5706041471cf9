// Globals and helpers shared by the units of ionative: the debug flags, the
// identifier caches and the descriptors of the outputs and LEDs.
#pragma once

#include <atomic>
#include <cstddef>
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

// Marks the descriptors closed (QuilmarIOPhytecImpl.nativeInit).
void phytecLED_init();
void phytecDigitalOut_init();
// Looks up MID_addEvent on the receiver class.
void phytecDigitalEvent_init(JNIEnv *env, jclass clazz);

// The decimal number at the start of `text` (leading blanks and a sign
// allowed, stops at the first non-digit). False when no digit is there or
// the number does not fit a long.
bool phytecIO_parseDecimal(const char *text, long *value);

// The debug form of a record, "[ev=..., rep=..., seq, address, value]\n".
int printEvent(const GpioEventRecord &record);
// Formats the debug form into `out` (at least 96 octets); returns its length.
int formatEvent(const GpioEventRecord &record, char *out, size_t size);

// One read of a readable input device. Whole: `record` holds a record;
// Short: the driver returned fewer octets (`got`), the record is dropped;
// Gone: end of file or a read error, the device is no longer there.
enum class RecordRead { Whole, Short, Gone };
RecordRead phytecDigitalEvent_readRecord(int fd, GpioEventRecord *record, ssize_t *got);
