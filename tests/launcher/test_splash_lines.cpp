// The splash's line list: order, overwrite by key, unknown keys, the text limit, fonts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/splash_lines.h"

namespace {

std::vector<void*> gDeleted;
void RecordDelete(void* font) {
    gDeleted.push_back(font);
}

// Distinct fake font handles.
int gFontA, gFontB, gFontC;

struct Snapshot {
    std::string text;
    int32_t left, top, right, bottom, key;
    void* font;
    uint32_t colour;
    bool operator==(const Snapshot&) const = default;
};

std::vector<Snapshot> Take(qx::SplashLines& lines) {
    std::vector<Snapshot> out;
    for (const qx::SplashLine& l : lines)
        out.push_back({l.text, l.rect.left, l.rect.top, l.rect.right, l.rect.bottom, l.key, l.font,
                       l.colour});
    return out;
}

class SplashLinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gDeleted.clear();
        lines.Add("Quillon Software v1.83", {25, 150, 0, 0}, 1, nullptr, 0);
        lines.Add("Searching for Hardware...", {250, 150, 0, 0}, 2, &gFontA, 0);
        lines.Add("third", {10, 10, 20, 20}, 7, nullptr, 0x00FF00);
    }
    qx::SplashLines lines{RecordDelete};
};

TEST_F(SplashLinesTest, AddingAnExistingKeyOverwritesTheLineInItsPlace) {
    lines.Add("Found: Kelby v10.15", {300, 151, 5, 6}, 2, &gFontB, 255);

    ASSERT_EQ(lines.Count(), 3u);
    EXPECT_EQ(lines.At(0)->key, 1);
    EXPECT_EQ(lines.At(2)->key, 7);
    const Snapshot second = Take(lines)[1];
    EXPECT_EQ(second, (Snapshot{"Found: Kelby v10.15", 300, 151, 5, 6, 2, &gFontB, 255}));
    EXPECT_EQ(lines.Find(2), lines.At(1));
    // The list owned the replaced font.
    EXPECT_EQ(gDeleted, std::vector<void*>{&gFontA});
}

TEST_F(SplashLinesTest, ReaddingTheSameFontKeepsIt) {
    lines.Add("again", {0, 0, 0, 0}, 2, &gFontA, 0);
    EXPECT_TRUE(gDeleted.empty());
    EXPECT_EQ(lines.Find(2)->font, &gFontA);
}

TEST_F(SplashLinesTest, UnknownKeysChangeNothing) {
    const std::vector<Snapshot> before = Take(lines);
    for (int32_t key : {0, 3, -1, 1000}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(lines.SetText(key, "changed"));
        EXPECT_FALSE(lines.SetColour(key, 255));
        EXPECT_EQ(lines.Find(key), nullptr);
    }
    EXPECT_EQ(Take(lines), before);
}

TEST_F(SplashLinesTest, KnownKeysChangeOnlyTheirLine) {
    std::vector<Snapshot> expected = Take(lines);
    EXPECT_TRUE(lines.SetColour(2, 255));
    EXPECT_TRUE(lines.SetText(2, "No Hardware Found"));
    expected[1].text = "No Hardware Found";
    expected[1].colour = 255;
    EXPECT_EQ(Take(lines), expected);
}

TEST_F(SplashLinesTest, LongTextIsCutTo254Characters) {
    struct Case {
        size_t length;
        size_t kept;
    };
    for (const Case c : {Case{253, 253}, Case{254, 254}, Case{255, 254}, Case{300, 254}}) {
        SCOPED_TRACE(c.length);
        std::string text;
        for (size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
        lines.Add(text.c_str(), {0, 0, 0, 0}, 9, nullptr, 0);
        EXPECT_EQ(std::string(lines.Find(9)->text), text.substr(0, c.kept));
        ASSERT_TRUE(lines.SetText(1, text.c_str()));
        EXPECT_EQ(std::string(lines.Find(1)->text), text.substr(0, c.kept));
    }
}

TEST_F(SplashLinesTest, PositionsPastTheEndAreEmpty) {
    EXPECT_EQ(lines.At(3), nullptr);
    EXPECT_EQ(lines.At(UINT32_MAX), nullptr);
}

TEST_F(SplashLinesTest, ClearFreesEveryOwnedFontOnce) {
    lines.Add("c", {0, 0, 0, 0}, 8, &gFontC, 0);
    lines.Clear();
    EXPECT_EQ(lines.Count(), 0u);
    EXPECT_EQ(lines.At(0), nullptr);
    EXPECT_EQ(gDeleted, (std::vector<void*>{&gFontA, &gFontC}));
    // A cleared list can be filled again.
    lines.Add("new", {1, 2, 3, 4}, 2, nullptr, 0);
    EXPECT_EQ(lines.Count(), 1u);
}

}  // namespace
