#pragma once

#include "gpsrecords.h"

// Fields of an RMC sentence into the record's RMC part. 0, or -1 when a mode
// field was started but has no '*'.
int parseRMC(const char *sentence, NativeNmeaRecord *record);
