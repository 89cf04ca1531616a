// The monotonic clock, for deadlines and intervals: never the wall clock, which the user or NTP
// may set back or forward while a wait runs.
//
// Threads: plain functions.
#pragma once

#include <time.h>

#include <cstdint>

namespace platform {

inline int64_t MonotonicNs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t MonotonicMs() { return MonotonicNs() / 1000000; }

}  // namespace platform
