// The COM map of network ports on Windows: per user, the string value "COMn" of
// HKEY_CURRENT_USER\Software\Orvandel\Quillon\Ports holds the URL COMn stands for.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/comm.h"
#include "platform/net_port.h"

namespace qx::platform {
namespace {

constexpr const char* kMapKey = "Software\\Orvandel\\Quillon\\Ports";
constexpr DWORD kMaxUrl = 1024;

// n of "\\.\COMn" or "COMn" (any case) up to 255, -1 for any other name.
int ComNumberOf(const char* name) {
    const std::optional<uint32_t> number = ComNameNumber(name, 255);
    return number ? static_cast<int>(*number) : -1;
}

}  // namespace

std::string NetPortUrl(const char* name) {
    if (name == nullptr) return {};
    if (IsNetPortName(name)) return name;
    const int number = ComNumberOf(name);
    if (number < 0) return {};
    const std::string value = "COM" + std::to_string(number);
    char url[kMaxUrl] = {};
    DWORD size = sizeof url;
    if (RegGetValueA(HKEY_CURRENT_USER, kMapKey, value.c_str(), RRF_RT_REG_SZ, nullptr, url,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return IsNetPortName(url) ? std::string(url) : std::string();
}

std::vector<NetPortMapping> ListNetPortMappings() {
    std::vector<NetPortMapping> found;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kMapKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return found;
    for (DWORD index = 0;; ++index) {
        char name[64] = {};
        DWORD nameSize = sizeof name;
        char url[kMaxUrl] = {};
        DWORD urlSize = sizeof url - 1;
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(url), &urlSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        const int number = ComNumberOf(name);
        if (number < 0) continue;
        NetPortMapping entry;
        entry.comNumber = number;
        entry.url = url;
        entry.where = std::string("HKCU\\") + kMapKey + "\\" + name;
        entry.valid = IsNetPortName(url);
        found.push_back(std::move(entry));
    }
    RegCloseKey(key);
    std::sort(found.begin(), found.end(), [](const NetPortMapping& a, const NetPortMapping& b) {
        return a.comNumber < b.comNumber;
    });
    return found;
}

}  // namespace qx::platform
