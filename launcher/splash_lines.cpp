#include "launcher/splash_lines.h"

#include "base/bounded_text.h"

namespace qx {

SplashLine* SplashLines::Find(int32_t key) {
    for (SplashLine& line : lines_) {
        if (line.key == key) return &line;
    }
    return nullptr;
}

SplashLine* SplashLines::At(uint32_t position) {
    for (SplashLine& line : lines_) {
        if (position-- == 0) return &line;
    }
    return nullptr;
}

SplashLine& SplashLines::Add(const char* text, const SplashRect& rect, int32_t key, void* font,
                             uint32_t colour) {
    SplashLine* line = Find(key);
    if (line == nullptr) {
        line = &lines_.emplace_back(SplashLine{});
    } else if (line->font != font) {
        // The list owns the font it held; dropping it silently would leak it.
        ReleaseFont(line->font);
    }
    BoundedCopy(line->text, kSplashTextCapacity, text != nullptr ? text : "");
    line->rect = rect;
    line->key = key;
    line->font = font;
    line->colour = colour;
    return *line;
}

bool SplashLines::SetText(int32_t key, const char* text) {
    SplashLine* line = Find(key);
    if (line == nullptr) return false;
    BoundedCopy(line->text, kSplashTextCapacity, text != nullptr ? text : "");
    return true;
}

bool SplashLines::SetColour(int32_t key, uint32_t colour) {
    SplashLine* line = Find(key);
    if (line == nullptr) return false;
    line->colour = colour;
    return true;
}

void SplashLines::Clear() {
    for (SplashLine& line : lines_) ReleaseFont(line.font);
    lines_.clear();
}

void SplashLines::ReleaseFont(void* font) {
    if (font != nullptr && deleteFont_ != nullptr) deleteFont_(font);
}

}  // namespace qx
