#include "tools/qxtool/progress.h"

#include <algorithm>
#include <cstdio>

#include "tools/qxtool/console.h"

namespace qx::tool {
namespace {

std::string Amount(double bytes) {
    char text[32];
    if (bytes >= 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    } else if (bytes >= 1024.0) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    }
    return text;
}

}  // namespace

Progress::Progress(std::string label, uint64_t totalBytes)
    : label_(std::move(label)),
      total_(totalBytes),
      enabled_(!Console::Get().Quiet()),
      terminal_(Console::Get().ErrorIsTerminal()) {}

Progress::~Progress() {
    if (running_) Finish();
}

std::string Progress::Describe(const std::string& label, uint64_t done, uint64_t total,
                               double seconds) {
    const unsigned percent =
        total == 0 ? 100u : static_cast<unsigned>(std::min<uint64_t>(done * 100 / total, 100));
    const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    char text[160];
    std::snprintf(text, sizeof text, "%s %3u%% %llu/%llu %s %s/s %.1f s", label.c_str(), percent,
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  total == 1 ? "byte" : "bytes", Amount(rate).c_str(), seconds);
    return text;
}

void Progress::Report(const RangeStatus& status) {
    if (running_ && status.pass != pass_) Finish();
    pass_ = status.pass;
    Update(status.done);
}

void Progress::Update(uint64_t doneBytes) {
    const auto now = std::chrono::steady_clock::now();
    if (!running_) {
        running_ = true;
        start_ = now;
        lastTenth_ = -1;
        done_ = 0;
        Draw(true);
    }
    done_ = std::min(doneBytes, total_);
    Draw(false);
}

void Progress::Finish() {
    if (!running_) return;
    Draw(true);
    running_ = false;
    if (enabled_ && terminal_) Console::Get().EndBar();
}

void Progress::Draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (terminal_) {
        if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        const std::string text = Describe(label_, done_, total_, seconds);
        const uint32_t columns = Console::Get().ErrorColumns();
        const size_t room = columns > text.size() + 4 ? columns - text.size() - 4 : 0;
        const size_t width = std::min<size_t>(room, 40);
        std::string line;
        if (width >= 10) {
            const size_t filled = total_ == 0 ? width : static_cast<size_t>(done_ * width / total_);
            line.assign(1, '[').append(filled, '#').append(width - filled, '.').append("] ");
        }
        Console::Get().Bar(line + text);
        return;
    }
    // Not a terminal: a line at the start, at every tenth and at the end.
    const int tenth = total_ == 0 ? 10 : static_cast<int>(done_ * 10 / total_);
    if (!force && tenth == lastTenth_) return;
    if (force && lastTenth_ >= 0 && done_ == lastPrinted_) return;
    lastTenth_ = tenth;
    lastPrinted_ = done_;
    Console::Get().BarLine(Describe(label_, done_, total_, seconds));
}

}  // namespace qx::tool
