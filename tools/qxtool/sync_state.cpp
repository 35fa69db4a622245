#include "tools/qxtool/sync_state.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qx::tool::sync {
namespace {

constexpr const char* kMagic = "qxsync 1";
constexpr size_t kHashesPerLine = 8;
// No device holds more than this many pages (4 GiB / 256); anything larger is damage.
constexpr unsigned long long kMaxPages = 1ull << 24;

}  // namespace

std::string StatePath(const std::string& imageFile) {
    return imageFile + ".qxsync";
}

std::string FormatState(const SyncState& state) {
    std::string text = std::string(kMagic) + "\nkey " + state.key + "\npages " +
                       std::to_string(state.pageHashes.size()) + "\n";
    for (size_t i = 0; i < state.pageHashes.size(); ++i) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx",
                      static_cast<unsigned long long>(state.pageHashes[i]));
        text += hex;
        text += (i + 1) % kHashesPerLine == 0 || i + 1 == state.pageHashes.size() ? '\n' : ' ';
    }
    return text;
}

std::optional<SyncState> ParseState(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) return std::nullopt;
    SyncState state;
    if (!std::getline(in, line) || line.rfind("key ", 0) != 0) return std::nullopt;
    state.key = line.substr(4);
    if (!std::getline(in, line) || line.rfind("pages ", 0) != 0) return std::nullopt;
    const std::string count = line.substr(6);
    if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != count.npos)
        return std::nullopt;
    const unsigned long long pages = std::stoull(count);
    if (pages > kMaxPages) return std::nullopt;
    state.pageHashes.reserve(static_cast<size_t>(pages));
    std::string word;
    while (in >> word) {
        if (word.size() != 16 || word.find_first_not_of("0123456789abcdef") != word.npos)
            return std::nullopt;
        state.pageHashes.push_back(std::stoull(word, nullptr, 16));
    }
    if (state.pageHashes.size() != pages) return std::nullopt;
    return state;
}

std::optional<SyncState> LoadState(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return ParseState(text.str());
}

bool SaveState(const std::string& path, const SyncState& state) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << FormatState(state);
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (!error) return true;
    std::filesystem::remove(temporary, error);
    return false;
}

bool DropState(const std::string& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return !error;
}

}  // namespace qx::tool::sync
