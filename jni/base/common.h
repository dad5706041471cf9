// Small helpers of the supplicant control client that do not touch the
// operating system.
#pragma once

#include <cstddef>

// Copies the NUL-terminated `src` into `dst` of `size` bytes. Returns the
// length of `src`; when that is `size` or more nothing is copied and `dst`
// holds an empty string, so a path is never used cut short.
size_t common_copy_string(char *dst, const char *src, size_t size);

// An unsolicited supplicant message starts with '<' ("<3>CTRL-EVENT-...").
bool common_is_unsolicited(const char *msg, size_t len);
