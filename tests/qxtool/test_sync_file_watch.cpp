// The file watch service behind qxtool sync --watch: the ways editors save a file are seen,
// changes to other files of the folder are not.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/file_watch.h"

namespace {

namespace fs = std::filesystem;
using qx::platform::FileWatch;

class SyncFileWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() / ("qxsync-watch-" + std::to_string(std::random_device()()));
        fs::create_directories(dir_);
        file_ = (dir_ / "rom.bin").string();
        Write(file_, "first");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    // Waits out anything still pending, so a test starts from a quiet watch.
    static void Settle(FileWatch& watch) {
        while (watch.Wait(100) != FileWatch::Event::Timeout) {
        }
    }
    // The events until the watch has been quiet for quietMs (at most 3 s in all).
    static std::vector<FileWatch::Event> Events(FileWatch& watch, uint32_t quietMs) {
        std::vector<FileWatch::Event> events;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            const FileWatch::Event event = watch.Wait(quietMs);
            if (event == FileWatch::Event::Timeout || event == FileWatch::Event::Failed) break;
            events.push_back(event);
        }
        return events;
    }

    fs::path dir_;
    std::string file_;
};

TEST_F(SyncFileWatch, EverySaveOfTheFileIsSeen) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> save;
    } saves[] = {
        {"rewritten in place", [](const std::string& file) { Write(file, "second"); }},
        {"one byte patched in place",
         [](const std::string& file) {
             std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(1);
             f.put('X');
         }},
        {"temporary file renamed over it",
         [](const std::string& file) {
             Write(file + ".swp", "third");
             fs::rename(file + ".swp", file);
         }},
        {"removed and created again",
         [](const std::string& file) {
             fs::remove(file);
             Write(file, "fourth");
         }},
    };
    FileWatch watch;
    std::string error;
    ASSERT_TRUE(watch.Start(file_, &error)) << error;
    for (const auto& s : saves) {
        Settle(watch);
        s.save(file_);
        const std::vector<FileWatch::Event> events = Events(watch, 300);
        ASSERT_FALSE(events.empty()) << s.name;
#ifndef _WIN32
        // Every one of these saves ends with a close after writing or a rename onto the name,
        // so the sync need not wait for a quiet time. (Windows reports no close.)
        EXPECT_EQ(events.back(), FileWatch::Event::Settled) << s.name;
#endif
    }
}

#ifndef _WIN32
// A writer that still holds the file open has not finished its save; its close ends it.
TEST_F(SyncFileWatch, AnOpenWriterIsNotSettledUntilItCloses) {
    FileWatch watch;
    std::string error;
    ASSERT_TRUE(watch.Start(file_, &error)) << error;
    Settle(watch);
    std::ofstream writer(file_, std::ios::binary | std::ios::trunc);
    writer << "half";
    writer.flush();
    const std::vector<FileWatch::Event> open = Events(watch, 300);
    ASSERT_FALSE(open.empty());
    for (const FileWatch::Event event : open) EXPECT_EQ(event, FileWatch::Event::Changed);
    writer << " and the rest";
    writer.close();
    const std::vector<FileWatch::Event> closed = Events(watch, 300);
    ASSERT_FALSE(closed.empty());
    EXPECT_EQ(closed.back(), FileWatch::Event::Settled);
}
#endif

TEST_F(SyncFileWatch, OtherFilesOfTheFolderDoNotCount) {
    FileWatch watch;
    std::string error;
    ASSERT_TRUE(watch.Start(file_, &error)) << error;
    Settle(watch);
    Write((dir_ / "rom.bin.qxsync").string(), "state");
    Write((dir_ / "other.bin").string(), "other");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(watch.Wait(300), FileWatch::Event::Timeout);
    // The wait lasts its time even though the folder saw changes.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    Write(file_, "mine");
    EXPECT_NE(watch.Wait(2000), FileWatch::Event::Timeout);
}

TEST_F(SyncFileWatch, AMissingFolderIsRefused) {
    FileWatch watch;
    std::string error;
    EXPECT_FALSE(watch.Start((dir_ / "no-such-folder" / "rom.bin").string(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(watch.Wait(10), FileWatch::Event::Failed);
}

}  // namespace
