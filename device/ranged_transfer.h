// Ranged transfers: a whole range of device memory moved for a caller that wants progress,
// a prompt stop and the bulk path where it can take it - the command-line tool and the
// stand-in user interface alike. One place decides bulk or block, splits block transfers into
// chunks, polls the caller's cancellation between device calls, and takes a failed bulk
// write over on the block path.
//
//     qx::RangeOptions options;
//     options.canceled = [&] { return stop.load(); };
//     options.progress = [&](const qx::RangeStatus& s) { bar.Update(s.overallDone); };
//     qx::RangeStatus status;
//     int32_t rc = qx::WriteRange(device, data, address, length, options, &status);
//     // on failure: status.space and status.done tell what was acknowledged
#pragma once

#include <cstdint>
#include <functional>

#include "device/qx_vorrel.h"

namespace qx {

enum class RangeMethod : uint8_t {
    Auto,   // bulk when the device has it and the range is whole pages; a failed bulk write
            // pauses and writes on the block path
    Bulk,   // bulk only, no fallback
    Block,  // block packets only
};

// Block transfers go in chunks of this size, so progress moves and a stop is seen between
// them (ReadBlock reports nothing until it ends). Chunks end on multiples of it.
inline constexpr uint32_t kRangeChunk = 4096;
// The pause before a failed bulk write is taken over by the block path.
inline constexpr uint32_t kRangeFallbackPauseMs = 800;

// Where a ranged transfer stands. A write may make several passes over the range: one per
// memory space when the bulk path fills both spaces of a two-space model.
struct RangeStatus {
    uint32_t pass = 0;    // the pass under way (0-based)
    uint32_t passes = 1;  // passes of the path under way
    uint32_t space = 0;   // XferSpace1 or XferSpace2 of this pass; 0 when it names none
    bool bulk = false;    // this pass runs on the bulk path
    // Bytes of this pass the device acknowledged (writes) or delivered (reads), counted from
    // the start of the range; everything below address + done holds the new bytes.
    uint32_t done = 0;
    uint64_t overallDone = 0;      // over every pass of the path under way
    uint64_t overallTotal = 0;     // length x passes
    bool fellBack = false;         // a failed bulk write was taken over by the block path
    int32_t bulkResult = VR_S_OK;  // what ended that bulk write
};

struct RangeOptions {
    // Transfer flags: XferPlain, XferAltWrite, XferWriteLower, XferSpace1..3. The command
    // letters of XferAltWrite and XferWriteLower exist on the block path only.
    uint32_t flags = 0;
    RangeMethod method = RangeMethod::Auto;
    // Asked before every device call; true stops the transfer with VR_E_OPERATION_CANCELED.
    // The caller may also set the device's cancelRequested to stop a call under way; this
    // routine never clears it.
    std::function<bool()> canceled;
    // After every acknowledged packet (bulk, block writes) or chunk (block reads).
    std::function<void(const RangeStatus&)> progress;
    // Before the pause that precedes the block path, with the bulk write's result.
    std::function<void(int32_t bulkResult)> fallingBack;
};

// Whether a transfer of this range takes the bulk path first.
bool RangeUsesBulk(const QXVorrel& device, uint32_t address, uint32_t length,
                   const RangeOptions& options);

// Reads [address, address + length) into buffer. Returns the result of the device call that
// ended it (VR_S_OK when all arrived); *status (may be null) tells how far it came.
[[nodiscard]] int32_t ReadRange(QXVorrel& device, uint8_t* buffer, uint32_t address,
                                uint32_t length, const RangeOptions& options,
                                RangeStatus* status = nullptr);

// Writes buffer to [address, address + length). On the bulk path a two-space model without a
// named space gets space 0x20, then 0x10. When a bulk write fails (but was not stopped) and
// the method is Auto, it pauses kRangeFallbackPauseMs and writes the whole range again on the
// block path - both spaces again where the bulk path would have filled both.
[[nodiscard]] int32_t WriteRange(QXVorrel& device, const uint8_t* buffer, uint32_t address,
                                 uint32_t length, const RangeOptions& options,
                                 RangeStatus* status = nullptr);

}  // namespace qx
