// A small JSON writer for qxtool's --json output: objects keep the order keys were added in.
// Text is 8-bit; bytes outside printable ASCII are written as \u00XX escapes, so the output
// is valid JSON (and plain ASCII) whatever a device sends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qx::tool {

// The JSON string literal for text, quotes included.
std::string JsonString(std::string_view text);

class JsonArray;

class JsonObject {
  public:
    JsonObject& String(std::string_view key, std::string_view value);
    JsonObject& Number(std::string_view key, int64_t value);
    JsonObject& Real(std::string_view key, double value);  // three decimals
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    JsonObject& Object(std::string_view key, const JsonObject& value);
    JsonObject& Array(std::string_view key, const JsonArray& value);
    // Appends every member of `other`, in its order.
    JsonObject& Merge(const JsonObject& other);

    bool Empty() const { return members_.empty(); }
    std::string Text() const;

  private:
    JsonObject& Raw(std::string_view key, std::string value);
    std::vector<std::pair<std::string, std::string>> members_;  // key, serialised value
};

class JsonArray {
  public:
    JsonArray& String(std::string_view value);
    JsonArray& Number(int64_t value);
    JsonArray& Object(const JsonObject& value);

    size_t Size() const { return items_.size(); }
    std::string Text() const;

  private:
    std::vector<std::string> items_;  // serialised values
};

}  // namespace qx::tool
