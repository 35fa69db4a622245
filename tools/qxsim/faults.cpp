// Fault specifications: KEY:KIND[=N][@OCC][,replug=MS].
#include <array>
#include <charconv>

#include "sim.h"

namespace qxsim {
namespace {

struct KindName {
    FaultKind kind;
    const char* name;
    bool needsValue;
    bool allowsValue;
};

constexpr std::array<KindName, 7> kKinds{{
    {FaultKind::NoReply, "none", false, false},
    {FaultKind::ShortReply, "short", true, true},
    {FaultKind::BadChecksum, "badsum", false, false},
    {FaultKind::Refuse, "refuse", false, false},
    {FaultKind::Delay, "delay", true, true},
    {FaultKind::Garbage, "garbage", true, true},
    {FaultKind::Unplug, "unplug", false, true},
}};

constexpr std::array<const char*, 18> kKeys{"VV", "VSS",  "NS", "HR", "HW", "E", "e",  "S",  "B",
                                            "8",  "DOLI", "R",  "W",  "w",  "X", "ZR", "ZW", "*"};

bool Number(std::string_view text, unsigned& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

}  // namespace

bool ParseFault(std::string_view spec, Fault& out, std::string* error) {
    Fault f;
    const std::string whole(spec);
    const size_t colon = spec.find(':');
    if (colon == std::string_view::npos) return Fail(error, "fault needs KEY:KIND: " + whole);
    f.command = std::string(spec.substr(0, colon));
    bool keyKnown = false;
    for (const char* k : kKeys) keyKnown = keyKnown || f.command == k;
    if (!keyKnown) return Fail(error, "unknown command key in fault: " + whole);
    spec.remove_prefix(colon + 1);

    if (const size_t comma = spec.find(','); comma != std::string_view::npos) {
        std::string_view option = spec.substr(comma + 1);
        spec = spec.substr(0, comma);
        unsigned ms = 0;
        if (option.substr(0, 7) != "replug=" || !Number(option.substr(7), ms))
            return Fail(error, "bad fault option (want replug=MS): " + whole);
        f.replugAfterMs = static_cast<int>(ms);
    }
    if (const size_t atSign = spec.find('@'); atSign != std::string_view::npos) {
        if (!Number(spec.substr(atSign + 1), f.occurrence) || f.occurrence == 0)
            return Fail(error, "bad occurrence (want @N, N >= 1): " + whole);
        spec = spec.substr(0, atSign);
    }
    std::string_view kind = spec, value;
    bool hasValue = false;
    if (const size_t eq = spec.find('='); eq != std::string_view::npos) {
        kind = spec.substr(0, eq);
        value = spec.substr(eq + 1);
        hasValue = true;
    }
    const KindName* found = nullptr;
    for (const auto& k : kKinds)
        if (kind == k.name) found = &k;
    if (!found) return Fail(error, "unknown fault kind: " + whole);
    if (found->needsValue && !hasValue) return Fail(error, "fault kind needs =N: " + whole);
    if (hasValue && (!found->allowsValue || !Number(value, f.param)))
        return Fail(error, "bad fault value: " + whole);
    f.kind = found->kind;
    if (f.replugAfterMs >= 0 && f.kind != FaultKind::Unplug)
        return Fail(error, "replug= goes only with unplug: " + whole);
    out = f;
    return true;
}

std::string FormatFault(const Fault& f) {
    std::string s = f.command + ':';
    for (const auto& k : kKinds)
        if (k.kind == f.kind) {
            s += k.name;
            if (k.needsValue || (k.allowsValue && f.param != 0)) s += '=' + std::to_string(f.param);
        }
    if (f.occurrence != 0) s += '@' + std::to_string(f.occurrence);
    if (f.replugAfterMs >= 0) s += ",replug=" + std::to_string(f.replugAfterMs);
    return s;
}

}  // namespace qxsim
