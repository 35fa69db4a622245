// The COM map of network ports on POSIX: $QX_COM_DIR/COMn may be a small text file whose
// first line is the URL of a network port, where a link to a tty would otherwise be.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "platform/comm.h"
#include "platform/net_port.h"

namespace qx::platform {
namespace {

// Enough for any URL a port name can hold; a larger file is no map entry.
constexpr off_t kMaxMapFile = 4096;

// The first line of a regular file, trimmed; nothing for any other kind of file.
bool FirstLine(const std::string& path, std::string* line) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxMapFile)
        return false;
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    *line = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    return true;
}

bool HasComDir() {
    const char* dir = std::getenv("QX_COM_DIR");
    return dir != nullptr && *dir != '\0';
}

}  // namespace

std::string NetPortUrl(const char* name) {
    if (name == nullptr) return {};
    if (IsNetPortName(name)) return name;
    if (!HasComDir()) return {};
    // Only COM names go through the map; any other name is a path and opens as one.
    const std::string path = ResolveComName(name);
    if (path.empty() || path == name) return {};
    std::string url;
    if (!FirstLine(path, &url) || !IsNetPortName(url.c_str())) return {};
    return url;
}

std::vector<NetPortMapping> ListNetPortMappings() {
    std::vector<NetPortMapping> found;
    if (!HasComDir()) return found;
    for (int number = 0; number <= 255; ++number) {
        const std::string path = ResolveComName(("COM" + std::to_string(number)).c_str());
        NetPortMapping entry;
        if (path.empty() || !FirstLine(path, &entry.url)) continue;
        entry.comNumber = number;
        entry.where = path;
        entry.valid = IsNetPortName(entry.url.c_str());
        found.push_back(std::move(entry));
    }
    return found;
}

}  // namespace qx::platform
