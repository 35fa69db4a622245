// Image transfers on a thread of their own, so the window keeps answering (and the debug
// window keeps filling) while the device works. Platform-neutral: the window learns about
// progress and the end through the two callbacks, which run on the transfer thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "device/qx_vorrel.h"

namespace tarnwell {

enum class TransferKind { Read, Write };

struct TransferRequest {
    TransferKind kind = TransferKind::Read;
    std::string path;
    bool verify = true;  // writes only: read back and compare
};

struct TransferOutcome {
    int32_t result = qx::VR_S_OK;
    uint32_t bytes = 0;   // moved before the end
    std::string summary;  // one line for the status bar
};

class TransferWorker {
  public:
    using Notify = std::function<void()>;

    TransferWorker() = default;
    ~TransferWorker();
    TransferWorker(const TransferWorker&) = delete;
    TransferWorker& operator=(const TransferWorker&) = delete;

    // Starts the transfer; false when one is still running or was not collected.
    bool Start(qx::QXVorrel& device, const TransferRequest& request, Notify onProgress,
               Notify onDone);
    // Asks the running transfer to stop: its own flag and the device's cancelRequested.
    void Cancel();
    bool Busy() const { return started_; }
    bool Finished() const { return finished_.load(); }
    // Bytes done and to do, for the progress bar (a write with verify counts both passes).
    uint32_t Done() const { return done_.load(); }
    uint32_t Total() const { return total_.load(); }
    // Joins the finished thread and hands over the outcome; call after onDone (or when
    // Finished()). Blocks until the thread ends otherwise.
    TransferOutcome Collect();

  private:
    void Run(qx::QXVorrel& device, TransferRequest request);
    TransferOutcome Read(qx::QXVorrel& device, const TransferRequest& request);
    TransferOutcome Write(qx::QXVorrel& device, const TransferRequest& request);
    // Moves [0, length); false with outcome.result set when it stopped early.
    bool Pass(qx::QXVorrel& device, uint8_t* bytes, uint32_t length, bool write,
              TransferOutcome& outcome);

    std::thread thread_;
    bool started_ = false;
    std::mutex mutex_;  // orders Cancel against the end of the transfer
    std::atomic<bool> finished_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<uint32_t> done_{0};
    std::atomic<uint32_t> total_{0};
    qx::QXVorrel* device_ = nullptr;
    Notify onProgress_;
    Notify onDone_;
    TransferOutcome outcome_;
};

}  // namespace tarnwell
