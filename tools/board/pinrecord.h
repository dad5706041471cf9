// pinprobe's reading of GPIO event records: the read-size limit from "H",
// whole records from reads of any size, and the printed form of a record.
#pragma once

#include "gpio_event.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The limit "H" gives one read call: 0 for none (unset or empty), -1 for a
// text that is not a positive decimal number within 64 bits. The same on
// every build.
int64_t pin_readLimit(const char *text);

// Reads until length octets are there, each call asking for at most limit
// octets (0: no limit); interrupted and would-block reads are repeated, end
// of file stops early. The octets read, or the failed read's result.
ssize_t pin_shortRead(int fd, void *buffer, size_t length, int64_t limit);

// The record as pinprobe prints it, with its line end; the length of the text.
int pin_formatEvent(char *out, size_t size, const GpioEventRecord &record);
