// The state file `qxtool sync` keeps beside the image (FILE.qxsync): which device and range a
// sync wrote, and a hash of every page it left there, so that `--assume-written` can skip
// reading the device back the next time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::tool::sync {

struct SyncState {
    // One line naming the device (hardware letter, firmware, serial), the memory space, the
    // bank mapping and the range; a state is used only when this matches exactly.
    std::string key;
    std::vector<uint64_t> pageHashes;
    bool operator==(const SyncState&) const = default;
};

std::string StatePath(const std::string& imageFile);

std::string FormatState(const SyncState& state);
// Nothing when the text is not a state file of this version (a damaged file reads as none).
std::optional<SyncState> ParseState(const std::string& text);

// Nothing when the file is missing or unreadable.
std::optional<SyncState> LoadState(const std::string& path);
// Written to a temporary file and renamed over the old one, so a reader never sees half of
// it. False when that fails.
bool SaveState(const std::string& path, const SyncState& state);
// Removed before a sync writes anything: an interrupted sync must not leave a state that
// claims the device holds what it may not.
bool DropState(const std::string& path);

}  // namespace qx::tool::sync
