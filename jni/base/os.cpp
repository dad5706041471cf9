#include "os.h"

#include <cstdlib>
#include <ctime>

void *os_zalloc(size_t size)
{
    return std::calloc(1, size);
}

void os_free(void *ptr)
{
    std::free(ptr);
}

int64_t os_monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
