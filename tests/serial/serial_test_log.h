// A log channel for port tests: a LogWindow writing into a TextSink, read back as lines.
#pragma once

#include <string>
#include <vector>

#include "log/log_sink.h"
#include "log/text_sink.h"

namespace qxtest {

class CapturedLog {
  public:
    CapturedLog() { qx::AttachTextSink(window_, sink_); }
    qx::LogWindow* window() { return &window_; }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string& text = sink_.Text();
        if (text.empty()) return lines;
        size_t start = 0;
        for (;;) {
            const size_t end = text.find("\r\n", start);
            lines.push_back(text.substr(start, end - start));
            if (end == std::string::npos) return lines;
            start = end + 2;
        }
    }
    bool Empty() const { return sink_.Text().empty(); }
    void Clear() { sink_.Clear(); }

  private:
    qx::TextSink sink_{true};
    qx::LogWindow window_;
};

}  // namespace qxtest
