// The Windows front end: the real splash window and message boxes.
#include <windows.h>

#include "launcher/front_end.h"
#include "launcher/splash_window_win32.h"
#include "platform/thread_sync.h"

namespace qx::frontend {

struct Splash {
    SplashWindow window;
};

Splash* SplashConstruct() {
    return new Splash;
}

void SplashCreate(Splash* splash, void* moduleInstance, int32_t bitmapId, uint32_t options) {
    splash->window.Create(nullptr, static_cast<HINSTANCE>(moduleInstance), bitmapId,
                          (options & kSplashTopmost) != 0 ? kSplashOptionTopmost : 0);
}

void SplashAddLine(Splash* splash, const char* text, int32_t left, int32_t top, int32_t key,
                   uint32_t colour) {
    const RECT rect{left, top, 0, 0};
    splash->window.AddLine(text, rect, key, nullptr, colour);
}

int32_t SplashSetLineText(Splash* splash, int32_t key, const char* text, bool repaint) {
    return splash->window.SetLineText(key, text, repaint);
}

int32_t SplashSetLineColour(Splash* splash, int32_t key, uint32_t colour, bool repaint) {
    return splash->window.SetLineColour(key, colour, repaint);
}

void SplashShow(Splash* splash, uint32_t autoHideMs) {
    splash->window.Show(autoHideMs);
}

void SplashHide(Splash* splash) {
    splash->window.Hide();
}

void SplashClose(Splash* splash) {
    splash->window.Close();
}

void SplashDestroy(Splash* splash) {
    splash->window.Destroy();
    delete splash;
}

void ShowWarning(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_ICONWARNING | MB_OK);
}

void Pause(uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

}  // namespace qx::frontend
