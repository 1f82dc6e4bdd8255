// The one clock every figure of the benchmark is taken on: CLOCK_MONOTONIC, in nanoseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

inline int64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps until the CLOCK_MONOTONIC time `when` (nanoseconds); returns at once if it has passed.
inline void sleepUntil(int64_t when) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(when / 1000000000);
    until.tv_nsec = static_cast<long>(when % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
    }
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
