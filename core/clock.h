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
