// The settings file: the user-interface library's settings block, kept whole on disk.
//
// A file of exactly the block's size is read; a file of any other size is emptied at once
// and the block starts as zeros. Saving leaves the file exactly one block long: the block is
// written to a temporary file beside it, flushed, and put in its place in one step, so an
// interrupted save leaves either the old file or the new one. Where the folder refuses the
// temporary file, the block is written over the file in place instead.
#pragma once

#include <cstdint>

#include "platform/os_types.h"

namespace qx {

inline constexpr uint32_t kSettingsPathCapacity = 260;

class SettingsFile {
  public:
    SettingsFile() = default;
    ~SettingsFile() { Close(); }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    // Opens the file for reading and writing, creating it when missing.
    bool Open(const char* path);
    // Fills `block` (blockSize bytes) from the file, or with zeros after emptying the file.
    void Load(uint8_t* block, uint32_t blockSize);
    // Writes `block` back; true when the file now holds exactly it. Closes the file.
    bool Save(const uint8_t* block, uint32_t blockSize);
    void Close();

    bool IsOpen() const { return file_ != InvalidHandle(); }

  private:
    bool SaveInPlace(const uint8_t* block, uint32_t blockSize);
    bool SaveReplacing(const uint8_t* block, uint32_t blockSize);

    OsHandle file_ = InvalidHandle();
    char path_[kSettingsPathCapacity] = {};
};

}  // namespace qx
