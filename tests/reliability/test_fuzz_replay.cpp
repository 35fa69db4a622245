// The fuzz harnesses as regression tests, with any compiler: every seed of the corpora in
// fuzz/corpus/ and every saved finding in fuzz/regressions/ goes through the same checks
// as under libFuzzer. Built twice: with QX_REPLAY_DEVICE for the device replies (over the
// scripted line), without it for the image and settings files (on the real platform).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"
#ifdef QX_REPLAY_DEVICE
#include "base/result_codes.h"
#else
#include "tools/qxtool/image_file.h"
#endif

namespace {

namespace fs = std::filesystem;

// Files of fuzz/<kind>/<target>/, sorted; none when the folder does not exist.
std::vector<fs::path> Inputs(const char* kind, const char* target) {
    std::vector<fs::path> files;
    const fs::path folder = fs::path(QX_FUZZ_DIR) / kind / target;
    std::error_code error;
    if (!fs::is_directory(folder, error)) return files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using Runner = std::string (*)(const uint8_t*, size_t);

// Every saved finding of a target passes the checks now.
void ReplayFindings(const char* target, Runner run) {
    for (const fs::path& file : Inputs("regressions", target)) {
        const std::vector<uint8_t> input = Bytes(file);
        EXPECT_EQ(run(input.data(), input.size()), "") << file;
    }
}

#ifdef QX_REPLAY_DEVICE

std::string RunDevice(const uint8_t* data, size_t size) {
    return qxfuzz::RunDeviceReplies(data, size);
}

// The seeds are answered as a device would answer: each operation succeeds (the cancel seed
// is canceled), so the fuzzer starts from every success path.
TEST(DeviceRepliesReplay, SeedsSucceedAndPassEveryCheck) {
    const std::vector<fs::path> seeds = Inputs("corpus", "device_replies");
    ASSERT_GE(seeds.size(), 20u) << "seed corpus missing";
    for (const fs::path& file : seeds) {
        const std::vector<uint8_t> input = Bytes(file);
        int32_t result = 12345;
        EXPECT_EQ(qxfuzz::RunDeviceReplies(input.data(), input.size(), &result), "") << file;
        const int32_t expected =
            file.filename() == "seed-cancel" ? qx::VR_E_OPERATION_CANCELED : qx::VR_S_OK;
        EXPECT_EQ(result, expected) << file << ": " << qx::ResultCodeName(result);
    }
}

TEST(DeviceRepliesReplay, SavedFindingsStayFixed) {
    ReplayFindings("device_replies", RunDevice);
}

// Every operation on every model row (and an unlisted letter) against a silent device, a
// device that fails every read, and one that answers each read with a burst of noise.
TEST(DeviceRepliesReplay, EveryOperationEveryModelHostileDevice) {
    constexpr int kOperations = 22;
    constexpr int kRows = 25;
    std::vector<uint8_t> noise;
    for (int i = 0; i < 600; ++i) noise.push_back(static_cast<uint8_t>((i * 37 + 11) & 0xBF));
    int runs = 0;
    for (int op = 0; op < kOperations; ++op) {
        for (int row = 0; row < kRows; ++row) {
            for (int script = 0; script < 3; ++script) {
                // length 300, address 0x001000, emulation bank from h[12], log attached
                std::vector<uint8_t> input{static_cast<uint8_t>(op),
                                           static_cast<uint8_t>(row),
                                           2,
                                           0,
                                           0,
                                           0x0A,
                                           0x2C,
                                           0x01,
                                           0x00,
                                           0x10,
                                           0x00,
                                           0x00,
                                           0x08};
                if (script == 1) input.insert(input.end(), 8, 0xFF);
                if (script == 2) input.insert(input.end(), noise.begin(), noise.end());
                EXPECT_EQ(qxfuzz::RunDeviceReplies(input.data(), input.size()), "")
                    << "operation " << op << ", row " << row << ", script " << script;
                ++runs;
            }
        }
    }
    EXPECT_EQ(runs, kOperations * kRows * 3);
}

#else

TEST(ImageReplay, SeedsAreValidFilesAndPassEveryCheck) {
    for (const char* target : {"intel_hex", "srecord"}) {
        const std::vector<fs::path> seeds = Inputs("corpus", target);
        ASSERT_GE(seeds.size(), 3u) << target;
        const bool hex = std::string(target) == "intel_hex";
        for (const fs::path& file : seeds) {
            const std::vector<uint8_t> input = Bytes(file);
            EXPECT_EQ((hex ? qxfuzz::RunIntelHex : qxfuzz::RunSRecord)(input.data(), input.size()),
                      "")
                << file;
            const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
            EXPECT_NO_THROW(
                (void)(hex ? qx::image::ParseIntelHex(text) : qx::image::ParseSRecord(text)))
                << file;
        }
    }
}

TEST(ImageReplay, SavedFindingsStayFixed) {
    ReplayFindings("intel_hex", qxfuzz::RunIntelHex);
    ReplayFindings("srecord", qxfuzz::RunSRecord);
}

TEST(SettingsReplay, SeedsAndFindingsPassEveryCheck) {
    const std::vector<fs::path> seeds = Inputs("corpus", "settings_file");
    ASSERT_GE(seeds.size(), 4u);
    for (const fs::path& file : seeds) {
        const std::vector<uint8_t> input = Bytes(file);
        EXPECT_EQ(qxfuzz::RunSettingsFile(input.data(), input.size()), "") << file;
    }
    ReplayFindings("settings_file", qxfuzz::RunSettingsFile);
}

TEST(TelnetReplay, SeedsAndFindingsPassEveryCheck) {
    const std::vector<fs::path> seeds = Inputs("corpus", "telnet_stream");
    ASSERT_GE(seeds.size(), 4u);
    for (const fs::path& file : seeds) {
        const std::vector<uint8_t> input = Bytes(file);
        EXPECT_EQ(qxfuzz::RunTelnetStream(input.data(), input.size()), "") << file;
    }
    ReplayFindings("telnet_stream", qxfuzz::RunTelnetStream);
}

#endif

}  // namespace
