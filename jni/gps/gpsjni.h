// JNI helpers shared by the units of gpsnative.
#pragma once

#include <jni.h>

#include "jnu_scope.h"

// Text for the VM's modified UTF-8: NMEA is ASCII, so an octet above 0x7F
// (line noise that happened to pass the checksum) becomes '?' instead of an
// invalid sequence. `out` holds `size` bytes.
void GPS_asciiCopy(char *out, unsigned long size, const char *text);
