#include "tools/qxtool/sync_plan.h"

#include <algorithm>

namespace qx::tool::sync {
namespace {

uint64_t FirstPageAddress(uint32_t base) {
    return base / kPage * uint64_t{kPage};
}

uint64_t AlignUp(uint64_t value, uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

uint64_t AlignDown(uint64_t value, uint64_t unit) {
    return value / unit * unit;
}

// Page i of the range, clipped: [start, end).
void PageBounds(uint32_t base, uint64_t length, uint32_t i, uint64_t& start, uint64_t& end) {
    const uint64_t page = FirstPageAddress(base) + uint64_t{i} * kPage;
    start = std::max<uint64_t>(page, base);
    end = std::min<uint64_t>(page + kPage, uint64_t{base} + length);
}

void Append(std::vector<SyncOp>& ops, OpKind kind, uint64_t start, uint64_t end) {
    if (end <= start) return;
    if (!ops.empty() && ops.back().kind == kind &&
        uint64_t{ops.back().address} + ops.back().length == start) {
        ops.back().length += static_cast<uint32_t>(end - start);
        return;
    }
    ops.push_back({kind, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
}

// One run of changed pages [start, end): the bulk part in the middle, block pieces around it.
void PlanRun(std::vector<SyncOp>& ops, uint64_t start, uint64_t end, bool bulkCapable,
             Method method) {
    if (!bulkCapable || method == Method::Block) {
        Append(ops, OpKind::Block, start, end);
        return;
    }
    // Only whole pages can go the bulk way (its addresses count pages); in auto mode only
    // whole 4096-byte blocks, where one bulk packet replaces sixteen block packets.
    const uint64_t unit = method == Method::Bulk ? kPage : kBulkBlock;
    const uint64_t bulkStart = AlignUp(start, unit);
    const uint64_t bulkEnd = AlignDown(end, unit);
    if (bulkEnd <= bulkStart) {
        Append(ops, OpKind::Block, start, end);
        return;
    }
    Append(ops, OpKind::Block, start, bulkStart);
    Append(ops, OpKind::Bulk, bulkStart, bulkEnd);
    Append(ops, OpKind::Block, bulkEnd, end);
}

}  // namespace

uint32_t PageCount(uint32_t base, uint64_t length) {
    if (length == 0) return 0;
    const uint64_t end = uint64_t{base} + length;
    return static_cast<uint32_t>((AlignUp(end, kPage) - FirstPageAddress(base)) / kPage);
}

std::vector<bool> ChangedPages(std::span<const uint8_t> before, std::span<const uint8_t> after,
                               uint32_t base) {
    const uint64_t length = std::min(before.size(), after.size());
    std::vector<bool> changed(PageCount(base, length), false);
    for (uint32_t i = 0; i < changed.size(); ++i) {
        uint64_t start = 0, end = 0;
        PageBounds(base, length, i, start, end);
        const size_t from = static_cast<size_t>(start - base);
        const size_t to = static_cast<size_t>(end - base);
        changed[i] = !std::equal(before.begin() + from, before.begin() + to, after.begin() + from);
    }
    return changed;
}

std::vector<SyncOp> PlanPages(const std::vector<bool>& changed, uint32_t base, uint64_t length,
                              bool bulkCapable, Method method) {
    std::vector<SyncOp> ops;
    const uint32_t pages =
        std::min<uint32_t>(PageCount(base, length), static_cast<uint32_t>(changed.size()));
    for (uint32_t i = 0; i < pages;) {
        if (!changed[i]) {
            ++i;
            continue;
        }
        uint32_t last = i;
        while (last + 1 < pages && changed[last + 1]) ++last;
        uint64_t start = 0, end = 0, ignored = 0;
        PageBounds(base, length, i, start, ignored);
        PageBounds(base, length, last, ignored, end);
        PlanRun(ops, start, end, bulkCapable, method);
        i = last + 1;
    }
    return ops;
}

std::vector<SyncOp> Plan(std::span<const uint8_t> before, std::span<const uint8_t> after,
                         uint32_t base, bool bulkCapable, Method method) {
    const uint64_t length = std::min(before.size(), after.size());
    return PlanPages(ChangedPages(before, after, base), base, length, bulkCapable, method);
}

uint64_t PlannedBytes(const std::vector<SyncOp>& ops) {
    uint64_t bytes = 0;
    for (const SyncOp& op : ops) bytes += op.length;
    return bytes;
}

uint32_t PlannedPages(const std::vector<SyncOp>& ops) {
    uint32_t pages = 0;
    for (const SyncOp& op : ops) pages += PageCount(op.address, op.length);
    return pages;
}

std::vector<uint64_t> PageHashes(std::span<const uint8_t> bytes, uint32_t base) {
    std::vector<uint64_t> hashes(PageCount(base, bytes.size()));
    for (uint32_t i = 0; i < hashes.size(); ++i) {
        uint64_t start = 0, end = 0;
        PageBounds(base, bytes.size(), i, start, end);
        uint64_t hash = 0xCBF29CE484222325ull;
        for (uint64_t a = start; a < end; ++a) {
            hash ^= bytes[static_cast<size_t>(a - base)];
            hash *= 0x100000001B3ull;
        }
        hashes[i] = hash;
    }
    return hashes;
}

}  // namespace qx::tool::sync
