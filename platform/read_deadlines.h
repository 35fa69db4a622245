// The COMMTIMEOUTS rules of one read as deadlines, for ports that implement the rules
// themselves (network ports on every platform): one source, unit-tested on its own.
//   - interval: once the first byte arrived, the longest gap between bytes;
//   - total = ReadTotalTimeoutMultiplier * count + ReadTotalTimeoutConstant (0: none);
//   - interval MAXDWORD with both totals 0: what is buffered, at once;
//   - interval and multiplier MAXDWORD, 0 < constant < MAXDWORD: what is buffered at once,
//     else the first bytes to arrive within the constant;
//   - all three 0: until the count arrived.
// The read always ends as soon as the count arrived.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/os_types.h"

namespace qx::platform {

class ReadDeadlines {
  public:
    using Clock = std::chrono::steady_clock;

    ReadDeadlines(const COMMTIMEOUTS& timeouts, uint32_t count, Clock::time_point start);

    // The read ends as soon as any byte is there.
    bool ReturnsOnFirst() const { return returnOnFirst_; }
    // Milliseconds to wait for more bytes after `got` of them, the last at `lastArrival`:
    // -1 without limit, 0 when the read is over. Rounded up, so that a wait never ends a
    // fraction of a millisecond early.
    int64_t WaitMs(Clock::time_point now, uint32_t got, Clock::time_point lastArrival) const;

  private:
    bool returnOnFirst_ = false;
    bool hasTotal_ = false;
    Clock::time_point total_{};
    uint32_t interval_ = 0;
};

}  // namespace qx::platform
