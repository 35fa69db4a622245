// The window's record in the settings block: what goes in comes back, and what was never
// written by the window (a script's bytes, a foreign or newer block) reads as nothing kept.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui_settings.h"
#include "ui_state.h"

namespace tarnwell {
namespace {

std::vector<uint8_t> OurBlock() {
    std::vector<uint8_t> block(kBlockSize, 0);
    BeginRun(block.data(), 'O', 10, 15, nullptr);
    return block;
}

TEST(UiState, RoundTripsEveryField) {
    UiState state;
    state.hasPlacement = true;
    state.placement = {-8, 12, 640, 480};
    state.verify = false;
    state.shortcut = {0x0D, 0x74};
    state.deviceName = "Bench Kelby \xC3\xA9";
    state.lastReadFile = "Z:\\tmp\\image.bin";
    state.lastWriteFile = std::string(kUiFileCapacity - 1, 'w');
    std::vector<uint8_t> block = OurBlock();
    const std::vector<uint8_t> header(block.begin(), block.begin() + kHeaderSize);
    ASSERT_TRUE(StoreUiState(block.data(), state));

    const UiState back = LoadUiState(block.data());
    EXPECT_TRUE(back.hasPlacement);
    EXPECT_EQ(back.placement.left, -8);
    EXPECT_EQ(back.placement.top, 12);
    EXPECT_EQ(back.placement.width, 640);
    EXPECT_EQ(back.placement.height, 480);
    EXPECT_FALSE(back.verify);
    EXPECT_EQ(back.shortcut.flags, 0x0D);
    EXPECT_EQ(back.shortcut.key, 0x74);
    EXPECT_EQ(back.deviceName, state.deviceName);
    EXPECT_EQ(back.lastReadFile, state.lastReadFile);
    EXPECT_EQ(back.lastWriteFile, state.lastWriteFile);
    // The header is not the record's business.
    EXPECT_TRUE(std::equal(header.begin(), header.end(), block.begin()));
    // The documented places.
    EXPECT_EQ(std::memcmp(block.data() + 16, "TWUI\x01", 5), 0);
    EXPECT_EQ(block[kUiShortcutOffset + 2], 0x74);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + kUiReadFileOffset)),
              state.lastReadFile);
}

TEST(UiState, BlocksWithoutTheRecordGiveDefaults) {
    struct Case {
        const char* name;
        std::vector<uint8_t> block;
    };
    std::vector<uint8_t> scripted = OurBlock();
    const uint8_t coffee[] = {0xC0, 0xFF, 0xEE};
    SetPayload(scripted.data(), 16, coffee, sizeof coffee);
    std::vector<uint8_t> laterRecord = OurBlock();
    UiState some;
    some.deviceName = "x";
    StoreUiState(laterRecord.data(), some);
    laterRecord[20] = kUiRecordVersion + 1;
    std::vector<uint8_t> foreign(kBlockSize, 0x5A);
    const Case cases[] = {
        {"all zero", std::vector<uint8_t>(kBlockSize, 0)},
        {"payload written by a script", scripted},
        {"a later record version", laterRecord},
        {"not this layout", foreign},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UiState state = LoadUiState(c.block.data());
        EXPECT_FALSE(state.hasPlacement);
        EXPECT_TRUE(state.verify);
        EXPECT_EQ(state.shortcut.key, 0);
        EXPECT_TRUE(state.deviceName.empty());
        EXPECT_TRUE(state.lastReadFile.empty());
        EXPECT_TRUE(state.lastWriteFile.empty());
    }
}

TEST(UiState, UntrustworthyFieldsAreDropped) {
    std::vector<uint8_t> block = OurBlock();
    UiState state;
    state.hasPlacement = true;
    state.placement = {10, 10, 0, 300};  // no width: not a window's
    state.deviceName = "kept";
    state.lastReadFile = "a.bin";
    ASSERT_TRUE(StoreUiState(block.data(), state));
    // A name field that fills its 64 bytes has no terminator: where would it end?
    std::memset(block.data() + kUiNameOffset, 'n', kUiNameCapacity);
    const UiState back = LoadUiState(block.data());
    EXPECT_FALSE(back.hasPlacement);
    EXPECT_TRUE(back.deviceName.empty());
    EXPECT_EQ(back.lastReadFile, "a.bin");
}

TEST(UiState, TooLongTextsAreStoredEmptyNotCut) {
    struct Case {
        const char* name;
        std::string deviceName;
        std::string readFile;
    };
    const Case cases[] = {
        {"name of 64 bytes", std::string(kUiNameCapacity, 'n'), "ok.bin"},
        {"path of 220 bytes", "ok", std::string(kUiFileCapacity, 'p')},
        {"embedded NUL", std::string("a\0b", 3), "ok.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> block = OurBlock();
        UiState state;
        state.deviceName = c.deviceName;
        state.lastReadFile = c.readFile;
        EXPECT_FALSE(StoreUiState(block.data(), state));
        const UiState back = LoadUiState(block.data());
        EXPECT_EQ(back.deviceName, c.deviceName.size() < kUiNameCapacity &&
                                           c.deviceName.find('\0') == std::string::npos
                                       ? c.deviceName
                                       : "");
        EXPECT_EQ(back.lastReadFile, c.readFile.size() < kUiFileCapacity ? c.readFile : "");
    }
}

TEST(UiState, NewerLayoutBlockIsNotWritten) {
    std::vector<uint8_t> block = OurBlock();
    block[4] = kLayoutVersion + 1;
    const std::vector<uint8_t> before = block;
    UiState state;
    state.deviceName = "x";
    EXPECT_FALSE(StoreUiState(block.data(), state));
    EXPECT_EQ(block, before);
}

TEST(CutUtf8, NeverSplitsACharacter) {
    struct Case {
        std::string text;
        size_t max;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 3, "abc"},
        {"abcd", 3, "abc"},
        {"ab\xC3\xA9", 3, "ab"},  // two-byte character cut in half
        {"a\xE2\x82\xAC"
         "b",
         3, "a"},  // three-byte character
        {"a\xE2\x82\xAC"
         "b",
         4, "a\xE2\x82\xAC"},
        {"\xF0\x9F\x98\x80x", 2, ""},  // four-byte character
        {"", 0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(CutUtf8(c.text, c.max), c.expected) << c.text;
}

}  // namespace
}  // namespace tarnwell
