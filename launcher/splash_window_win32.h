// SplashWindow: a borderless picture with lines of text on it. The launcher pumps no
// messages, so every change is painted at once through a synchronous update, and the
// window takes the bitmap's size while it is being created.
#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/splash_lines.h"

namespace qx {

inline constexpr const char* kSplashClassName = "QXSPLASHT";
inline constexpr uint32_t kSplashOptionTopmost = 0x01;

class SplashWindow {
  public:
    SplashWindow();
    ~SplashWindow();
    SplashWindow(const SplashWindow&) = delete;
    SplashWindow& operator=(const SplashWindow&) = delete;

    void Create(HWND parent, HINSTANCE module, int32_t bitmapId, uint32_t options);
    bool RegisterSplashClass();

    void AddLine(const char* text, const RECT& rect, int32_t key, HFONT font, COLORREF colour);
    int32_t SetLineText(int32_t key, const char* text, bool repaint);
    int32_t SetLineColour(int32_t key, COLORREF colour, bool repaint);
    SplashLine* FindLine(int32_t key) { return lines_.Find(key); }
    SplashLine* LineAt(uint32_t position) { return lines_.At(position); }

    void Show(uint32_t autoHideMs);
    void Hide();
    void Close();
    void Destroy();

    HWND Window() const { return window_; }
    bool Visible() const { return visible_ != 0; }
    uint32_t LineCount() const { return lines_.Count(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate(HWND window);
    void Paint(HWND window);
    void UpdateNow();
    void DestroyWindowIfAny();

    HWND parent_ = nullptr;
    HWND window_ = nullptr;
    int32_t visible_ = 0;
    int32_t bitmapId_ = 0;
    SplashLines lines_;
    HINSTANCE module_ = nullptr;
};

}  // namespace qx
