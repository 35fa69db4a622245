// What `qxtool sync` sends: the device's memory is seen as aligned 256-byte pages; a page is
// written when any byte of it differs. Runs of changed pages that hold whole 4096-byte blocks
// go out as bulk writes (16 pages a packet), everything else as 256-byte block packets.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qx::tool::sync {

inline constexpr uint32_t kPage = 256;
inline constexpr uint32_t kBulkBlock = 4096;

enum class OpKind { Bulk, Block };

struct SyncOp {
    OpKind kind = OpKind::Block;
    uint32_t address = 0;
    uint32_t length = 0;
    bool operator==(const SyncOp&) const = default;
};

// auto: bulk for whole aligned 4096-byte blocks inside a run (when the device has bulk
// transfers); bulk: every whole page of a run the bulk way; block: no bulk at all.
enum class Method { Auto, Bulk, Block };

// The pages of a range [base, base + length): page i covers the device page
// floor(base / 256) + i, clipped to the range.
uint32_t PageCount(uint32_t base, uint64_t length);

// changed[i] tells whether page i holds a byte that differs. Both spans cover the range.
std::vector<bool> ChangedPages(std::span<const uint8_t> before, std::span<const uint8_t> after,
                               uint32_t base);

// The writes for a page mask of [base, base + length), in address order; adjacent pages of
// one kind are merged into one operation. bulkCapable false means block writes only.
std::vector<SyncOp> PlanPages(const std::vector<bool>& changed, uint32_t base, uint64_t length,
                              bool bulkCapable, Method method = Method::Auto);

// ChangedPages + PlanPages.
std::vector<SyncOp> Plan(std::span<const uint8_t> before, std::span<const uint8_t> after,
                         uint32_t base, bool bulkCapable, Method method = Method::Auto);

// Bytes the operations write, and how many 256-byte pages they touch.
uint64_t PlannedBytes(const std::vector<SyncOp>& ops);
uint32_t PlannedPages(const std::vector<SyncOp>& ops);

// 64-bit FNV-1a of each page of the range: what the state file keeps of a sync.
std::vector<uint64_t> PageHashes(std::span<const uint8_t> bytes, uint32_t base);

}  // namespace qx::tool::sync
