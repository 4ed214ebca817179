// The monotonic clock in milliseconds, for the deadlines of a connection.
#pragma once

#include <time.h>

#include <cstdint>

// Milliseconds of the monotonic clock (read through the vDSO: no system call).
inline int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
