// Operating-system support of the supplicant control client: zeroed
// allocation and the monotonic clock its waits are measured against.
#pragma once

#include <cstddef>
#include <cstdint>

// Allocates `size` zeroed bytes; null when memory is exhausted. Released
// with os_free.
void *os_zalloc(size_t size);
void os_free(void *ptr);

// Milliseconds of the monotonic clock. Waits use it so that stepping the
// time of day (which this library itself does) cannot stretch or cut them.
int64_t os_monotonic_ms();
