// A text sink with the append semantics of a multi-line edit control (text length,
// selection at the end, replace selection), used where there is no window: on POSIX, in
// console tools and in tests. It can keep the text and mirror every line to a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qx {

class TextSink {
  public:
    TextSink() = default;
    // keepText: hold the whole text in memory (tests read it back with Text()).
    explicit TextSink(bool keepText) : keepText_(keepText) {}
    ~TextSink();
    TextSink(const TextSink&) = delete;
    TextSink& operator=(const TextSink&) = delete;

    // Mirror every line to `file` (one line per log line, "\n"-terminated, flushed at once).
    // The sink does not own a FILE* given here; OpenMirror opens (and owns) a file by path,
    // replacing its content. Only text added at the end of the sink is mirrored.
    void MirrorTo(std::FILE* file);
    bool OpenMirror(const char* path);

    uint32_t TextLength() const { return length_; }
    // As the edit control: positions past the end mean the end; start > end is swapped.
    void SetSelection(uint32_t start, uint32_t end);
    // Replaces the selection and leaves an empty selection after the new text.
    void ReplaceSelection(const char* text);
    void Clear();
    const std::string& Text() const { return text_; }

  private:
    void CloseMirror();
    void WriteMirror(const char* text);

    bool keepText_ = true;
    std::string text_;
    uint32_t length_ = 0;
    uint32_t selectionStart_ = 0;
    uint32_t selectionEnd_ = 0;
    std::FILE* mirror_ = nullptr;
    bool ownsMirror_ = false;
    // The mirror already ends the last line with "\n"; the control's next "\r\n" is that one.
    bool mirrorLineEnded_ = false;
};

}  // namespace qx
