#pragma once

#include "gpsrecords.h"

// Fields of a GGA sentence into the record's GGA part. 0, or -1 when the
// sentence has fewer than 14 fields.
int parseGGA(const char *sentence, NativeNmeaRecord *record);
