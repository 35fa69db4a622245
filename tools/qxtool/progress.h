// The progress bar of a transfer on stderr: percent, bytes, rate and elapsed time. Fed by
// the library's TransferCallback (a plain function, so one bar is current at a time) or by
// the tool itself for transfers it runs in pieces.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "device/qx_vorrel.h"

namespace qx::tool {

class Progress {
  public:
    // bytesPerPacket: what one packet report of the library stands for (256 for WriteBlock,
    // 4096 for the bulk transfers).
    Progress(std::string label, uint64_t totalBytes, uint32_t bytesPerPacket);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // The callback to hand to the library; it reports to the current Progress.
    static TransferCallback Callback() { return &OnReport; }

    // Absolute progress of the current pass.
    void Update(uint64_t doneBytes);
    // Ends the current pass (the bar shows where it stopped).
    void Finish();

    // What the library has confirmed so far: passes started (BulkWriteBoth makes two) and
    // the packets accepted in the current one.
    int Passes() const { return passes_; }
    uint64_t PacketsAccepted() const { return packets_; }

    // The text of one bar line (without the bar graphic); public for tests.
    static std::string Describe(const std::string& label, uint64_t done, uint64_t total,
                                double seconds);

  private:
    static void OnReport(TransferProgress* report);
    void Draw(bool force);

    std::string label_;
    uint64_t total_;
    uint32_t bytesPerPacket_;
    bool enabled_;
    bool terminal_;
    bool running_ = false;
    uint64_t done_ = 0;
    int passes_ = 0;
    uint64_t packets_ = 0;
    int lastTenth_ = -1;  // plain lines: the tenth last printed, -1 before the first
    uint64_t lastPrinted_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace qx::tool
