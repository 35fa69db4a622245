#include "launcher/splash_window_win32.h"

namespace qx {
namespace {

constexpr int kInitialSize = 500;
// The default face of the lines: Arial 14, light, proof quality, modern variable pitch.
constexpr int kDefaultFontHeight = 14;
constexpr int kDefaultFontWeight = 300;
constexpr DWORD kDefaultFontQuality = PROOF_QUALITY;
constexpr DWORD kDefaultFontPitchFamily = FF_MODERN | VARIABLE_PITCH;

void DeleteFontHandle(void* font) {
    DeleteObject(static_cast<HGDIOBJ>(font));
}

HFONT CreateDefaultFont() {
    return CreateFontA(kDefaultFontHeight, 0, 0, 0, kDefaultFontWeight, FALSE, FALSE, FALSE,
                       ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, kDefaultFontQuality,
                       kDefaultFontPitchFamily, "Arial");
}

SplashWindow* SplashOf(HWND window) {
    return reinterpret_cast<SplashWindow*>(GetWindowLongPtrA(window, 0));
}

}  // namespace

SplashWindow::SplashWindow() : lines_(DeleteFontHandle) {}

SplashWindow::~SplashWindow() {
    DestroyWindowIfAny();
}

bool SplashWindow::RegisterSplashClass() {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = module_;
    wc.hIcon = nullptr;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_APPWORKSPACE + 1));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = kSplashClassName;
    return RegisterClassA(&wc) != 0;
}

void SplashWindow::Create(HWND parent, HINSTANCE module, int32_t bitmapId, uint32_t options) {
    module_ = module;
    RegisterSplashClass();  // already registered is fine
    bitmapId_ = bitmapId;
    parent_ = parent;
    const DWORD exStyle = (options & kSplashOptionTopmost) != 0 ? WS_EX_TOPMOST : 0;
    window_ = CreateWindowExA(exStyle, kSplashClassName, nullptr, WS_POPUP, 0, 0, kInitialSize,
                              kInitialSize, parent, nullptr, module, this);
    if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK SplashWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            auto* splash = static_cast<SplashWindow*>(create->lpCreateParams);
            SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(splash));
            if (splash != nullptr) splash->OnCreate(window);
            return 0;
        }
        case WM_PAINT:
            if (SplashWindow* splash = SplashOf(window)) {
                splash->Paint(window);
                return 0;
            }
            break;
        case WM_TIMER:
            if (SplashWindow* splash = SplashOf(window)) {
                // The timer keeps running; hiding twice does no harm.
                ShowWindow(window, SW_HIDE);
                splash->visible_ = 0;
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void SplashWindow::OnCreate(HWND window) {
    HBITMAP bitmap = LoadBitmapA(module_, MAKEINTRESOURCEA(bitmapId_));
    if (bitmap == nullptr) return;
    BITMAP info{};
    GetObjectA(bitmap, sizeof info, &info);
    DeleteObject(bitmap);
    SetWindowPos(window, nullptr, 0, 0, info.bmWidth, info.bmHeight, SWP_NOMOVE | SWP_NOZORDER);
}

void SplashWindow::Paint(HWND window) {
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(window, &ps);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = LoadBitmapA(module_, MAKEINTRESOURCEA(bitmapId_));
    HGDIOBJ previousBitmap = SelectObject(memory, bitmap);
    BITMAP info{};
    if (bitmap != nullptr) GetObjectA(bitmap, sizeof info, &info);

    for (SplashLine& line : lines_) {
        RECT rect{line.rect.left, line.rect.top, line.rect.right, line.rect.bottom};
        HFONT temporary = nullptr;
        HFONT font = static_cast<HFONT>(line.font);
        if (font == nullptr) font = temporary = CreateDefaultFont();
        HGDIOBJ previousFont = SelectObject(memory, font);
        DrawTextA(memory, line.text, -1, &rect, DT_CALCRECT | DT_NOPREFIX);
        line.rect.right = rect.right;
        line.rect.bottom = rect.bottom;
        SetBkMode(memory, TRANSPARENT);
        SetTextColor(memory, line.colour);
        DrawTextA(memory, line.text, -1, &rect, DT_NOPREFIX);
        if (temporary != nullptr) {
            SelectObject(memory, previousFont);
            DeleteObject(temporary);
        }
    }

    BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previousBitmap);
    DeleteDC(memory);
    if (bitmap != nullptr) DeleteObject(bitmap);
    EndPaint(window, &ps);
}

void SplashWindow::UpdateNow() {
    if (window_ == nullptr) return;
    InvalidateRect(window_, nullptr, FALSE);
    UpdateWindow(window_);
}

void SplashWindow::AddLine(const char* text, const RECT& rect, int32_t key, HFONT font,
                           COLORREF colour) {
    lines_.Add(text, SplashRect{rect.left, rect.top, rect.right, rect.bottom}, key, font, colour);
    UpdateNow();
}

int32_t SplashWindow::SetLineText(int32_t key, const char* text, bool repaint) {
    if (!lines_.SetText(key, text)) return 0;
    if (repaint) UpdateNow();
    return 1;
}

int32_t SplashWindow::SetLineColour(int32_t key, COLORREF colour, bool repaint) {
    if (!lines_.SetColour(key, colour)) return 0;
    if (repaint) UpdateNow();
    return 1;
}

void SplashWindow::Show(uint32_t autoHideMs) {
    if (window_ == nullptr) return;
    RECT desktop{};
    RECT own{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window_, &own);
    const int x = desktop.left + (desktop.right - desktop.left) / 2 - (own.right - own.left) / 2;
    const int y = desktop.top + (desktop.bottom - desktop.top) / 2 - (own.bottom - own.top) / 2;
    SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOSIZE);
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    if (autoHideMs != 0) SetTimer(window_, 0, autoHideMs, nullptr);
    visible_ = 1;
}

void SplashWindow::Hide() {
    if (window_ != nullptr) ShowWindow(window_, SW_HIDE);
    visible_ = 0;
}

void SplashWindow::DestroyWindowIfAny() {
    if (window_ != nullptr) {
        // No message may reach a window procedure that outlives this object.
        SetWindowLongPtrA(window_, 0, 0);
        DestroyWindow(window_);
        window_ = nullptr;
    }
}

void SplashWindow::Close() {
    lines_.Clear();
    DestroyWindowIfAny();
    visible_ = 0;
}

void SplashWindow::Destroy() {
    lines_.Clear();
    DestroyWindowIfAny();
    UnregisterClassA(kSplashClassName, module_);
}

}  // namespace qx
