#include "tools/qxtool/json.h"

#include <cmath>
#include <cstdio>

namespace qx::tool {

std::string JsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7F) {
                    // Device text is 8-bit, not UTF-8: each byte stands for itself (Latin-1).
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string value) {
    members_.emplace_back(std::string(key), std::move(value));
    return *this;
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
    return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Number(std::string_view key, int64_t value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Real(std::string_view key, double value) {
    if (!std::isfinite(value)) return Raw(key, "null");
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return Raw(key, text);
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Null(std::string_view key) {
    return Raw(key, "null");
}

JsonObject& JsonObject::Object(std::string_view key, const JsonObject& value) {
    return Raw(key, value.Text());
}

JsonObject& JsonObject::Array(std::string_view key, const JsonArray& value) {
    return Raw(key, value.Text());
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
    members_.insert(members_.end(), other.members_.begin(), other.members_.end());
    return *this;
}

std::string JsonObject::Text() const {
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); ++i) {
        if (i != 0) out += ',';
        out += JsonString(members_[i].first);
        out += ':';
        out += members_[i].second;
    }
    out += '}';
    return out;
}

JsonArray& JsonArray::String(std::string_view value) {
    items_.push_back(JsonString(value));
    return *this;
}

JsonArray& JsonArray::Number(int64_t value) {
    items_.push_back(std::to_string(value));
    return *this;
}

JsonArray& JsonArray::Object(const JsonObject& value) {
    items_.push_back(value.Text());
    return *this;
}

std::string JsonArray::Text() const {
    std::string out = "[";
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i != 0) out += ',';
        out += items_[i];
    }
    out += ']';
    return out;
}

}  // namespace qx::tool
