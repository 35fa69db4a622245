// Serial ports on Windows: the registry, the DOS device names, opening, and SetupAPI for what
// is behind them.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/port_list.h"

namespace qx::platform {
namespace {

// GUID_DEVINTERFACE_COMPORT and GUID_DEVCLASS_PORTS.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// DEVPKEY_Device_BusReportedDeviceDesc: the product string the USB device reports.
const DEVPROPKEY kBusReportedDescription = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

int ComNumber(const char* name) {
    const std::optional<uint32_t> number = ComNameNumber(name, 255);
    return number ? static_cast<int>(*number) : -1;
}

SerialPortEntry* Find(std::vector<SerialPortEntry>& ports, int number) {
    for (auto& entry : ports)
        if (entry.comNumber == number) return &entry;
    return nullptr;
}

SerialPortEntry& AddPort(std::vector<SerialPortEntry>& ports, int number, const char* source) {
    if (SerialPortEntry* entry = Find(ports, number)) return *entry;
    SerialPortEntry entry;
    entry.comNumber = number;
    entry.name = "COM" + std::to_string(number);
    entry.path = "\\\\.\\" + entry.name;
    entry.source = source;
    ports.push_back(std::move(entry));
    return ports.back();
}

void FromRegistry(std::vector<SerialPortEntry>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameLength = sizeof valueName;
        char data[64];
        DWORD dataLength = sizeof data - 1;
        DWORD type = 0;
        const LONG status = RegEnumValueA(key, index, valueName, &valueNameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataLength);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataLength] = '\0';
        const int number = ComNumber(data);
        if (number >= 0) AddPort(ports, number, "registry");
    }
    RegCloseKey(key);
}

// Every DOS device name of the system, COM ports among them, in use or not; it also sees
// ports some virtual port drivers leave out of the registry.
void FromDosDevices(std::vector<SerialPortEntry>& ports) {
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (length == 0) return;
    for (const char* name = names.data(); name < names.data() + length && *name != '\0';
         name += std::strlen(name) + 1) {
        const int number = ComNumber(name);
        if (number >= 0) AddPort(ports, number, "DOS device");
    }
}

// The numbers nothing listed yet: a missing port fails to open at once; links Wine keeps in
// its dosdevices folder are found only this way.
void FromOpening(std::vector<SerialPortEntry>& ports) {
    for (int number = 1; number <= 255; ++number) {
        if (Find(ports, number) != nullptr) continue;
        const std::string path = "\\\\.\\COM" + std::to_string(number);
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            AddPort(ports, number, "open");
        } else if (const DWORD error = GetLastError();
                   error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            AddPort(ports, number, "open (in use)");
        }
    }
}

// COM names this user mapped to network ports: the map wins over a local port of that number.
void FromNetworkMap(std::vector<SerialPortEntry>& ports) {
    for (const NetPortMapping& mapping : ListNetPortMappings()) {
        if (!mapping.valid) continue;
        SerialPortEntry& entry = AddPort(ports, mapping.comNumber, "network map");
        entry.path = mapping.url;
        entry.source = "network map";
        entry.description.clear();
        entry.hardwareId.clear();
        entry.usb.reset();
    }
}

// A text property of the device; the first string of a multi-string one.
std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char text[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                           reinterpret_cast<BYTE*>(text), sizeof text - 2, nullptr))
        return "";
    return text;
}

std::string BusReportedDescription(HDEVINFO set, SP_DEVINFO_DATA& device) {
    wchar_t text[512] = {};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, &device, &kBusReportedDescription, &type,
                                   reinterpret_cast<BYTE*>(text), sizeof text - sizeof(wchar_t),
                                   nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return "";
    char narrow[512] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    return narrow;
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return "";
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const LONG status =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? name : "";
}

std::string InstanceId(DEVINST instance) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDA(instance, id, sizeof id - 1, 0) == CR_SUCCESS ? id : "";
}

// "...VID_0403..." -> 0x0403.
bool HexAfter(const std::string& id, const char* tag, uint16_t* value) {
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t at = upper.find(tag);
    if (at == std::string::npos || at + std::strlen(tag) + 4 > upper.size()) return false;
    const std::string digits = upper.substr(at + std::strlen(tag), 4);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c); }))
        return false;
    *value = static_cast<uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

// The USB device of a port: the port itself, or up to two parents (a composite device's
// interface, a vendor bus driver such as FTDIBUS). Its instance id ends in the serial number
// when the device has one; otherwise Windows makes one up, with '&' in it.
void FillUsb(SerialPortEntry& entry, HDEVINFO set, SP_DEVINFO_DATA& device) {
    UsbIdentity usb;
    if (!HexAfter(entry.hardwareId, "VID_", &usb.vendorId)) return;
    HexAfter(entry.hardwareId, "PID_", &usb.productId);
    usb.manufacturer = RegistryProperty(set, device, SPDRP_MFG);
    usb.product = BusReportedDescription(set, device);
    if (usb.product.empty()) usb.product = RegistryProperty(set, device, SPDRP_DEVICEDESC);
    DEVINST instance = device.DevInst;
    for (int level = 0; level < 3; ++level) {
        const std::string id = InstanceId(instance);
        // "USB\VID_2341&PID_8036&MI_00\...": interface 0 of a composite device.
        const size_t at = id.find("&MI_");
        if (usb.interfaceNumber < 0 && at != std::string::npos && at + 6 <= id.size())
            usb.interfaceNumber =
                static_cast<int>(std::strtol(id.substr(at + 4, 2).c_str(), nullptr, 16));
        if (id.rfind("USB\\", 0) == 0 && at == std::string::npos) {
            const std::string last = id.substr(id.rfind('\\') + 1);
            if (last.find('&') == std::string::npos) usb.serialNumber = last;
            break;
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) break;
        instance = parent;
    }
    entry.usb = usb;
}

// What SetupAPI knows of the COM ports, matched to the entries by their PortName.
void FromSetupApi(std::vector<SerialPortEntry>& ports) {
    const struct {
        const GUID* guid;
        DWORD flags;
    } sources[] = {{&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
                   {&kPortsClass, DIGCF_PRESENT}};
    for (const auto& source : sources) {
        HDEVINFO set = SetupDiGetClassDevsA(source.guid, nullptr, nullptr, source.flags);
        if (set == INVALID_HANDLE_VALUE) continue;
        for (DWORD index = 0;; ++index) {
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
            const int number = ComNumber(PortName(set, device).c_str());
            if (number < 0) continue;
            SerialPortEntry& entry = AddPort(ports, number, "SetupAPI");
            if (!entry.description.empty() || !entry.hardwareId.empty()) continue;
            entry.description = RegistryProperty(set, device, SPDRP_FRIENDLYNAME);
            entry.hardwareId = RegistryProperty(set, device, SPDRP_HARDWAREID);
            FillUsb(entry, set, device);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const PortListOptions& options) {
    std::vector<SerialPortEntry> ports;
    FromRegistry(ports);
    FromDosDevices(ports);
    if (options.identify) FromSetupApi(ports);
    FromNetworkMap(ports);
    FromOpening(ports);
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return a.comNumber < b.comNumber;
    });
    if (options.tryOpen)
        for (SerialPortEntry& entry : ports) entry.open = TryPort(entry.path.c_str());
    return ports;
}

std::vector<std::string> ComMapWarnings() {
    return {};
}

}  // namespace qx::platform
