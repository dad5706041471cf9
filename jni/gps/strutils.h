// Token helpers of the NMEA parsers.
#pragma once

// Copies text[start] up to the next `separator` into dest, at most
// destSize - 1 characters (a longer token is cut, never written past dest),
// and terminates it when `terminate` is positive. Returns the index just after
// the separator, or -1 when start is negative or the separator does not occur
// at or after start.
int tokenCopy(char *dest, int destSize, const char *text, int start, char separator, int terminate);
int STR_tokenCopy(char *dest, int destSize, const char *text, int start, char separator);
int STR_tokenCopyOpen(char *dest, int destSize, const char *text, int start, char separator);

// atoi of a text, the same on every build: blanks, a sign, decimal digits
// read in 64 bits and pinned to the int range (atoi goes through long, 32
// bits on the target and 64 on a host, and leaves a number beyond int
// undefined).
int STR_toInt(const char *text);

// STR_toInt of the first `length` characters; length 16 or more prints
// "ERROR: length is more then buffer length" and gives 0.
int STR_atoi(const char *text, int length);
