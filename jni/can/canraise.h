// What the CAN library raises in Java: every exception class and text in one
// table, so that each failure reads the same wherever it is found.
#pragma once

#include <jni.h>

#include <cstdint>

enum class CanRaise : uint8_t {
    OpenFailed,       // openCanDevice: the node did not open
    NoFilterArray,    // readMessages: filterArray is null
    TooManyFilters,   // readMessages: more than CAN_MAX_FILTERS
    FilterCopy,       // readMessages: a null filter element
    BulkSizes,        // bulk transfer: arrays of different lengths
    BulkNullElement,  // bulk transfer: a null element
    BulkMaxRetry,     // bulk transfer: three attempts failed for one message
    MessageNull,      // writeMessage(null)
    TransmitTimedOut, // writeMessage: nothing queued within the driver's time-out
    DeviceError,      // read, write or close failed: the error text
    CommandError,     // a controller command failed: the error text
};

// Raises `what`; the two error kinds take their text from `error` (errno).
void CAN_raise(JNIEnv *env, CanRaise what, int error = 0);
