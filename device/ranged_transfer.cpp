// Ranged transfers over the block and bulk operations of the device object.
#include "device/ranged_transfer.h"

#include <algorithm>
#include <vector>

#include "device/model_table.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kPage = 256;
constexpr uint32_t kBulkPacket = 4096;
constexpr uint32_t kBlockPacket = 256;
constexpr uint32_t kSpaceFlags = XferSpace1 | XferSpace2;

// One ranged transfer under way: its status, and the packets the library reports.
class RangeRun {
  public:
    RangeRun(uint32_t length, const RangeOptions& options, RangeStatus& status)
        : length_(length), options_(options), status_(status) {
        status_ = RangeStatus{};
        status_.overallTotal = length;
    }

    bool Canceled() const { return options_.canceled && options_.canceled(); }

    void BeginPath(bool bulk, uint32_t passes) {
        status_.bulk = bulk;
        status_.passes = passes;
        status_.overallTotal = uint64_t{length_} * passes;
        status_.overallDone = 0;
    }

    void BeginPass(uint32_t pass, uint32_t flags) {
        status_.pass = pass;
        status_.space = flags & kSpaceFlags;
        status_.done = 0;
        status_.overallDone = uint64_t{length_} * pass;
    }

    // The next device call covers [offset, offset + length) of the range; its packets carry
    // packetBytes each.
    void BeginCall(uint32_t offset, uint32_t length, uint32_t packetBytes) {
        callOffset_ = offset;
        callLength_ = length;
        packetBytes_ = packetBytes;
    }

    void Reached(uint32_t done) {
        if (done == status_.done) return;
        status_.done = done;
        status_.overallDone = uint64_t{length_} * status_.pass + done;
        if (options_.progress) options_.progress(status_);
    }

    void FellBack(int32_t bulkResult) {
        status_.fellBack = true;
        status_.bulkResult = bulkResult;
        if (options_.fallingBack) options_.fallingBack(bulkResult);
    }

    // The library's progress callback is a plain function: it finds the transfer of its
    // thread here.
    static void OnReport(TransferProgress* report);

  private:
    uint32_t length_;
    const RangeOptions& options_;
    RangeStatus& status_;
    uint32_t callOffset_ = 0;
    uint32_t callLength_ = 0;
    uint32_t packetBytes_ = kBlockPacket;
};

thread_local RangeRun* t_current = nullptr;

void RangeRun::OnReport(TransferProgress* report) {
    RangeRun* run = t_current;
    if (run == nullptr || report == nullptr || report->state != kProgressPacket) return;
    // Packets of a call run from its start; within one chunk none is cut short.
    const uint64_t bytes = uint64_t{report->done} * run->packetBytes_;
    run->Reached(run->callOffset_ +
                 static_cast<uint32_t>(std::min<uint64_t>(bytes, run->callLength_)));
}

class CurrentRun {
  public:
    explicit CurrentRun(RangeRun* run) : previous_(t_current) { t_current = run; }
    ~CurrentRun() { t_current = previous_; }
    CurrentRun(const CurrentRun&) = delete;
    CurrentRun& operator=(const CurrentRun&) = delete;

  private:
    RangeRun* previous_;
};

// The length of the chunk at offset: up to the next multiple of kRangeChunk of the device
// address, so a chunk never holds a 64 KiB boundary a block packet would stop at.
uint32_t ChunkAt(uint32_t address, uint32_t offset, uint32_t length) {
    const uint32_t toBoundary = kRangeChunk - (address + offset) % kRangeChunk;
    return std::min(length - offset, toBoundary);
}

// One pass over the range with `flags`, bulk or in block chunks.
int32_t WritePass(QXVorrel& device, RangeRun& run, const uint8_t* buffer, uint32_t address,
                  uint32_t length, uint32_t flags, bool bulk) {
    if (bulk) {
        if (run.Canceled()) return VR_E_OPERATION_CANCELED;
        run.BeginCall(0, length, kBulkPacket);
        const int32_t result =
            device.BulkWrite(buffer, length, address, flags, &RangeRun::OnReport);
        if (result == VR_S_OK) run.Reached(length);
        return result;
    }
    for (uint32_t offset = 0; offset < length;) {
        if (run.Canceled()) return VR_E_OPERATION_CANCELED;
        const uint32_t n = ChunkAt(address, offset, length);
        run.BeginCall(offset, n, kBlockPacket);
        const int32_t result = device.WriteBlock(buffer + offset, n, address + offset,
                                                 flags | XferNoBulk, &RangeRun::OnReport);
        if (result != VR_S_OK) return result;
        offset += n;
        run.Reached(offset);
    }
    return VR_S_OK;
}

// Every pass of one path: the spaces in order, each added to the caller's flags.
int32_t WritePasses(QXVorrel& device, RangeRun& run, const uint8_t* buffer, uint32_t address,
                    uint32_t length, uint32_t flags, bool bulk,
                    const std::vector<uint32_t>& spaces) {
    run.BeginPath(bulk, static_cast<uint32_t>(spaces.size()));
    for (uint32_t pass = 0; pass < spaces.size(); ++pass) {
        const uint32_t passFlags = flags | spaces[pass];
        run.BeginPass(pass, passFlags);
        const int32_t result = WritePass(device, run, buffer, address, length, passFlags, bulk);
        if (result != VR_S_OK) return result;
    }
    return VR_S_OK;
}

}  // namespace

bool RangeUsesBulk(const QXVorrel& device, uint32_t address, uint32_t length,
                   const RangeOptions& options) {
    if (options.method == RangeMethod::Bulk) return true;
    if (options.method == RangeMethod::Block) return false;
    if ((device.capabilities & CapBulk) == 0) return false;
    if ((options.flags & (XferAltWrite | XferWriteLower)) != 0) return false;
    return address % kPage == 0 && length % kPage == 0;
}

int32_t ReadRange(QXVorrel& device, uint8_t* buffer, uint32_t address, uint32_t length,
                  const RangeOptions& options, RangeStatus* status) {
    RangeStatus local;
    RangeRun run(length, options, status != nullptr ? *status : local);
    CurrentRun current(&run);
    const bool bulk = RangeUsesBulk(device, address, length, options);
    run.BeginPath(bulk, 1);
    run.BeginPass(0, options.flags);
    if (length == 0) return VR_S_OK;
    if (bulk) {
        if (run.Canceled()) return VR_E_OPERATION_CANCELED;
        run.BeginCall(0, length, kBulkPacket);
        const int32_t result =
            device.BulkRead(buffer, length, address, options.flags, &RangeRun::OnReport);
        if (result == VR_S_OK) run.Reached(length);
        return result;
    }
    for (uint32_t offset = 0; offset < length;) {
        if (run.Canceled()) return VR_E_OPERATION_CANCELED;
        const uint32_t n = ChunkAt(address, offset, length);
        const int32_t result =
            device.ReadBlock(buffer + offset, n, address + offset, options.flags, nullptr);
        if (result != VR_S_OK) return result;
        offset += n;
        run.Reached(offset);
    }
    return VR_S_OK;
}

int32_t WriteRange(QXVorrel& device, const uint8_t* buffer, uint32_t address, uint32_t length,
                   const RangeOptions& options, RangeStatus* status) {
    RangeStatus local;
    RangeRun run(length, options, status != nullptr ? *status : local);
    CurrentRun current(&run);
    const uint32_t flags = options.flags;
    if (!RangeUsesBulk(device, address, length, options)) {
        // The block path has no default space: without a flag no space bits go out.
        return WritePasses(device, run, buffer, address, length, flags, false, {0});
    }
    // Without a named space the bulk path fills both spaces of a two-space model, 0x20 first.
    std::vector<uint32_t> spaces = {0};
    if (TraitsOf(device.hardwareType).twoMemorySpaces && (flags & (kSpaceFlags | XferSpace3)) == 0)
        spaces = {XferSpace2, XferSpace1};
    const int32_t bulk = WritePasses(device, run, buffer, address, length, flags, true, spaces);
    if (bulk == VR_S_OK || options.method != RangeMethod::Auto) return bulk;
    // A stop is a stop, not a failure to work around.
    if (bulk == VR_E_OPERATION_CANCELED || run.Canceled()) return bulk;
    run.FellBack(bulk);
    platform::SleepMs(kRangeFallbackPauseMs);
    // The block path writes what the bulk path would have written: every space again.
    return WritePasses(device, run, buffer, address, length, flags, false, spaces);
}

}  // namespace qx
