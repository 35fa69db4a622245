#include "launcher/settings_file.h"

#include <cstring>

#include "base/bounded_text.h"
#include "platform/launcher_services.h"

namespace qx {
namespace {

constexpr const char* kTemporarySuffix = ".tmp";

bool WriteAll(OsHandle file, const uint8_t* data, uint32_t size) {
    uint32_t done = 0;
    return platform::FileWrite(file, data, size, &done) && done == size;
}

}  // namespace

bool SettingsFile::Open(const char* path) {
    Close();
    if (BoundedCopy(path_, sizeof path_, path) != kSOk) return false;
    file_ = platform::FileOpenAlways(path_);
    return IsOpen();
}

void SettingsFile::Load(uint8_t* block, uint32_t blockSize) {
    if (platform::FileSize(file_) == static_cast<int64_t>(blockSize)) {
        uint32_t done = 0;
        platform::FileRead(file_, block, blockSize, &done);
        return;
    }
    platform::FileSeekStart(file_, 0);
    platform::FileTruncateHere(file_);
    std::memset(block, 0, blockSize);
}

bool SettingsFile::Save(const uint8_t* block, uint32_t blockSize) {
    if (!IsOpen()) return false;
    if (SaveReplacing(block, blockSize)) return true;
    return SaveInPlace(block, blockSize);
}

bool SettingsFile::SaveReplacing(const uint8_t* block, uint32_t blockSize) {
    char temporary[kSettingsPathCapacity];
    if (BoundedCopy(temporary, sizeof temporary, path_) != kSOk ||
        BoundedAppend(temporary, sizeof temporary, kTemporarySuffix) != kSOk)
        return false;
    OsHandle staged = platform::FileCreateEmpty(temporary);
    if (staged == InvalidHandle()) return false;
    const bool written = WriteAll(staged, block, blockSize) && platform::FileFlush(staged);
    platform::FileClose(staged);
    if (!written) {
        platform::FileDelete(temporary);
        return false;
    }
    // Windows cannot replace a file that is still open.
    Close();
    if (platform::FileReplace(temporary, path_)) return true;
    platform::FileDelete(temporary);
    file_ = platform::FileOpenAlways(path_);
    return false;
}

bool SettingsFile::SaveInPlace(const uint8_t* block, uint32_t blockSize) {
    if (!IsOpen()) return false;
    const bool ok = platform::FileSeekStart(file_, 0) && WriteAll(file_, block, blockSize) &&
                    platform::FileTruncateHere(file_);
    platform::FileFlush(file_);
    Close();
    return ok;
}

void SettingsFile::Close() {
    if (!IsOpen()) return;
    platform::FileClose(file_);
    file_ = InvalidHandle();
}

}  // namespace qx
