// The stand-in's window: the identification block, image read and write on a worker thread
// with progress and Cancel, the debug output window, the emulation bank, a keyboard shortcut
// and a name for the device. What it keeps goes into the settings block (ui_state.h), which
// the launcher saves.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>

#include "ui_device_text.h"
#include "ui_state.h"
#include "ui_window.h"
#include "ui_window_ids.h"
#include "ui_worker.h"
#include "win32ui/win32ui.h"

namespace tarnwell {
namespace {

constexpr UINT kProgressMessage = WM_APP + 1;
constexpr UINT kDoneMessage = WM_APP + 2;
constexpr int kDefaultLeft = 20;
constexpr int kDefaultTop = 20;
constexpr int kDefaultWidth = 600;
constexpr int kDefaultHeight = 420;
constexpr int kMinWidth = 560;
constexpr int kMinHeight = 380;
constexpr int kProgressRange = 1000;
constexpr wchar_t kNamePromptTitle[] = L"Name the device";

// Keys the shortcut may not take: the editing keys every edit box needs, and closing.
constexpr qx::KeyCombo kReserved[] = {
    {qx::kComboVirtualKey | qx::kComboCtrl, 0, 'C', {}},
    {qx::kComboVirtualKey | qx::kComboCtrl, 0, 'V', {}},
    {qx::kComboVirtualKey | qx::kComboCtrl, 0, 'X', {}},
    {qx::kComboVirtualKey | qx::kComboCtrl, 0, 'Z', {}},
    {qx::kComboVirtualKey | qx::kComboAlt, 0, VK_F4, {}},
};

struct Ui {
    WindowCall call;
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HFONT font = nullptr;
    UiState state;
    TransferWorker worker;
    TransferKind running = TransferKind::Read;
    std::atomic<bool> progressPosted{false};
    bool closePending = false;
    bool closed = false;
    qx::LogWindow log;
    bool logAttached = false;
    qx::LogWindow* previousDeviceLog = nullptr;
    qx::LogWindow* previousPortLog = nullptr;
};

Ui* UiOf(HWND window) {
    return reinterpret_cast<Ui*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

HWND Item(const Ui& ui, int id) {
    return GetDlgItem(ui.window, id);
}

std::string ItemText(const Ui& ui, int id) {
    HWND item = Item(ui, id);
    const int length = GetWindowTextLengthA(item);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(item, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

void SetStatus(const Ui& ui, const std::string& text) {
    SetWindowTextA(Item(ui, kStatusText), text.c_str());
}

bool HasDevice(const Ui& ui) {
    return Connected(ui.call.device);
}

void Persist(Ui& ui) {
    StoreUiState(ui.call.settings, ui.state);
}

std::string ShortcutText(const Shortcut& shortcut) {
    if (shortcut.key == 0) return "Shortcut for Read: none";
    const qx::KeyCombo combo{shortcut.flags, 0, shortcut.key, {}};
    char text[100] = {};
    qx::KeyComboText(&combo, text, sizeof text);
    return std::string("Shortcut for Read: ") + text;
}

void ShowIdentification(const Ui& ui) {
    SetWindowTextA(Item(ui, kInfoText),
                   IdentificationText(ui.call.device, ui.state.deviceName).c_str());
}

HWND AddControl(Ui& ui, const char* cls, const char* text, DWORD style, int id, DWORD exStyle = 0) {
    HWND control =
        CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, ui.window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ui.instance, nullptr);
    if (control != nullptr) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(ui.font), 0);
    return control;
}

void FillBanks(Ui& ui) {
    HWND combo = Item(ui, kBankCombo);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    const qx::QXVorrel* device = ui.call.device;
    const bool banks = HasDevice(ui) && (device->capabilities & qx::CapBanks) != 0;
    if (!banks) {
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("(no banks)"));
        SendMessageA(combo, CB_SETCURSEL, 0, 0);
        EnableWindow(combo, FALSE);
        EnableWindow(Item(ui, kBankButton), FALSE);
        return;
    }
    const uint32_t count = device->GetBankCount();
    for (uint32_t bank = 0; bank < count; ++bank) {
        const std::string text = "Bank " + std::to_string(bank);
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SendMessageA(combo, CB_SETCURSEL, device->emulationBank < count ? device->emulationBank : 0, 0);
}

void CreateControls(Ui& ui) {
    ui.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    AddControl(ui, "EDIT", "", ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL, kInfoText,
               WS_EX_CLIENTEDGE);
    AddControl(ui, "STATIC", "Read into:", 0, kReadLabel);
    AddControl(ui, "EDIT", ui.state.lastReadFile.c_str(), ES_AUTOHSCROLL | WS_TABSTOP, kReadPath,
               WS_EX_CLIENTEDGE);
    AddControl(ui, "BUTTON", "...", WS_TABSTOP, kReadBrowse);
    AddControl(ui, "BUTTON", "Read image", WS_TABSTOP, kReadButton);
    AddControl(ui, "STATIC", "Write from:", 0, kWriteLabel);
    AddControl(ui, "EDIT", ui.state.lastWriteFile.c_str(), ES_AUTOHSCROLL | WS_TABSTOP, kWritePath,
               WS_EX_CLIENTEDGE);
    AddControl(ui, "BUTTON", "...", WS_TABSTOP, kWriteBrowse);
    AddControl(ui, "BUTTON", "Write image", WS_TABSTOP, kWriteButton);
    AddControl(ui, "BUTTON", "Verify", BS_AUTOCHECKBOX | WS_TABSTOP, kVerifyCheck);
    SendMessageA(Item(ui, kVerifyCheck), BM_SETCHECK, ui.state.verify ? BST_CHECKED : 0, 0);
    AddControl(ui, PROGRESS_CLASSA, "", 0, kProgressBar);
    SendMessageA(Item(ui, kProgressBar), PBM_SETRANGE32, 0, kProgressRange);
    AddControl(ui, "BUTTON", "Cancel", WS_TABSTOP | WS_DISABLED, kCancelButton);
    AddControl(ui, "STATIC", "Ready.", SS_LEFTNOWORDWRAP, kStatusText);
    AddControl(ui, "STATIC", "Emulation bank:", 0, kBankLabel);
    AddControl(ui, "COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kBankCombo);
    AddControl(ui, "BUTTON", "Set bank", WS_TABSTOP, kBankButton);
    AddControl(ui, "BUTTON", "Debug window", WS_TABSTOP, kDebugButton);
    AddControl(ui, "BUTTON", "Shortcut...", WS_TABSTOP, kShortcutButton);
    AddControl(ui, "BUTTON", "Name device...", WS_TABSTOP, kNameButton);
    AddControl(ui, "STATIC", ShortcutText(ui.state.shortcut).c_str(), 0, kShortcutText);
    ShowIdentification(ui);
    FillBanks(ui);
    if (!HasDevice(ui)) {
        for (int id :
             {kReadButton, kWriteButton, kReadBrowse, kWriteBrowse, kDebugButton, kNameButton}) {
            EnableWindow(Item(ui, id), FALSE);
        }
    }
}

// Fixed rows under an identification block that takes the rest of the height.
void Layout(const Ui& ui, int width, int height) {
    constexpr int kMargin = 10;
    constexpr int kRow = 30;
    constexpr int kRows = 6;
    const int inner = width - 2 * kMargin;
    const int infoHeight = std::max(60, height - 2 * kMargin - kRows * kRow);
    auto place = [&](int id, int x, int y, int w, int h) {
        MoveWindow(Item(ui, id), x, y, std::max(w, 0), h, TRUE);
    };
    place(kInfoText, kMargin, kMargin, inner, infoHeight - 6);
    int y = kMargin + infoHeight;
    const int label = 75;
    const int button = 95;
    const int browse = 30;
    const int path = inner - label - browse - button - 10;
    for (const auto& row :
         {std::array<int, 4>{kReadLabel, kReadPath, kReadBrowse, kReadButton},
          std::array<int, 4>{kWriteLabel, kWritePath, kWriteBrowse, kWriteButton}}) {
        place(row[0], kMargin, y + 4, label, 18);
        place(row[1], kMargin + label, y, path, 22);
        place(row[2], kMargin + label + path + 5, y, browse, 23);
        place(row[3], kMargin + inner - button, y, button, 23);
        y += kRow;
    }
    // The verify box sits under the write button's row start, beside the progress bar.
    place(kVerifyCheck, kMargin, y + 2, label - 5, 20);
    place(kProgressBar, kMargin + label, y + 2, inner - label - button - 5, 18);
    place(kCancelButton, kMargin + inner - button, y, button, 23);
    y += kRow;
    place(kStatusText, kMargin, y + 4, inner, 18);
    y += kRow;
    place(kBankLabel, kMargin, y + 4, label + 10, 18);
    place(kBankCombo, kMargin + label + 10, y, 90, 200);
    place(kBankButton, kMargin + label + 105, y, 70, 23);
    const int tools = (inner - label - 185) / 3;
    place(kDebugButton, kMargin + label + 185, y, tools - 5, 23);
    place(kShortcutButton, kMargin + label + 185 + tools, y, tools - 5, 23);
    place(kNameButton, kMargin + label + 185 + 2 * tools, y, tools - 5, 23);
    y += kRow;
    place(kShortcutText, kMargin, y + 4, inner, 18);
}

void SetBusy(Ui& ui, bool busy) {
    for (int id : {kReadButton, kWriteButton, kReadBrowse, kWriteBrowse, kReadPath, kWritePath,
                   kVerifyCheck, kShortcutButton, kNameButton}) {
        EnableWindow(Item(ui, id), busy ? FALSE : TRUE);
    }
    // Bank changes take the port: never while a transfer holds it.
    const bool banks = HasDevice(ui) && (ui.call.device->capabilities & qx::CapBanks) != 0;
    EnableWindow(Item(ui, kBankCombo), !busy && banks);
    EnableWindow(Item(ui, kBankButton), !busy && banks);
    EnableWindow(Item(ui, kCancelButton), busy ? TRUE : FALSE);
}

// The common file dialog, starting from what the box holds; the choice goes into the box.
bool ChooseFile(Ui& ui, int pathId, bool save) {
    char file[MAX_PATH] = {};
    const std::string current = ItemText(ui, pathId);
    if (current.size() < sizeof file) current.copy(file, current.size());
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = ui.window;
    dialog.lpstrFilter = "Binary images (*.bin)\0*.bin\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrDefExt = "bin";
    dialog.Flags =
        OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    const BOOL chosen = save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
    if (!chosen) return false;
    SetWindowTextA(Item(ui, pathId), file);
    return true;
}

void StartTransfer(Ui& ui, TransferKind kind) {
    if (!HasDevice(ui) || ui.worker.Busy()) return;
    const int pathId = kind == TransferKind::Read ? kReadPath : kWritePath;
    // An empty box asks with the file dialog.
    if (ItemText(ui, pathId).empty() && !ChooseFile(ui, pathId, kind == TransferKind::Read)) {
        return;
    }
    TransferRequest request;
    request.kind = kind;
    request.path = ItemText(ui, pathId);
    request.verify = SendMessageA(Item(ui, kVerifyCheck), BM_GETCHECK, 0, 0) == BST_CHECKED;
    ui.state.verify = request.verify;
    if (kind == TransferKind::Read) {
        ui.state.lastReadFile = request.path;
    } else {
        ui.state.lastWriteFile = request.path;
    }
    Persist(ui);
    HWND window = ui.window;
    Ui* target = &ui;
    // Posted, never sent: the transfer thread must not wait for this one.
    auto onProgress = [window, target] {
        if (!target->progressPosted.exchange(true)) PostMessageA(window, kProgressMessage, 0, 0);
    };
    auto onDone = [window] { PostMessageA(window, kDoneMessage, 0, 0); };
    SendMessageA(Item(ui, kProgressBar), PBM_SETPOS, 0, 0);
    ui.running = kind;
    SetBusy(ui, true);
    SetStatus(ui, kind == TransferKind::Read ? "Reading " + request.path + "..."
                                             : "Writing " + request.path + "...");
    if (!ui.worker.Start(*ui.call.device, request, onProgress, onDone)) {
        SetBusy(ui, false);
        SetStatus(ui, "A transfer is still running.");
    }
}

void ShowProgress(Ui& ui) {
    ui.progressPosted = false;
    const uint64_t total = ui.worker.Total();
    const uint64_t done = ui.worker.Done();
    const auto position = total == 0 ? 0 : static_cast<int>(done * kProgressRange / total);
    SendMessageA(Item(ui, kProgressBar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void FinishTransfer(Ui& ui) {
    if (!ui.worker.Busy() || !ui.worker.Finished()) return;
    ShowProgress(ui);
    const TransferOutcome outcome = ui.worker.Collect();
    SetBusy(ui, false);
    SetStatus(ui, outcome.summary);
    if (ui.closePending) DestroyWindow(ui.window);
}

void SetEmulationBank(Ui& ui) {
    const LRESULT bank = SendMessageA(Item(ui, kBankCombo), CB_GETCURSEL, 0, 0);
    if (bank == CB_ERR || !HasDevice(ui) || ui.worker.Busy()) return;
    const int32_t rc = ui.call.device->SetBank(static_cast<uint32_t>(bank), 0, 0, 0);
    SetStatus(ui, "Emulation bank " + std::to_string(bank) + ": " + qx::ResultCodeName(rc));
    // The image size can follow the bank (a large-bin bank spans the whole memory).
    ShowIdentification(ui);
}

void OpenDebug(Ui& ui) {
    if (!HasDevice(ui)) return;
    HWND debug = qx::OpenDebugWindow(ui.log, ui.instance, ui.window, SW_SHOWNORMAL);
    if (debug == nullptr) {
        SetStatus(ui, "The debug window cannot be opened.");
        return;
    }
    if (!ui.logAttached) {
        ui.previousDeviceLog = ui.call.device->logger;
        ui.previousPortLog = ui.call.device->port->logger;
        ui.logAttached = true;
    }
    // Device and port both: commands and their packet dumps.
    ui.call.device->AttachLogWindow(&ui.log);
    // Beside and below the main window where the screen leaves room, else over its lower
    // right corner: the identification block stays in view.
    RECT main{};
    RECT own{};
    RECT screen{};
    GetWindowRect(ui.window, &main);
    GetWindowRect(debug, &own);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &screen, 0);
    const LONG width = own.right - own.left;
    const LONG height = own.bottom - own.top;
    const LONG x = std::max(screen.left, std::min(main.right, screen.right - width));
    const LONG y = std::max(screen.top, std::min(main.bottom, screen.bottom - height));
    SetWindowPos(debug, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    qx::LogMessage(&ui.log, "Tarnwell: debug output of %s on COM%d", ui.call.device->modelName,
                   static_cast<int>(ui.call.device->portNumber));
}

void ChooseShortcut(Ui& ui) {
    qx::KeyCombo combo{ui.state.shortcut.flags, 0, ui.state.shortcut.key, {}};
    qx::KeyComboRequest request{&combo, kReserved, static_cast<uint32_t>(std::size(kReserved))};
    // Cancel leaves the dialog's half-typed combination behind: keep the old one then.
    if (qx::RunKeyComboDialog(ui.instance, ui.window, request) != 1) return;
    ui.state.shortcut = Shortcut{combo.flags, combo.key};
    Persist(ui);
    SetWindowTextA(Item(ui, kShortcutText), ShortcutText(ui.state.shortcut).c_str());
}

void NameDevice(Ui& ui) {
    wchar_t text[256] = {};
    qx::TextPromptRequest request{0, text, static_cast<uint32_t>(std::size(text)),
                                  kNamePromptTitle};
    if (qx::RunTextPromptDialog(ui.instance, ui.window, request) != 1) return;
    text[std::size(text) - 1] = L'\0';
    char utf8[1024] = {};
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    const std::string entered = bytes > 0 ? std::string(utf8) : std::string();
    ui.state.deviceName = CutUtf8(entered, kUiNameCapacity - 1);
    Persist(ui);
    ShowIdentification(ui);
    SetStatus(ui, ui.state.deviceName.size() < entered.size()
                      ? "Name cut to " + std::to_string(ui.state.deviceName.size()) + " bytes."
                      : "Device named.");
}

// The key and modifiers pressed now equal the shortcut's.
bool IsShortcut(const Shortcut& shortcut, WPARAM key) {
    if (shortcut.key == 0 || (shortcut.flags & qx::kComboVirtualKey) == 0) return false;
    if (key != shortcut.key) return false;
    const auto down = [](int vk) { return (GetKeyState(vk) & 0x8000) != 0; };
    const uint8_t now = static_cast<uint8_t>((down(VK_CONTROL) ? qx::kComboCtrl : 0) |
                                             (down(VK_MENU) ? qx::kComboAlt : 0) |
                                             (down(VK_SHIFT) ? qx::kComboShift : 0));
    constexpr uint8_t kModifiers = qx::kComboCtrl | qx::kComboAlt | qx::kComboShift;
    return now == (shortcut.flags & kModifiers);
}

void RememberPlacement(Ui& ui) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(ui.window, &placement)) return;
    const RECT& r = placement.rcNormalPosition;
    ui.state.placement = {r.left, r.top, r.right - r.left, r.bottom - r.top};
    ui.state.hasPlacement = true;
    ui.state.lastReadFile = ItemText(ui, kReadPath);
    ui.state.lastWriteFile = ItemText(ui, kWritePath);
    ui.state.verify = SendMessageA(Item(ui, kVerifyCheck), BM_GETCHECK, 0, 0) == BST_CHECKED;
    Persist(ui);
}

void OnCommand(Ui& ui, int id) {
    switch (id) {
        case kReadButton:
            StartTransfer(ui, TransferKind::Read);
            break;
        case kWriteButton:
            StartTransfer(ui, TransferKind::Write);
            break;
        case kReadBrowse:
            ChooseFile(ui, kReadPath, true);
            break;
        case kWriteBrowse:
            ChooseFile(ui, kWritePath, false);
            break;
        case kCancelButton:
            ui.worker.Cancel();
            SetStatus(ui, "Cancelling...");
            break;
        case kBankButton:
            SetEmulationBank(ui);
            break;
        case kDebugButton:
            OpenDebug(ui);
            break;
        case kShortcutButton:
            ChooseShortcut(ui);
            break;
        case kNameButton:
            NameDevice(ui);
            break;
        default:
            break;
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* ui = static_cast<Ui*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        ui->window = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ui));
    }
    Ui* ui = UiOf(window);
    if (ui == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
        case WM_CREATE:
            CreateControls(*ui);
            return 0;
        case WM_SIZE:
            Layout(*ui, LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_GETMINMAXINFO: {
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize = {kMinWidth, kMinHeight};
            return 0;
        }
        case WM_COMMAND:
            OnCommand(*ui, LOWORD(wParam));
            return 0;
        case kProgressMessage:
            ShowProgress(*ui);
            return 0;
        case kDoneMessage:
            FinishTransfer(*ui);
            return 0;
        case WM_CLOSE:
            RememberPlacement(*ui);
            // A running transfer is cancelled first; its end closes the window.
            if (ui->worker.Busy()) {
                ui->closePending = true;
                ui->worker.Cancel();
                SetStatus(*ui, "Cancelling before closing...");
                return 0;
            }
            DestroyWindow(window);
            return 0;
        case WM_NCDESTROY:
            ui->closed = true;
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&MainWindowProc), &module);
    return module;
}

// A kept placement is used only when its title bar would be on a screen now.
bool OnScreen(const Placement& p) {
    RECT title{p.left, p.top, p.left + p.width, p.top + 30};
    return MonitorFromRect(&title, MONITOR_DEFAULTTONULL) != nullptr;
}

// Waits for the transfer's end while the thread keeps answering: the transfer may be
// logging into the debug window, whose messages this thread must handle.
void DrainWorker(Ui& ui) {
    if (!ui.worker.Busy()) return;
    ui.worker.Cancel();
    while (!ui.worker.Finished()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    ui.worker.Collect();
}

}  // namespace

bool RunWindow(const WindowCall& call) {
    Ui ui;
    ui.call = call;
    ui.instance = ThisModule();
    ui.state = LoadUiState(call.settings);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &MainWindowProc;
    windowClass.hInstance = ui.instance;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kMainWindowClass;
    if (RegisterClassExA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    const bool kept = ui.state.hasPlacement && OnScreen(ui.state.placement);
    const Placement at = kept ? ui.state.placement
                              : Placement{kDefaultLeft, kDefaultTop, kDefaultWidth, kDefaultHeight};
    const char* title = call.title != nullptr ? call.title : "Tarnwell";
    HWND window =
        CreateWindowExA(0, kMainWindowClass, title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, at.left,
                        at.top, at.width, at.height, nullptr, nullptr, ui.instance, &ui);
    if (window == nullptr) {
        UnregisterClassA(kMainWindowClass, ui.instance);
        return false;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    while (!ui.closed) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            // A quit meant for the caller's loop: close, then hand it back.
            if (IsWindow(window)) {
                RememberPlacement(ui);
                DestroyWindow(window);
            }
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (got == -1) break;
        if ((message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) &&
            (message.hwnd == window || IsChild(window, message.hwnd)) &&
            IsShortcut(ui.state.shortcut, message.wParam)) {
            PostMessageA(window, WM_COMMAND, kReadButton, 0);
            continue;
        }
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DrainWorker(ui);
    if (IsWindow(window)) DestroyWindow(window);
    if (ui.logAttached) {
        // The debug window went with its owner; the device logs where it did before.
        ui.call.device->logger = ui.previousDeviceLog;
        ui.call.device->port->logger = ui.previousPortLog;
    }
    qx::ReleaseLogWindow(&ui.log);
    UnregisterClassA(kMainWindowClass, ui.instance);
    return true;
}

}  // namespace tarnwell
