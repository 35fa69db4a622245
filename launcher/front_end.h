// What the start-up sequence shows: the splash picture with its lines, warning boxes, and
// the pauses that let a line be read. Windows draws real windows (front_end_win32.cpp); the
// POSIX console front end prints to the terminal (front_end_console.cpp).
#pragma once

#include <cstdint>

namespace qx::frontend {

inline constexpr uint32_t kColourBlack = 0x000000;
inline constexpr uint32_t kColourRed = 0x0000FF;  // 0x00BBGGRR
inline constexpr uint32_t kSplashTopmost = 0x01;

// One splash picture, built the way each platform shows it.
struct Splash;

Splash* SplashConstruct();
void SplashCreate(Splash* splash, void* moduleInstance, int32_t bitmapId, uint32_t options);
// A line at (left, top) in the default font; a line with the same key is overwritten.
void SplashAddLine(Splash* splash, const char* text, int32_t left, int32_t top, int32_t key,
                   uint32_t colour);
// 1 when the key exists, else 0.
int32_t SplashSetLineText(Splash* splash, int32_t key, const char* text, bool repaint);
int32_t SplashSetLineColour(Splash* splash, int32_t key, uint32_t colour, bool repaint);
void SplashShow(Splash* splash, uint32_t autoHideMs);
void SplashHide(Splash* splash);
// Lines freed, window gone; the object stays for SplashDestroy.
void SplashClose(Splash* splash);
// Final clean-up; the object is freed.
void SplashDestroy(Splash* splash);

// A warning with one OK button and no owner window.
void ShowWarning(const char* text, const char* caption);
void Pause(uint32_t milliseconds);

}  // namespace qx::frontend
