// The programming sequence of pmprog: image checks, then the controller's
// programmer is entered, given the signatures and the records, and reset.
#pragma once

#include <cstddef>

// How long the controller may take to answer "IAP" before the tool goes on
// without an answer (it restarts into its programmer and may stay silent).
inline constexpr int PMIC_IAP_ANSWER_MS = 2000;
// How long the controller may take to answer any other command or record.
inline constexpr int PMIC_ANSWER_MS = 5000;

// Programs the lower-case, NUL-terminated Intel HEX `text` over the set-up
// serial line `fd`. Prints progress on standard output and one message for a
// failure on standard error. Returns 0 or -1.
int programFile(int fd, const char *text, size_t length);
