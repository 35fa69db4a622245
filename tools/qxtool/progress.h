// The progress bar of a transfer on stderr: percent, bytes, rate and elapsed time, fed with
// the bytes done (from a ranged transfer's progress reports).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "device/ranged_transfer.h"

namespace qx::tool {

class Progress {
  public:
    Progress(std::string label, uint64_t totalBytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Absolute progress of the current pass; the first call after Finish starts a new one.
    void Update(uint64_t doneBytes);
    // Ends the current pass (the bar shows where it stopped).
    void Finish();
    // A ranged transfer's report: a new pass (the second space of a write) starts a new bar.
    void Report(const RangeStatus& status);

    // The text of one bar line (without the bar graphic); public for tests.
    static std::string Describe(const std::string& label, uint64_t done, uint64_t total,
                                double seconds);

  private:
    void Draw(bool force);

    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool terminal_;
    bool running_ = false;
    uint64_t done_ = 0;
    uint32_t pass_ = 0;
    int lastTenth_ = -1;  // plain lines: the tenth last printed, -1 before the first
    uint64_t lastPrinted_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace qx::tool
