// A log channel for port tests: a LogWindow writing into a TextSink, read back as lines.
#pragma once

#include <string>
#include <vector>

#include "log/log_sink.h"
#include "log/text_sink.h"
#include "support/text_lines.h"

namespace qxtest {

class CapturedLog {
  public:
    CapturedLog() { qx::AttachTextSink(window_, sink_); }
    qx::LogWindow* window() { return &window_; }
    std::vector<std::string> Lines() const {
        return sink_.Text().empty() ? std::vector<std::string>{} : SplitLines(sink_.Text());
    }
    bool Empty() const { return sink_.Text().empty(); }
    void Clear() { sink_.Clear(); }

  private:
    qx::TextSink sink_{true};
    qx::LogWindow window_;
};

}  // namespace qxtest
