// The daemon's pid file as runlatch takes it: read without blocking and
// without following a link, only when it is a regular file; checked for a
// process id; shown as a short escaped excerpt when it holds none.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Octets of the pid file that are passed on.
inline constexpr size_t kPidTextMax = 98;
// pid_file_read: something that is no regular file (a FIFO, a link, a
// directory, a device) stands at the name.
inline constexpr ssize_t kPidFileOdd = -2;
// Octets of a bad pid file shown in a message (escaped, so up to four
// characters each, then "...").
inline constexpr size_t kPidExcerptOctets = 24;

// Reads at most max octets of the regular file at path into out. The number
// read (0: empty), -1 when the file cannot be opened (not there yet) or read,
// kPidFileOdd for anything other than a regular file. Never blocks.
ssize_t pid_file_read(const char *path, char *out, size_t max);

// The length of the pid text: one final line feed dropped.
size_t pid_text_length(const char *text, size_t length);

// True when the text begins, after blanks, with a decimal number other than
// 0: what the supervisor will take as the process id. Text after it is kept.
bool holds_process_id(const char *text, size_t length);

// At most kPidExcerptOctets of text, printable: \" \\ \n \r \t and \xNN for
// other octets outside 0x20..0x7E, "..." when the text is longer. out always
// ends with a NUL within size (at least 1).
void pid_text_excerpt(const char *text, size_t length, char *out, size_t size);
