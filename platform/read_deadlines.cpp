#include "platform/read_deadlines.h"

#include <algorithm>

namespace qx::platform {
namespace {

// Totals beyond this (about 35 years) are no limit in practice; the clock cannot hold
// the largest products of two 32-bit values.
constexpr uint64_t kLongestTotalMs = uint64_t{1} << 40;

int64_t MsUntil(ReadDeadlines::Clock::time_point deadline, ReadDeadlines::Clock::time_point now) {
    if (deadline <= now) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
}

}  // namespace

ReadDeadlines::ReadDeadlines(const COMMTIMEOUTS& t, uint32_t count, Clock::time_point start)
    : interval_(t.ReadIntervalTimeout) {
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        returnOnFirst_ = true;
        hasTotal_ = true;
        total_ = start;
    } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        returnOnFirst_ = true;
        hasTotal_ = true;
        total_ = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                               t.ReadTotalTimeoutConstant;
        if (total != 0) {
            hasTotal_ = true;
            total_ = start + std::chrono::milliseconds(std::min(total, kLongestTotalMs));
        }
    }
}

int64_t ReadDeadlines::WaitMs(Clock::time_point now, uint32_t got,
                              Clock::time_point lastArrival) const {
    int64_t wait = hasTotal_ ? MsUntil(total_, now) : -1;
    if (got > 0 && interval_ != 0) {
        const int64_t gap = MsUntil(lastArrival + std::chrono::milliseconds(interval_), now);
        wait = wait < 0 ? gap : std::min(wait, gap);
    }
    return wait;
}

}  // namespace qx::platform
