#include "tools/qxtool/console.h"

#include <cstdio>
#include <string>

#include "log/text_sink.h"
#include "platform/console.h"
#include "tools/qxtool/json.h"

namespace qx::tool {

Console& Console::Get() {
    static Console console;
    return console;
}

void Console::Configure(bool quiet, bool verbose, bool json) {
    quiet_ = quiet;
    verbose_ = verbose;
    json_ = json;
    errorTerminal_ = platform::IsTerminal(platform::ConsoleStream::Error);
}

uint32_t Console::ErrorColumns() const {
    const uint32_t columns = platform::TerminalColumns(platform::ConsoleStream::Error);
    return columns != 0 ? columns : 80;
}

void Console::DrainLog() {
    if (!verbose_ || verboseLog_ == nullptr || verboseLog_->TextLength() == 0) return;
    // The sink holds the lines as an edit control does, separated by "\r\n".
    std::string text = verboseLog_->Text();
    verboseLog_->Clear();
    std::string lines;
    lines.reserve(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i];
    }
    lines += '\n';
    ClearBar();
    WriteError(lines);
}

void Console::Result(const std::string& text) {
    if (json_) return;
    if (stdoutData_) {
        Note(!text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text);
        return;
    }
    DrainLog();
    ClearBar();
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::JsonResult(const std::string& json) {
    if (!json_) return;
    std::string text = json;
    if (!warnings_.empty() && text.size() >= 2 && text.back() == '}') {
        JsonArray list;
        for (const std::string& warning : warnings_) list.String(warning);
        text.insert(text.size() - 1,
                    std::string(text.size() > 2 ? "," : "") + "\"warnings\":" + list.Text());
    }
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::Note(const std::string& text) {
    DrainLog();
    if (quiet_) return;
    ClearBar();
    WriteError(text + "\n");
}

void Console::Error(const std::string& text) {
    DrainLog();
    ClearBar();
    WriteError(text + "\n");
}

void Console::Warning(const std::string& text) {
    warnings_.push_back(text);
    Error("qxtool: warning: " + text);
}

void Console::Bar(const std::string& line) {
    DrainLog();
    std::string text = "\r" + line;
    if (line.size() < barShown_) text.append(barShown_ - line.size(), ' ');
    barShown_ = line.size();
    WriteError(text);
}

void Console::BarLine(const std::string& line) {
    DrainLog();
    ClearBar();
    WriteError(line + "\n");
}

void Console::EndBar() {
    if (barShown_ == 0) return;
    barShown_ = 0;
    WriteError("\n");
}

void Console::ClearBar() {
    if (barShown_ == 0) return;
    std::string blank(barShown_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    WriteError(blank);
    barShown_ = 0;
}

void Console::WriteError(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace qx::tool
