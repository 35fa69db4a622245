#include "ui_worker.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "device/ranged_transfer.h"
#include "ui_device_text.h"

namespace tarnwell {
namespace {

std::string Describe(const char* what, uint32_t bytes, const std::string& path) {
    return std::string(what) + " " + std::to_string(bytes) + " bytes " +
           (std::string(what) == "Read" ? "into " : "from ") + path;
}

}  // namespace

TransferWorker::~TransferWorker() {
    if (!started_) return;
    Cancel();
    Collect();
}

bool TransferWorker::Start(qx::QXVorrel& device, const TransferRequest& request, Notify onProgress,
                           Notify onDone) {
    if (started_) return false;
    started_ = true;
    finished_ = false;
    cancel_ = false;
    done_ = 0;
    total_ = 0;
    device_ = &device;
    onProgress_ = std::move(onProgress);
    onDone_ = std::move(onDone);
    thread_ = std::thread([this, &device, request] { Run(device, request); });
    return true;
}

void TransferWorker::Cancel() {
    std::lock_guard<std::mutex> hold(mutex_);
    // Once the transfer has ended a flag on the device would cancel the next operation.
    if (!started_ || finished_) return;
    cancel_ = true;
    device_->cancelRequested.store(1);
}

TransferOutcome TransferWorker::Collect() {
    if (thread_.joinable()) thread_.join();
    started_ = false;
    return outcome_;
}

void TransferWorker::Run(qx::QXVorrel& device, TransferRequest request) {
    // A flag left from before this transfer is not meant for it.
    device.cancelRequested.store(0);
    TransferOutcome outcome =
        request.kind == TransferKind::Read ? Read(device, request) : Write(device, request);
    // Every summary ends in the result code.
    outcome.summary += std::string(": ") + qx::ResultCodeName(outcome.result);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        // A Cancel that came between two chunks (or after the last) has not been consumed by a
        // device call: it must not reach the next operation.
        device.cancelRequested.store(0);
        outcome_ = std::move(outcome);
        finished_ = true;
    }
    if (onDone_) onDone_();
}

bool TransferWorker::Pass(qx::QXVorrel& device, uint8_t* bytes, uint32_t length, bool write,
                          TransferOutcome& outcome) {
    // The library's ranged transfer: bulk where it can, block chunks otherwise, a failed bulk
    // write taken over by the block path, and a Cancel that stops instead of falling back.
    const uint32_t before = done_.load();
    qx::RangeOptions options;
    options.canceled = [this] { return cancel_.load(); };
    options.progress = [this, before, length](const qx::RangeStatus& status) {
        // A write that fills two memory spaces moves the bar once over both.
        done_ = before + static_cast<uint32_t>(status.overallDone * length /
                                               std::max<uint64_t>(status.overallTotal, 1));
        if (onProgress_) onProgress_();
    };
    qx::RangeStatus status;
    const int32_t rc = write ? qx::WriteRange(device, bytes, 0, length, options, &status)
                             : qx::ReadRange(device, bytes, 0, length, options, &status);
    outcome.bytes = status.done;
    if (rc != qx::VR_S_OK) {
        outcome.result = rc;
        return false;
    }
    return true;
}

TransferOutcome TransferWorker::Read(qx::QXVorrel& device, const TransferRequest& request) {
    TransferOutcome outcome;
    const uint32_t length = device.GetActiveBankSize();
    if (length == 0) {
        outcome.result = qx::VR_E_REQUEST_NOT_SUPPORTED;
        outcome.summary = "Read: the device reports no memory to read";
        return outcome;
    }
    total_ = length;
    std::vector<uint8_t> bytes(length);
    if (Pass(device, bytes.data(), length, false, outcome)) {
        // Only a complete image leaves a file behind.
        std::ofstream out(request.path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), length);
        if (!out) {
            outcome.summary =
                "Read " + std::to_string(length) + " bytes, but cannot write " + request.path;
            outcome.result = qx::VR_E_INVALID_FUNC_PARAM;
            return outcome;
        }
    }
    outcome.summary = Describe("Read", outcome.bytes, request.path);
    return outcome;
}

TransferOutcome TransferWorker::Write(qx::QXVorrel& device, const TransferRequest& request) {
    TransferOutcome outcome;
    std::ifstream in(request.path, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const uint32_t limit = device.GetActiveBankSize();
    if (!in && !in.eof()) {
        outcome.result = qx::VR_E_INVALID_FUNC_PARAM;
        outcome.summary = "Write: cannot read " + request.path;
        return outcome;
    }
    if (bytes.empty() || bytes.size() > limit) {
        // Refused before anything is sent: a longer file would wrap or run past the image.
        outcome.result = qx::VR_E_INVALID_FUNC_PARAM;
        outcome.summary = "Write: " + request.path + " holds " + std::to_string(bytes.size()) +
                          " bytes; the image takes 1 to " + std::to_string(limit);
        return outcome;
    }
    const auto length = static_cast<uint32_t>(bytes.size());
    total_ = request.verify ? 2 * length : length;
    if (!Pass(device, bytes.data(), length, true, outcome)) {
        outcome.summary = Describe("Wrote", outcome.bytes, request.path);
        return outcome;
    }
    if (!request.verify) {
        outcome.summary = Describe("Wrote", length, request.path);
        return outcome;
    }
    std::vector<uint8_t> back(length);
    TransferOutcome check;
    if (!Pass(device, back.data(), length, false, check)) {
        outcome.result = check.result;
        outcome.summary = Describe("Wrote", length, request.path) + "; verify stopped";
        return outcome;
    }
    const auto diff = std::mismatch(bytes.begin(), bytes.end(), back.begin());
    if (diff.first != bytes.end()) {
        const auto at = static_cast<uint32_t>(diff.first - bytes.begin());
        outcome.result = qx::VR_E_GENERAL_ERROR;
        outcome.summary =
            Describe("Wrote", length, request.path) + "; verify failed at " + Hex32(at);
        return outcome;
    }
    outcome.summary = Describe("Wrote", length, request.path) + ", verified";
    return outcome;
}

}  // namespace tarnwell
