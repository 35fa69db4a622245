// The settings file on disk: what is read, what is emptied, what a save leaves behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "launcher/settings_file.h"
#include "launcher/ui_procedure.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSize = qx::kSettingsBlockSize;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

Bytes ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/qx-settings-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        path = dir / "QuillonSettings.dat";
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir, path;
};

TEST_F(SettingsFileTest, OnlyAFileOfExactlyOneBlockIsRead) {
    struct Case {
        const char* name;
        int size;  // -1: no file
        bool read;
    };
    const Case cases[] = {{"missing", -1, false}, {"empty", 0, false}, {"551", 551, false},
                          {"552", 552, true},     {"553", 553, false}, {"4096", 4096, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(path);
        const Bytes before = c.size < 0 ? Bytes{} : Pattern(static_cast<size_t>(c.size), 7);
        if (c.size >= 0) WriteAll(path, before);

        qx::SettingsFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        Bytes block(kSize, 0xEE);
        file.Load(block.data(), kSize);
        file.Close();

        if (c.read) {
            EXPECT_EQ(block, before);
            EXPECT_EQ(ReadAll(path), before);
        } else {
            EXPECT_EQ(block, Bytes(kSize, 0));
            ASSERT_TRUE(fs::exists(path));
            EXPECT_EQ(fs::file_size(path), 0u) << "emptied (or created) at once";
        }
    }
}

TEST_F(SettingsFileTest, SaveLeavesExactlyTheBlock) {
    for (int size : {0, 551, 552, 553}) {
        SCOPED_TRACE(size);
        WriteAll(path, Pattern(static_cast<size_t>(size), 1));
        qx::SettingsFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        Bytes block(kSize);
        file.Load(block.data(), kSize);
        const Bytes left = Pattern(kSize, static_cast<uint8_t>(size));
        EXPECT_TRUE(file.Save(left.data(), kSize));
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(ReadAll(path), left);
        EXPECT_FALSE(fs::exists(path.string() + ".tmp"));
    }
}

TEST_F(SettingsFileTest, SaveWritesInPlaceWhenNoTemporaryFileCanBeMade) {
    WriteAll(path, Pattern(kSize, 3));
    fs::create_directory(path.string() + ".tmp");  // blocks the temporary file
    qx::SettingsFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    Bytes block(kSize);
    file.Load(block.data(), kSize);
    const Bytes left = Pattern(kSize, 99);
    EXPECT_TRUE(file.Save(left.data(), kSize));
    EXPECT_EQ(ReadAll(path), left);
    EXPECT_TRUE(fs::is_directory(path.string() + ".tmp")) << "not touched";
}

TEST_F(SettingsFileTest, ASaveReplacesTheFileRatherThanWritingIntoIt) {
    // A reader holding the old file still sees the old bytes whole: nothing was written
    // into it, so an interrupted save cannot leave a mixture.
    const Bytes old = Pattern(kSize, 5);
    WriteAll(path, old);
    std::ifstream reader(path, std::ios::binary);
    qx::SettingsFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    Bytes block(kSize);
    file.Load(block.data(), kSize);
    const Bytes left = Pattern(kSize, 77);
    ASSERT_TRUE(file.Save(left.data(), kSize));
    const Bytes seen{std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>()};
    EXPECT_EQ(seen, old);
    EXPECT_EQ(ReadAll(path), left);
}

TEST_F(SettingsFileTest, AFolderInThePlaceOfTheFileCannotBeOpened) {
    fs::create_directory(path);
    qx::SettingsFile file;
    EXPECT_FALSE(file.Open(path.c_str()));
    EXPECT_FALSE(file.Save(Pattern(kSize, 0).data(), kSize));
    EXPECT_TRUE(fs::is_directory(path));
}

TEST_F(SettingsFileTest, APathLongerThanTheBufferIsRefused) {
    const std::string longPath = dir.string() + "/" + std::string(300, 'x');
    qx::SettingsFile file;
    EXPECT_FALSE(file.Open(longPath.c_str()));
}

}  // namespace
