// The stand-in's settings header: which blocks it keeps, resets or leaves alone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ui_settings.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tarnwell::BlockState;

Bytes OurBlock(uint32_t runs, uint16_t version = 1, uint16_t headerSize = 16) {
    Bytes b(tarnwell::kBlockSize, 0);
    std::memcpy(b.data(), "TWSB", 4);
    b[4] = static_cast<uint8_t>(version);
    b[5] = static_cast<uint8_t>(version >> 8);
    b[6] = static_cast<uint8_t>(headerSize);
    b[8] = static_cast<uint8_t>(runs);
    b[9] = static_cast<uint8_t>(runs >> 8);
    b[12] = 'A';
    b[13] = 2;
    b[14] = 5;
    for (size_t i = 16; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

TEST(UiSettings, EachKindOfBlockIsTreatedByItsRule) {
    struct Case {
        const char* name;
        Bytes block;
        BlockState state;
        uint32_t runAfter;
        bool payloadKept;
    };
    Bytes foreign(tarnwell::kBlockSize, 0x41);
    const Case cases[] = {
        {"fresh", Bytes(tarnwell::kBlockSize, 0), BlockState::Fresh, 1, false},
        {"ours", OurBlock(300), BlockState::Ours, 301, true},
        {"foreign", foreign, BlockState::Foreign, 1, false},
        {"old layout", OurBlock(3, 0), BlockState::Foreign, 1, false},
        {"bad header size", OurBlock(3, 1, 20), BlockState::Foreign, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes block = c.block;
        tarnwell::Header h{};
        EXPECT_EQ(tarnwell::BeginRun(block.data(), 'O', 10, 15, &h), c.state);
        EXPECT_EQ(h.runCount, c.runAfter);
        EXPECT_EQ(tarnwell::Inspect(block.data(), nullptr), BlockState::Ours);
        EXPECT_EQ(block[12], 'O');
        EXPECT_EQ(block[13], 10);
        EXPECT_EQ(block[14], 15);
        const Bytes payload(block.begin() + 16, block.end());
        if (c.payloadKept) {
            EXPECT_EQ(payload, Bytes(c.block.begin() + 16, c.block.end()));
        } else {
            EXPECT_EQ(payload, Bytes(payload.size(), 0));
        }
    }
}

TEST(UiSettings, ANewerLayoutIsLeftExactlyAsItIs) {
    const Bytes before = OurBlock(9, 2);
    Bytes block = before;
    EXPECT_EQ(tarnwell::BeginRun(block.data(), 'O', 10, 15, nullptr), BlockState::Newer);
    EXPECT_EQ(block, before);
}

TEST(UiSettings, WithoutADeviceTheLastOneIsKept) {
    Bytes block = OurBlock(1);
    tarnwell::BeginRun(block.data(), 0, 0, 0, nullptr);
    EXPECT_EQ(block[12], 'A');
    EXPECT_EQ(block[13], 2);
}

TEST(UiSettings, PayloadWritesStayOutOfTheHeaderAndInsideTheBlock) {
    struct Case {
        uint32_t offset;
        uint32_t count;
        bool ok;
    };
    const Case cases[] = {{15, 1, false}, {16, 1, true},   {550, 2, true},  {551, 2, false},
                          {552, 0, true}, {553, 0, false}, {16, 536, true}, {0xFFFFFFFF, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.count);
        Bytes block = OurBlock(1);
        const Bytes before = block;
        const Bytes data(c.count, 0xEE);
        EXPECT_EQ(tarnwell::SetPayload(block.data(), c.offset, data.data(), c.count), c.ok);
        if (!c.ok) {
            EXPECT_EQ(block, before);
        } else if (c.count > 0) {
            EXPECT_EQ(block[c.offset + c.count - 1], 0xEE);
        }
    }
}

}  // namespace
