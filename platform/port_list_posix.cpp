// Serial ports on Linux: the COM map, tty nodes under /dev, sysfs for what is behind them.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/port_list.h"

namespace qx::platform {
namespace {

namespace fs = std::filesystem;

std::string RootOr(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string CanonicalOr(const fs::path& path, const std::string& fallback) {
    std::error_code error;
    const auto canonical = fs::canonical(path, error);
    return error ? fallback : canonical.string();
}

// One sysfs attribute, its trailing newline dropped; "" when absent.
std::string Attribute(const fs::path& folder, const char* name) {
    std::ifstream in(folder / name);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    return value;
}

bool ParseHex16(const std::string& text, uint16_t* value) {
    if (text.empty() || text.size() > 4) return false;
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return false;
    *value = static_cast<uint16_t>(number);
    return true;
}

// The character device's sysfs folder (sysfs/dev/char/MAJOR:MINOR), then up its parents to
// the USB device: the first folder with idVendor. The interface on the way names which
// port of a multi-port adapter this is.
std::optional<UsbIdentity> UsbOf(const std::string& node, const std::string& sysfs) {
    struct stat info {};
    if (stat(node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
    const fs::path link =
        fs::path(sysfs) / "dev" / "char" /
        (std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)));
    std::error_code error;
    fs::path folder = fs::canonical(link, error);
    if (error) return std::nullopt;
    const fs::path top = fs::canonical(sysfs, error);
    if (error) return std::nullopt;
    int interfaceNumber = -1;
    for (; folder != top && folder.has_relative_path(); folder = folder.parent_path()) {
        if (interfaceNumber < 0) {
            const std::string number = Attribute(folder, "bInterfaceNumber");
            if (!number.empty())
                interfaceNumber = static_cast<int>(std::strtol(number.c_str(), nullptr, 16));
        }
        UsbIdentity usb;
        if (!ParseHex16(Attribute(folder, "idVendor"), &usb.vendorId)) continue;
        ParseHex16(Attribute(folder, "idProduct"), &usb.productId);
        usb.manufacturer = Attribute(folder, "manufacturer");
        usb.product = Attribute(folder, "product");
        usb.serialNumber = Attribute(folder, "serial");
        usb.interfaceNumber = interfaceNumber;
        usb.location = folder.filename().string();
        return usb;
    }
    return std::nullopt;
}

// Canonical device path -> the by-id links that lead to it.
std::map<std::string, std::vector<std::string>> StableNames(const std::string& devRoot) {
    std::map<std::string, std::vector<std::string>> names;
    std::error_code error;
    for (const auto& link : fs::directory_iterator(fs::path(devRoot) / "serial" / "by-id", error)) {
        const std::string path = link.path().string();
        names[CanonicalOr(link.path(), path)].push_back(path);
    }
    for (auto& [target, links] : names) std::sort(links.begin(), links.end());
    return names;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const PortListOptions& options) {
    std::vector<SerialPortEntry> ports;
    std::set<std::string> reached;  // canonical targets of the COM names
    const char* comDir = std::getenv("QX_COM_DIR");
    const bool fromDir = comDir != nullptr && *comDir != '\0';
    for (int number = 0; number <= 255; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const std::string resolved = ResolveComName(name.c_str());
        if (resolved.empty()) continue;
        struct stat link {};
        if (lstat(resolved.c_str(), &link) != 0) continue;
        struct stat target {};
        const bool present = stat(resolved.c_str(), &target) == 0;
        // Without a link directory the built-in map names every candidate; list only those
        // that exist on this machine.
        if (!present && !fromDir) continue;
        SerialPortEntry entry;
        entry.comNumber = number;
        entry.name = name;
        entry.path = resolved;
        if (S_ISLNK(link.st_mode)) {
            std::error_code error;
            fs::path to = fs::read_symlink(resolved, error);
            if (!error) {
                if (to.is_relative()) to = fs::path(resolved).parent_path() / to;
                entry.path = to.lexically_normal().string();
            }
        }
        // A file holding the URL of a network port: what the name opens is that port.
        if (std::string url = NetPortUrl(name.c_str()); !url.empty()) entry.path = std::move(url);
        entry.present = present;
        entry.source = fromDir ? "QX_COM_DIR" : "built-in map";
        if (present) reached.insert(CanonicalOr(resolved, resolved));
        ports.push_back(std::move(entry));
    }

    const std::string devRoot = RootOr("QX_DEV_ROOT", "/dev");
    std::vector<SerialPortEntry> others;
    std::error_code error;
    for (const auto& node : fs::directory_iterator(devRoot, error)) {
        const std::string file = node.path().filename().string();
        static const char* const kPrefixes[] = {"ttyUSB", "ttyACM", "rfcomm", "ttyAMA"};
        const bool serial = std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                                        [&file](const char* p) { return file.rfind(p, 0) == 0; });
        if (!serial) continue;
        const std::string path = node.path().string();
        if (reached.count(CanonicalOr(path, path)) != 0) continue;
        SerialPortEntry entry;
        entry.name = path;
        entry.path = path;
        entry.source = "device node";
        others.push_back(std::move(entry));
    }
    std::sort(others.begin(), others.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.name < b.name; });
    ports.insert(ports.end(), others.begin(), others.end());

    if (options.identify) {
        const std::string sysfs = RootOr("QX_SYSFS_ROOT", "/sys");
        const auto stable = StableNames(devRoot);
        for (SerialPortEntry& entry : ports) {
            if (!entry.present) continue;
            const std::string canonical = CanonicalOr(entry.path, entry.path);
            entry.usb = UsbOf(canonical, sysfs);
            if (const auto found = stable.find(canonical); found != stable.end())
                entry.stableNames = found->second;
        }
    }
    if (options.tryOpen) {
        for (SerialPortEntry& entry : ports) {
            if (!entry.present) continue;
            entry.open = TryPort(entry.comNumber >= 0 ? entry.name.c_str() : entry.path.c_str());
        }
    }
    return ports;
}

std::vector<std::string> ComMapWarnings() {
    const char* comDir = std::getenv("QX_COM_DIR");
    if (comDir == nullptr || *comDir == '\0') return {};
    std::error_code error;
    if (fs::is_directory(comDir, error)) return {};
    return {"QX_COM_DIR names " + std::string(comDir) +
            ", which is not an existing folder: no COM name reaches a port"};
}

}  // namespace qx::platform
