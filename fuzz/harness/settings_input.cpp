// The settings file: whatever a previous run, another program or a damaged disk left at the
// settings path, read at start-up and written back after the user-interface library.
//
// Checks: a file of exactly one block is read whole into the block; any other file is
// emptied and the block starts as zeros; the write-back leaves exactly the block, 552 bytes,
// and no temporary file beside it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "launcher/settings_file.h"

namespace qxfuzz {
namespace {

constexpr uint32_t kBlockSize = 552;

std::string gFolder;

void RemoveFolder() {
    if (gFolder.empty()) return;
    std::remove((gFolder + "/QuillonSettings.dat").c_str());
    std::remove((gFolder + "/QuillonSettings.dat.tmp").c_str());
    rmdir(gFolder.c_str());
}

const std::string& Folder() {
    if (gFolder.empty()) {
        // Memory-backed when the machine has it: the fuzzer writes a file per run.
        char pattern[64];
        std::snprintf(pattern, sizeof pattern, "%s/qxfuzz-settings-XXXXXX",
                      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        gFolder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        if (gFolder != "/tmp") std::atexit(RemoveFolder);
    }
    return gFolder;
}

long long SizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[1024];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(f);
    }
    return bytes;
}

}  // namespace

std::string RunSettingsFile(const uint8_t* data, size_t size) {
    const std::string path = Folder() + "/QuillonSettings.dat";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size != 0 && std::fwrite(data, 1, size, f) != size) {
            std::fclose(f);
            return "";  // the disk refused the input itself: nothing to test
        }
        std::fclose(f);
    } else {
        return "cannot create the test file";
    }

    std::string verdict;
    {
        qx::SettingsFile file;
        if (!file.Open(path.c_str())) return "an existing settings file did not open";
        std::vector<uint8_t> block(kBlockSize, 0xEE);
        file.Load(block.data(), kBlockSize);
        if (size == kBlockSize) {
            if (std::memcmp(block.data(), data, kBlockSize) != 0) verdict = "block not read whole";
        } else {
            if (block != std::vector<uint8_t>(kBlockSize, 0)) verdict = "block not zeroed";
            if (verdict.empty() && SizeOf(path) != 0) verdict = "odd-sized file not emptied";
        }
        // What the user-interface library leaves: anything, here the file's bytes turned round.
        for (uint32_t i = 0; i < kBlockSize; ++i) {
            block[i] = static_cast<uint8_t>(block[i] ^ (size != 0 ? data[i % size] : 0) ^ i);
        }
        if (!file.Save(block.data(), kBlockSize)) {
            if (verdict.empty()) verdict = "write-back failed";
        }
        if (verdict.empty()) {
            const std::vector<uint8_t> written = ReadAll(path);
            if (written.size() != kBlockSize) {
                verdict = "settings file left at " + std::to_string(written.size()) + " bytes";
            } else if (written != block) {
                verdict = "settings file does not hold the block";
            }
        }
    }
    if (verdict.empty() && SizeOf(path + ".tmp") >= 0) verdict = "temporary file left behind";
    std::remove((path + ".tmp").c_str());
    return verdict;
}

}  // namespace qxfuzz
