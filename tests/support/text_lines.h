// The lines of a log window's text: CR LF ends a line, and what follows the last break is a
// line of its own (empty when the text ends in a break, the one line of an empty text).
#pragma once

#include <string>
#include <vector>

namespace qxtest {

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0;;) {
        const size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return lines;
        start = end + 2;
    }
}

}  // namespace qxtest
