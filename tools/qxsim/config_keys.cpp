#include "config_keys.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace qxsim {
namespace {

// One key's value as it arrived, and where the error text goes.
struct Input {
    ConfigSource source;
    const std::string& key;
    const std::string& value;
    std::string& error;

    bool CommandLine() const { return source == ConfigSource::CommandLine; }
    // A bad value: the command line's own message, the control channel's generic one.
    bool Bad(const std::string& commandLineMessage) const {
        error = CommandLine() ? commandLineMessage : "bad value for " + key;
        return false;
    }
    bool BadNumber(const std::string& what, const std::string& text) const {
        return Bad("bad " + what + ": " + text);
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// An unsigned number, decimal or hex with 0x, at most max. The control channel refuses a
// sign; the command line takes what strtoul takes.
bool Number(ConfigSource source, const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty()) return false;
    if (source == ConfigSource::Control && (text[0] == '-' || text[0] == '+')) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == 0 && errno == 0 && value <= max;
}

// A byte as one non-digit character ("n", "E") or a number ("0", "0x45").
bool ByteValue(const Input& in, uint8_t& value) {
    if (in.value.size() == 1 && !(in.value[0] >= '0' && in.value[0] <= '9')) {
        value = static_cast<uint8_t>(in.value[0]);
        return true;
    }
    unsigned long v = 0;
    if (!Number(in.source, in.value, 255, v)) return in.BadNumber("--" + in.key, in.value);
    value = static_cast<uint8_t>(v);
    return true;
}

// A letter as itself, even a digit ("1": Calder I); the control channel also takes a number
// of two or more characters ("0x31", "49").
bool LetterValue(const Input& in, uint8_t& value) {
    if (in.value.size() == 1) {
        value = static_cast<uint8_t>(in.value[0]);
        return true;
    }
    unsigned long v = 0;
    if (in.CommandLine() || !Number(in.source, in.value, 255, v))
        return in.BadNumber("--" + in.key, in.value);
    value = static_cast<uint8_t>(v);
    return true;
}

// The bytes of a file: named on the command line, in hex on the control channel.
bool FileBytes(const Input& in, std::vector<uint8_t>& out) {
    if (!in.CommandLine()) return Unhex(in.value, out) || in.Bad("");
    std::ifstream file(in.value, std::ios::binary);
    if (!file) return in.Bad("cannot read " + in.value);
    out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

template <size_t N>
bool HexArray(const Input& in, std::array<uint8_t, N>& out) {
    std::vector<uint8_t> bytes;
    if (in.value.size() != 2 * N)
        return in.Bad("--" + in.key + " needs " + std::to_string(2 * N) + " hex digits");
    if (!Unhex(in.value, bytes)) return in.Bad("bad hex in --" + in.key);
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
}

bool SetModel(const Input& in, Config& config) {
    if (in.CommandLine() && in.value.size() != 1) return in.Bad("--model takes one letter");
    uint8_t letter = 0;
    if (!LetterValue(in, letter) || letter == 0) return in.Bad("");
    config.hardwareId = static_cast<char>(letter);
    return true;
}

bool SetFirmware(const Input& in, Config& config) {
    const size_t dot = in.value.find('.');
    if (dot == std::string::npos) return in.Bad("--fw takes MAJOR.MINOR");
    unsigned long major = 0, minor = 0;
    const std::string majorText = in.value.substr(0, dot), minorText = in.value.substr(dot + 1);
    if (!Number(in.source, majorText, 255, major)) return in.BadNumber("firmware", majorText);
    if (!Number(in.source, minorText, 255, minor)) return in.BadNumber("firmware", minorText);
    config.firmwareMajor = static_cast<uint8_t>(major);
    config.firmwareMinor = static_cast<uint8_t>(minor);
    return true;
}

// "none" leaves the EEPROM byte as it is (0).
bool SetRecordLetter(const Input& in, char& letter) {
    uint8_t value = 0;
    if (in.value != "none" && !LetterValue(in, value)) return false;
    letter = static_cast<char>(value);
    return true;
}

// A comma-separated list of line speeds. The command line adds to the list (--bauds may be
// given again) and refuses empty items; the control channel replaces it and skips empty
// items and "-" (so "bauds=-" is any speed).
bool SetBauds(const Input& in, Config& config) {
    if (!in.CommandLine()) config.bauds.clear();
    std::istringstream list(in.value);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (!in.CommandLine() && (item.empty() || item == "-")) continue;
        unsigned long v = 0;
        if (!Number(in.source, item, 100000000, v)) return in.BadNumber("baud", item);
        config.bauds.push_back(static_cast<uint32_t>(v));
    }
    return true;
}

bool SetThrottle(const Input& in, Config& config) {
    if (in.CommandLine()) {  // a flag there
        config.throttle = true;
        return true;
    }
    if (in.value != "0" && in.value != "1") return in.Bad("");
    config.throttle = in.value == "1";
    return true;
}

bool SetFault(const Input& in, Config& config) {
    Fault fault;
    if (!ParseFault(in.value, fault, &in.error)) return false;
    config.faults.push_back(fault);
    return true;
}

enum Sources : unsigned { kCommandLine = 1, kControl = 2, kBoth = 3 };

struct Key {
    const char* name;
    unsigned sources;
    bool (*set)(const Input& in, Config& config);
};

// Every key of both sources; a new key is one row.
const Key kKeys[] = {
    {"model", kBoth, SetModel},
    {"fw", kBoth, SetFirmware},
    {"eeprom", kBoth, [](const Input& in, Config& c) { return FileBytes(in, c.eeprom); }},
    {"eeprom-id", kBoth,
     [](const Input& in, Config& c) { return SetRecordLetter(in, c.eepromDeviceId); }},
    {"interface", kBoth,
     [](const Input& in, Config& c) { return SetRecordLetter(in, c.interfaceLetter); }},
    {"name", kBoth,
     [](const Input& in, Config& c) {
         c.name = in.value;
         return true;
     }},
    {"name-hex", kControl,
     [](const Input& in, Config& c) {
         std::vector<uint8_t> bytes;
         if (!Unhex(in.value, bytes)) return in.Bad("");
         c.name.assign(bytes.begin(), bytes.end());
         return true;
     }},
    {"serial", kBoth, [](const Input& in, Config& c) { return HexArray(in, c.serial); }},
    {"serial-byte0", kCommandLine,
     [](const Input& in, Config& c) { return ByteValue(in, c.serial[0]); }},
    {"flash-info", kBoth, [](const Input& in, Config& c) { return HexArray(in, c.flashInfo); }},
    {"image", kBoth, [](const Input& in, Config& c) { return FileBytes(in, c.image); }},
    {"image10", kBoth, [](const Input& in, Config& c) { return FileBytes(in, c.image10); }},
    {"bauds", kBoth, SetBauds},
    {"throttle", kBoth, SetThrottle},
    {"transcript-limit", kControl,
     [](const Input& in, Config& c) {
         unsigned long n = 0;
         if (!Number(in.source, in.value, 100000000, n)) return in.Bad("");
         c.transcriptLimit = n;
         return true;
     }},
    {"fault", kBoth, SetFault},
    {"tolliver-mode", kBoth,
     [](const Input& in, Config& c) { return ByteValue(in, c.tolliverMode); }},
    {"tolliver-bank", kBoth,
     [](const Input& in, Config& c) { return ByteValue(in, c.tolliverBank); }},
    {"tolliver-marker", kBoth,
     [](const Input& in, Config& c) { return ByteValue(in, c.tolliverMarker); }},
    {"emulation-bank", kBoth,
     [](const Input& in, Config& c) { return ByteValue(in, c.emulationBank); }},
    {"rw-bank", kBoth, [](const Input& in, Config& c) { return ByteValue(in, c.readWriteBank); }},
    {"fill", kBoth, [](const Input& in, Config& c) { return ByteValue(in, c.fill); }},
};

unsigned SourceBit(ConfigSource source) {
    return source == ConfigSource::CommandLine ? kCommandLine : kControl;
}

const Key* FindKey(ConfigSource source, const std::string& key) {
    for (const Key& row : kKeys)
        if (key == row.name && (row.sources & SourceBit(source))) return &row;
    return nullptr;
}

}  // namespace

bool Unhex(std::string_view text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool IsConfigKey(ConfigSource source, const std::string& key) {
    return FindKey(source, key) != nullptr;
}

bool ConfigKeyTakesValue(ConfigSource source, const std::string& key) {
    return !(source == ConfigSource::CommandLine && key == "throttle");
}

KeyResult SetConfigKey(ConfigSource source, const std::string& key, const std::string& value,
                       Config& config, std::string& error) {
    const Input in{source, key, value, error};
    const Key* row = FindKey(source, key);
    if (row == nullptr) {
        error = source == ConfigSource::CommandLine ? "unknown option --" + key
                                                    : "unknown config key " + key;
        return KeyResult::Unknown;
    }
    return row->set(in, config) ? KeyResult::Set : KeyResult::Bad;
}

}  // namespace qxsim
