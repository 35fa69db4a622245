// How long a step took, for the bounds a test puts on an operation's time.
#pragma once

#include <chrono>
#include <cstdint>

namespace qxtest {

using Clock = std::chrono::steady_clock;

// Whole milliseconds since `start`, rounded down.
inline int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Milliseconds since `start` with their fraction.
inline double ExactMsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace qxtest
