#include "log/text_sink.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qx {

TextSink::~TextSink() {
    CloseMirror();
}

void TextSink::CloseMirror() {
    if (ownsMirror_ && mirror_ != nullptr) std::fclose(mirror_);
    mirror_ = nullptr;
    ownsMirror_ = false;
    mirrorLineEnded_ = false;
}

void TextSink::MirrorTo(std::FILE* file) {
    CloseMirror();
    mirror_ = file;
}

bool TextSink::OpenMirror(const char* path) {
    if (path == nullptr) return false;
    // Binary: every line ends in exactly "\n" on every platform.
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    CloseMirror();
    mirror_ = file;
    ownsMirror_ = true;
    return true;
}

void TextSink::SetSelection(uint32_t start, uint32_t end) {
    start = std::min(start, length_);
    end = std::min(end, length_);
    if (start > end) std::swap(start, end);
    selectionStart_ = start;
    selectionEnd_ = end;
}

void TextSink::ReplaceSelection(const char* text) {
    if (text == nullptr) text = "";
    const size_t added = std::strlen(text);
    const bool atEnd = selectionEnd_ == length_;
    if (keepText_) text_.replace(selectionStart_, selectionEnd_ - selectionStart_, text, added);
    // Without the text kept, a sink that logs for days must not wrap its length to 0 (that
    // would drop a line break); it saturates instead.
    const uint64_t length =
        static_cast<uint64_t>(length_) - (selectionEnd_ - selectionStart_) + added;
    const uint64_t caret = static_cast<uint64_t>(selectionStart_) + added;
    length_ = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    selectionStart_ = selectionEnd_ = static_cast<uint32_t>(std::min<uint64_t>(caret, length_));
    if (mirror_ != nullptr && atEnd) WriteMirror(text);
}

void TextSink::Clear() {
    text_.clear();
    length_ = 0;
    selectionStart_ = selectionEnd_ = 0;
    mirrorLineEnded_ = false;
}

// The file holds the control's text with "\n" for "\r\n", each line ended as soon as it is
// written (a crash loses nothing). The "\r\n" that the control later puts in front of the
// next line is the line end already written, so it is skipped once.
void TextSink::WriteMirror(const char* text) {
    if (*text == '\0') {
        if (!mirrorLineEnded_) {
            std::fputc('\n', mirror_);
            mirrorLineEnded_ = true;
            std::fflush(mirror_);
        }
        return;
    }
    if (mirrorLineEnded_ && text[0] == '\r' && text[1] == '\n') text += 2;
    mirrorLineEnded_ = false;
    if (*text == '\0') return;
    bool endsWithBreak = false;
    for (const char* piece = text; *piece != '\0';) {
        const char* crlf = std::strstr(piece, "\r\n");
        if (crlf == nullptr) {
            std::fputs(piece, mirror_);
            endsWithBreak = false;
            break;
        }
        std::fwrite(piece, 1, static_cast<size_t>(crlf - piece), mirror_);
        std::fputc('\n', mirror_);
        endsWithBreak = true;
        piece = crlf + 2;
    }
    if (!endsWithBreak) {
        std::fputc('\n', mirror_);
        mirrorLineEnded_ = true;
    }
    std::fflush(mirror_);
}

}  // namespace qx
