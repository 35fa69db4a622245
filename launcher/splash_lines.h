// The text lines of the splash picture: an ordered list found by key. Kept apart from the
// window so that the list rules hold the same on every platform.
#pragma once

#include <cstdint>
#include <list>

namespace qx {

inline constexpr uint32_t kSplashTextSize = 256;
// Text is stored with this capacity, so at most 254 characters remain.
inline constexpr uint32_t kSplashTextCapacity = 255;

struct SplashRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct SplashLine {
    char text[kSplashTextSize];
    SplashRect rect;  // left and top place the text; right and bottom follow its extent
    int32_t key;
    void* font;       // null: a default font at each paint; else owned by the list
    uint32_t colour;  // 0x00BBGGRR
};

class SplashLines {
  public:
    // Frees a font the list owns (null: fonts need no freeing).
    using FontDeleter = void (*)(void* font);

    explicit SplashLines(FontDeleter deleteFont = nullptr) : deleteFont_(deleteFont) {}
    ~SplashLines() { Clear(); }
    SplashLines(const SplashLines&) = delete;
    SplashLines& operator=(const SplashLines&) = delete;

    SplashLine* Find(int32_t key);
    SplashLine* At(uint32_t position);
    // Adds a line, or overwrites the line with that key where it stands.
    SplashLine& Add(const char* text, const SplashRect& rect, int32_t key, void* font,
                    uint32_t colour);
    // False (and nothing changed) when no line has the key.
    bool SetText(int32_t key, const char* text);
    bool SetColour(int32_t key, uint32_t colour);
    // Frees every line and the fonts they own.
    void Clear();

    uint32_t Count() const { return static_cast<uint32_t>(lines_.size()); }
    std::list<SplashLine>::iterator begin() { return lines_.begin(); }
    std::list<SplashLine>::iterator end() { return lines_.end(); }

  private:
    void ReleaseFont(void* font);

    FontDeleter deleteFont_;
    std::list<SplashLine> lines_;
};

}  // namespace qx
