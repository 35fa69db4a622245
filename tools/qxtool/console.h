// qxtool's terminal output: results on stdout, messages, the progress bar and (with
// --verbose) the device log on stderr, kept from overwriting each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx {
class TextSink;
}

namespace qx::tool {

class Console {
  public:
    static Console& Get();

    void Configure(bool quiet, bool verbose, bool json);
    bool Quiet() const { return quiet_; }
    bool Json() const { return json_; }
    bool ErrorIsTerminal() const { return errorTerminal_; }
    uint32_t ErrorColumns() const;

    // The device log to copy to stderr with --verbose; the sink must keep its text.
    void SetVerboseLog(TextSink* sink) { verboseLog_ = sink; }
    // Copies what the device logged since the last call to stderr (with --verbose).
    void DrainLog();

    // A result for stdout (suppressed with --json: the JSON object is the only output). Goes
    // to stderr instead, as a message, once stdout carries data (read -).
    void Result(const std::string& text);
    // The JSON object of a command (only with --json); it carries the warnings given so far.
    void JsonResult(const std::string& json);
    // An informational message on stderr (suppressed with --quiet).
    void Note(const std::string& text);
    // An error on stderr, always shown.
    void Error(const std::string& text);
    // "qxtool: warning: TEXT" on stderr, always shown, and kept for the JSON object.
    void Warning(const std::string& text);
    const std::vector<std::string>& Warnings() const { return warnings_; }

    // Standard output carries a transfer's bytes: nothing else may go there.
    void StdoutCarriesData() { stdoutData_ = true; }

    // Progress line: redrawn in place on a terminal (Bar), or whole lines (BarLine).
    void Bar(const std::string& line);
    void BarLine(const std::string& line);
    void EndBar();

  private:
    void ClearBar();
    void WriteError(const std::string& text);

    bool quiet_ = false;
    bool verbose_ = false;
    bool json_ = false;
    bool errorTerminal_ = false;
    bool stdoutData_ = false;
    std::vector<std::string> warnings_;
    TextSink* verboseLog_ = nullptr;
    size_t barShown_ = 0;  // characters of the in-place bar on screen, 0 when none
};

}  // namespace qx::tool
