#pragma once

#include <cstdint>
#include <ctime>

// The wall clock in whole seconds. time() may lag the real clock by a tick,
// so a time it stamps can fall a second before what `date` printed just earlier.
inline int64_t wall_seconds() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

// Microseconds of the monotonic clock, for short intervals.
inline int64_t monotonic_microseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}
