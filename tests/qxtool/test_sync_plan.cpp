// The page planner of qxtool sync and its state file.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tools/qxtool/sync_plan.h"
#include "tools/qxtool/sync_state.h"

namespace {

using qx::tool::sync::Method;
using qx::tool::sync::OpKind;
using qx::tool::sync::SyncOp;

constexpr OpKind kBulk = OpKind::Bulk;
constexpr OpKind kBlock = OpKind::Block;

std::string Describe(const std::vector<SyncOp>& ops) {
    std::string text;
    for (const SyncOp& op : ops) {
        char line[64];
        std::snprintf(line, sizeof line, "%s 0x%X+0x%X ", op.kind == kBulk ? "bulk" : "block",
                      op.address, op.length);
        text += line;
    }
    return text.empty() ? "(none)" : text;
}

// Device addresses [first, last] changed.
struct Span {
    uint32_t first, last;
};

TEST(SyncPlan, PagesAndBlocks) {
    const struct Case {
        const char* name;
        uint32_t base;
        uint32_t length;
        std::vector<Span> changes;
        bool bulkCapable;
        Method method;
        std::vector<SyncOp> expected;
        // clang-format off
    } cases[] = {
        {"no change", 0, 0x10000, {}, true, Method::Auto, {}},
        {"one byte", 0, 0x10000, {{0x1234, 0x1234}}, true, Method::Auto, {{kBlock, 0x1200, 256}}},
        {"first and last byte of a page", 0, 0x10000, {{0x300, 0x300}, {0x3FF, 0x3FF}}, true,
            Method::Auto, {{kBlock, 0x300, 256}}},
        {"bytes either side of a page boundary", 0, 0x10000, {{0x3FF, 0x400}}, true, Method::Auto,
            {{kBlock, 0x300, 512}}},
        {"two pages apart", 0, 0x10000, {{0x100, 0x100}, {0x300, 0x300}}, true, Method::Auto,
            {{kBlock, 0x100, 256}, {kBlock, 0x300, 256}}},
        {"16 aligned pages", 0, 0x10000, {{0x1000, 0x1FFF}}, true, Method::Auto,
            {{kBulk, 0x1000, 0x1000}}},
        {"15 aligned pages", 0, 0x10000, {{0x1000, 0x1EFF}}, true, Method::Auto,
            {{kBlock, 0x1000, 0xF00}}},
        {"16 pages, one byte touching each", 0, 0x10000, {{0x10FF, 0x1F00}}, true, Method::Auto,
            {{kBulk, 0x1000, 0x1000}}},
        {"20 pages from an aligned start", 0, 0x10000, {{0x4000, 0x53FF}}, true, Method::Auto,
            {{kBulk, 0x4000, 0x1000}, {kBlock, 0x5000, 0x400}}},
        {"misaligned run of 20 pages", 0, 0x10000, {{0x200, 0x15FF}}, true, Method::Auto,
            {{kBlock, 0x200, 0x1400}}},
        {"32 pages across a 4096 boundary", 0, 0x10000, {{0x800, 0x27FF}}, true, Method::Auto,
            {{kBlock, 0x800, 0x800}, {kBulk, 0x1000, 0x1000}, {kBlock, 0x2000, 0x800}}},
        {"48 aligned pages in one bulk write", 0, 0x10000, {{0x3000, 0x5FFF}}, true, Method::Auto,
            {{kBulk, 0x3000, 0x3000}}},
        {"device without bulk", 0, 0x10000, {{0x1000, 0x1FFF}}, false, Method::Auto,
            {{kBlock, 0x1000, 0x1000}}},
        {"--method block", 0, 0x10000, {{0x1000, 0x1FFF}}, true, Method::Block,
            {{kBlock, 0x1000, 0x1000}}},
        {"--method bulk: any whole page", 0, 0x10000, {{0x250, 0x4FF}}, true, Method::Bulk,
            {{kBulk, 0x200, 0x300}}},
        {"--method bulk, device without bulk", 0, 0x10000, {{0x250, 0x4FF}}, false, Method::Bulk,
            {{kBlock, 0x200, 0x300}}},
        {"unaligned base: the first page is clipped", 0x10, 0x2000, {{0x10, 0x10}}, true,
            Method::Auto, {{kBlock, 0x10, 0xF0}}},
        {"unaligned end: the last page is clipped", 0, 0x1010, {{0x100F, 0x100F}}, true,
            Method::Auto, {{kBlock, 0x1000, 0x10}}},
        {"unaligned range: bulk only for whole pages", 0x80, 0x2100, {{0x80, 0x217F}}, true,
            Method::Auto,
            {{kBlock, 0x80, 0xF80}, {kBulk, 0x1000, 0x1000}, {kBlock, 0x2000, 0x180}}},
        {"--method bulk on an unaligned range", 0x80, 0x300, {{0x80, 0x37F}}, true, Method::Bulk,
            {{kBlock, 0x80, 0x80}, {kBulk, 0x100, 0x200}, {kBlock, 0x300, 0x80}}},
        {"a base high in memory", 0x70000, 0x10000, {{0x7F000, 0x7FFFF}}, true, Method::Auto,
            {{kBulk, 0x7F000, 0x1000}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::vector<uint8_t> before(c.length, 0x5A);
        std::vector<uint8_t> after = before;
        for (const Span& s : c.changes)
            for (uint32_t a = s.first; a <= s.last; ++a) after[a - c.base] ^= 0xFF;
        const auto ops = qx::tool::sync::Plan(before, after, c.base, c.bulkCapable, c.method);
        EXPECT_EQ(ops, c.expected) << c.name << ": " << Describe(ops);
        // Whatever the plan, it covers every changed byte and nothing outside the range.
        std::vector<uint8_t> device = before;
        for (const SyncOp& op : ops) {
            ASSERT_GE(op.address, c.base) << c.name;
            ASSERT_LE(uint64_t{op.address} + op.length, uint64_t{c.base} + c.length) << c.name;
            if (op.kind == kBulk) {
                EXPECT_EQ(op.address % 256, 0u) << c.name;
                EXPECT_EQ(op.length % 256, 0u) << c.name;
            }
            for (uint32_t i = 0; i < op.length; ++i)
                device[op.address - c.base + i] = after[op.address - c.base + i];
        }
        EXPECT_EQ(device, after) << c.name;
    }
}

TEST(SyncPlan, RandomChangesAreAllCovered) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const uint32_t base = rng() % 0x3000;
        const uint32_t length = 1 + rng() % 0x9000;
        std::vector<uint8_t> before(length);
        for (auto& b : before) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> after = before;
        const int changes = static_cast<int>(rng() % 40);
        for (int i = 0; i < changes; ++i) {
            const uint32_t at = rng() % length;
            const uint32_t run = std::min<uint32_t>(length - at, 1 + rng() % 0x2000);
            for (uint32_t j = 0; j < run; ++j) after[at + j] = static_cast<uint8_t>(rng());
        }
        const bool bulk = (rng() & 1) != 0;
        const auto ops = qx::tool::sync::Plan(before, after, base, bulk);
        std::vector<uint8_t> device = before;
        uint64_t previousEnd = 0;
        for (const SyncOp& op : ops) {
            ASSERT_GE(op.address, previousEnd) << "operations overlap or go backwards";
            previousEnd = uint64_t{op.address} + op.length;
            ASSERT_LE(previousEnd, uint64_t{base} + length);
            if (op.kind == kBulk) {
                ASSERT_TRUE(bulk);
                EXPECT_EQ(op.address % 4096, 0u);
                EXPECT_EQ(op.length % 4096, 0u);
            }
            std::copy(after.begin() + (op.address - base),
                      after.begin() + (op.address - base + op.length),
                      device.begin() + (op.address - base));
        }
        ASSERT_EQ(device, after) << "round " << round;
        // No page is written that did not change.
        const auto changed = qx::tool::sync::ChangedPages(before, after, base);
        uint32_t changedPages = 0;
        for (bool c : changed) changedPages += c;
        EXPECT_EQ(qx::tool::sync::PlannedPages(ops), changedPages) << "round " << round;
    }
}

TEST(SyncPlan, PageHashesFollowThePagesOfTheRange) {
    std::vector<uint8_t> bytes(0x300, 0x11);
    const auto before = qx::tool::sync::PageHashes(bytes, 0x80);  // pages 0x0, 0x100, 0x200, 0x300
    ASSERT_EQ(before.size(), 4u);
    bytes[0x100] ^= 1;  // device address 0x180: page 0x100
    const auto after = qx::tool::sync::PageHashes(bytes, 0x80);
    EXPECT_EQ(before[0], after[0]);
    EXPECT_NE(before[1], after[1]);
    EXPECT_EQ(before[2], after[2]);
    EXPECT_EQ(before[3], after[3]);
    // The first page holds 0x80 bytes, the full pages 0x100: equal fill, different hashes.
    EXPECT_NE(before[0], before[2]);
}

TEST(SyncState, RoundTripsAndRefusesDamage) {
    qx::tool::sync::SyncState state{"device=O firmware=10.15 space=2 range=0x000000+1024",
                                    {0x0123456789ABCDEFull, 0, ~0ull, 42, 7, 8, 9, 10, 11}};
    const std::string text = qx::tool::sync::FormatState(state);
    ASSERT_EQ(qx::tool::sync::ParseState(text), state);

    const std::string damaged[] = {
        "",
        "qxsync 2\n" + text.substr(text.find('\n') + 1),
        text.substr(0, text.size() - 5),                          // a hash cut short
        text.substr(0, text.rfind(' ')) + "\n",                   // a hash missing
        text + "0000000000000000\n",                              // one too many
        std::string(text).replace(text.find("0123"), 1, 1, 'g'),  // not hexadecimal
        std::string(text).replace(text.find("pages 9"), 7, "pages x"),
        "qxsync 1\nkey x\npages 99999999999\n",
    };
    for (const std::string& d : damaged)
        EXPECT_FALSE(qx::tool::sync::ParseState(d).has_value()) << d;
}

TEST(SyncState, SavedLoadedAndDropped) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("qxsync-state-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
    const std::string path = qx::tool::sync::StatePath((dir / "rom.bin").string());
    EXPECT_EQ(path, (dir / "rom.bin.qxsync").string());
    EXPECT_FALSE(qx::tool::sync::LoadState(path).has_value());
    const qx::tool::sync::SyncState state{"k", {1, 2, 3}};
    ASSERT_TRUE(qx::tool::sync::SaveState(path, state));
    EXPECT_EQ(qx::tool::sync::LoadState(path), state);
    const qx::tool::sync::SyncState next{"k2", {4}};
    ASSERT_TRUE(qx::tool::sync::SaveState(path, next));
    EXPECT_EQ(qx::tool::sync::LoadState(path), next);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_TRUE(qx::tool::sync::DropState(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(dir);
}

}  // namespace
