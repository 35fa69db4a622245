// A minimal JSON reader for checking qxtool's --json output in tests, written apart from the
// tool's writer so that it catches the writer's mistakes. Throws std::runtime_error on
// anything that is not valid JSON.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qxtest {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // String (\u00XX escapes give single bytes)
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
    std::vector<std::string> order;  // keys in the order they appeared

    const JsonValue& operator[](const std::string& key) const {
        auto it = members.find(key);
        if (kind != Kind::Object || it == members.end()) throw std::runtime_error("no key " + key);
        return it->second;
    }
    bool Has(const std::string& key) const { return members.count(key) != 0; }
    int64_t integer() const {
        if (kind != Kind::Number) throw std::runtime_error("not a number");
        return static_cast<int64_t>(number);
    }
};

class JsonReader {
  public:
    static JsonValue Parse(std::string_view text) {
        JsonReader reader(text);
        JsonValue value = reader.Value();
        reader.Space();
        if (reader.pos_ != text.size()) reader.Fail("text after the value");
        return value;
    }

  private:
    explicit JsonReader(std::string_view text) : text_(text) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(pos_));
    }
    void Space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\t'))
            ++pos_;
    }
    char Peek() {
        Space();
        if (pos_ >= text_.size()) Fail("unexpected end");
        return text_[pos_];
    }
    void Expect(char c) {
        if (Peek() != c) Fail(std::string("expected ") + c);
        ++pos_;
    }
    bool Literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    JsonValue Value() {
        JsonValue v;
        const char c = Peek();
        if (c == '{') {
            v.kind = JsonValue::Kind::Object;
            ++pos_;
            if (Peek() == '}') {
                ++pos_;
                return v;
            }
            for (;;) {
                if (Peek() != '"') Fail("expected a key");
                std::string key = String();
                if (v.members.count(key)) Fail("duplicate key " + key);
                Expect(':');
                v.members[key] = Value();
                v.order.push_back(key);
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = JsonValue::Kind::Array;
            ++pos_;
            if (Peek() == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.items.push_back(Value());
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = JsonValue::Kind::String;
            v.text = String();
            return v;
        }
        if (Literal("true")) {
            v.kind = JsonValue::Kind::Bool;
            v.boolean = true;
            return v;
        }
        if (Literal("false")) {
            v.kind = JsonValue::Kind::Bool;
            return v;
        }
        if (Literal("null")) return v;
        v.kind = JsonValue::Kind::Number;
        const size_t start = pos_;
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        const size_t digits = pos_;
        while (pos_ < text_.size() &&
               std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos)
            ++pos_;
        if (pos_ == digits) Fail("bad value");
        if (text_[digits] == '0' && pos_ > digits + 1 && text_[digits + 1] != '.')
            Fail("leading zero");
        v.number = std::stod(std::string(text_.substr(start, pos_ - start)));
        return v;
    }

    std::string String() {
        Expect('"');
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) Fail("unterminated string");
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) Fail("bad escape");
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) Fail("short \\u escape");
                    const unsigned code = static_cast<unsigned>(
                        std::stoul(std::string(text_.substr(pos_, 4)), nullptr, 16));
                    pos_ += 4;
                    if (code > 0xFF) Fail("\\u escape above 0xFF in a test");
                    out += static_cast<char>(code);
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace qxtest
