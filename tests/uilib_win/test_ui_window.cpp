// The stand-in's window, driven for real: Tarnwell.dll from bin/ is loaded and its entry runs
// on a thread of its own with a device opened on the simulator, as the launcher would call
// it; the test works the window through messages from this thread and checks the device, the
// simulator, the files and the settings block.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "launcher/ui_procedure.h"
#include "sim_fixture.h"
#include "ui_settings.h"
#include "ui_state.h"
#include "ui_window.h"
#include "ui_window_ids.h"
#include "win32ui/win32ui.h"

namespace tarnwell {
namespace {

constexpr char kTitle[] = "Varnex Quillon Interface";
constexpr int kWaitMs = 20000;

std::string Folder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string TempFile(const std::string& name) {
    char folder[MAX_PATH] = {};
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + "uilib_win_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(10);
    }
    return true;
}

std::string TextOf(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(window, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Presses keys through the system's input queue, then releases them in reverse.
void Chord(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs;
    auto add = [&inputs](WORD key, DWORD flags) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = flags;
        inputs.push_back(input);
    };
    for (WORD key : keys) add(key, 0);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) add(*it, KEYEVENTF_KEYUP);
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

HWND WaitForDialog(const char* title) {
    HWND found = nullptr;
    WaitUntil([&] {
        found = FindWindowA("#32770", title);
        return found != nullptr && IsWindowVisible(found);
    });
    return found;
}

qx::UIProcedureFn Entry() {
    static HMODULE dll = LoadLibraryA((Folder() + "Tarnwell.dll").c_str());
    return dll == nullptr ? nullptr
                          : reinterpret_cast<qx::UIProcedureFn>(
                                reinterpret_cast<void*>(GetProcAddress(dll, MAKEINTRESOURCEA(1))));
}

// The entry, running on its own thread until its window is closed.
class StandIn {
  public:
    ~StandIn() {
        if (thread_.joinable()) Close();
    }

    ::testing::AssertionResult Open(uint8_t* block, qx::QXVorrel* device) {
        const qx::UIProcedureFn entry = Entry();
        if (entry == nullptr) return ::testing::AssertionFailure() << "no Tarnwell.dll entry";
        returned_ = false;
        thread_ = std::thread([this, entry, block, device] {
            entry(0, block, device, kTitle, 0, 1);
            returned_ = true;
        });
        const bool shown = WaitUntil([&] {
            window_ = FindWindowA(kMainWindowClass, kTitle);
            return window_ != nullptr && IsWindowVisible(window_);
        });
        if (!shown) return ::testing::AssertionFailure() << "the window did not appear";
        return ::testing::AssertionSuccess();
    }

    // Closes the window the way the user does; the entry must return.
    void Close() {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        if (!WaitUntil([&] { return returned_.load(); })) {
            // A hang here would stall the whole suite: stop with the reason.
            std::fprintf(stderr, "the stand-in did not return after WM_CLOSE\n");
            std::fflush(stderr);
            std::_Exit(4);
        }
        thread_.join();
        window_ = nullptr;
    }

    bool Returned() const { return returned_.load(); }
    HWND window() const { return window_; }
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    std::string Text(int id) const { return TextOf(Item(id)); }
    void SetText(int id, const std::string& text) const {
        SendMessageA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    // Posted like a click, so a dialog it opens does not hold this thread.
    void Click(int id) const {
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Item(id)));
    }
    // Runs the action behind `id` and returns the status line it ends with (its result code
    // last), "" when none came.
    std::string Run(int id) const {
        SetText(kStatusText, "");
        Click(id);
        std::string status;
        WaitUntil([&] {
            status = Text(kStatusText);
            return Contains(status, ": VR_") || Contains(status, ": (ERROR");
        });
        return status;
    }
    int Progress() const {
        return static_cast<int>(SendMessageA(Item(kProgressBar), PBM_GETPOS, 0, 0));
    }

  private:
    std::thread thread_;
    std::atomic<bool> returned_{false};
    HWND window_ = nullptr;
};

class StandInWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        // Unset (not empty): the window, not the console report.
        _putenv("QX_UI_SCRIPT=");
        ASSERT_TRUE(dev_.Start(false));
        char text[100] = {};
        ASSERT_EQ(dev_.device().OpenDeviceOnPort(static_cast<uint32_t>(dev_.comNumber()), text,
                                                 sizeof text, nullptr, 0),
                  1)
            << dev_.LogText();
        dev_.Reset();
        image_ = dev_.device().GetActiveBankSize();
        ASSERT_GT(image_, 0u);
        block_.assign(qx::kSettingsBlockSize, 0);
    }
    void TearDown() override {
        for (const std::string& file : files_) DeleteFileA(file.c_str());
    }
    std::string File(const std::string& name) {
        files_.push_back(TempFile(name));
        DeleteFileA(files_.back().c_str());
        return files_.back();
    }
    std::vector<uint8_t> SimImage() { return dev_.sim().ReadMemory(qxsim::kSpace2, 0, image_); }

    qxtest::SimDevice dev_;
    uint32_t image_ = 0;
    std::vector<uint8_t> block_;
    std::vector<std::string> files_;
};

TEST_F(StandInWindow, ShowsTheIdentificationBlock) {
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    const qx::QXVorrel& d = dev_.device();
    EXPECT_EQ(TextOf(ui.window()), kTitle);
    const std::string info = ui.Text(kInfoText);
    const uint32_t baud = 921600u / static_cast<uint32_t>(d.baudIndex + 1);
    const std::string expected[] = {
        std::string("Model: ") + d.modelName + " (hardware O",
        "Firmware: 10.15",
        "Port: COM" + std::to_string(dev_.comNumber()) + " at " + std::to_string(baud) + " baud",
        "Banks: 9 of 0x00010000, emulating bank 0",
        std::string("Encryption: ") + ((d.capabilities & qx::CapEncryption) != 0 ? "on" : "off"),
        "Name: (not named)",
    };
    for (const std::string& part : expected)
        EXPECT_TRUE(Contains(info, part)) << part << "\n" << info;
    // Capabilities by name, each bit the device has.
    const std::pair<uint32_t, const char*> named[] = {{qx::CapEncryption, "encryption"},
                                                      {qx::CapBanks, "banks"},
                                                      {qx::CapBulk, "bulk"},
                                                      {qx::CapFlashInfo, "flash-info"}};
    for (const auto& [bit, name] : named) {
        EXPECT_EQ(Contains(info, name), (d.capabilities & bit) != 0) << name << "\n" << info;
    }
    EXPECT_NE(d.capabilities & qx::CapBanks, 0u) << "the Kelby 10.15 has banks";
    ui.Close();
}

TEST_F(StandInWindow, ReadsTheImageIntoAFile) {
    const std::vector<uint8_t> image = Pattern(image_, 7);
    dev_.sim().WriteMemory(qxsim::kSpace2, 0, image);
    const std::string file = File("read.bin");
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    ui.SetText(kReadPath, file);
    const std::string status = ui.Run(kReadButton);
    EXPECT_TRUE(Contains(status, "VR_S_OK")) << status;
    EXPECT_EQ(ReadBytes(file), image);
    EXPECT_EQ(ui.Progress(), 1000);
    ui.Close();
}

TEST_F(StandInWindow, WritesFromAFileAndVerifies) {
    struct Case {
        const char* name;
        size_t size;  // 0: no file
        bool verify;
        const char* result;
        bool written;
        const char* fault = nullptr;
    };
    const Case cases[] = {
        {"whole image, verified", image_, true, "verified: VR_S_OK", true},
        {"first pages, no verify", 3 * 4096 + 17, false, "bytes from", true},
        {"one byte more than the image", image_ + 1, true, "VR_E_INVALID_FUNC_PARAM", false},
        {"no such file", 0, true, "VR_E_INVALID_FUNC_PARAM", false},
        // A device that refuses bulk writes gets the image on the block path.
        {"bulk refused", 2 * 4096, true, "verified: VR_S_OK", true, "ZW:refuse"},
    };
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    uint32_t seed = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> before = Pattern(image_, ++seed);
        dev_.sim().WriteMemory(qxsim::kSpace2, 0, before);
        const std::vector<uint8_t> bytes = Pattern(c.size, ++seed);
        const std::string file = File("write.bin");
        if (c.size != 0) WriteBytes(file, bytes);
        ui.SetText(kWritePath, file);
        SendMessageA(ui.Item(kVerifyCheck), BM_SETCHECK, c.verify ? BST_CHECKED : 0, 0);
        dev_.ClearFaults();
        if (c.fault != nullptr) {
            ASSERT_TRUE(dev_.AddFault(c.fault));
        }
        dev_.ClearTranscript();
        const std::string status = ui.Run(kWriteButton);
        EXPECT_TRUE(Contains(status, c.result)) << status;
        if (c.fault != nullptr) {
            size_t blockWrites = 0;
            for (const auto& entry : dev_.Transcript()) blockWrites += entry.command == "W";
            EXPECT_EQ(blockWrites, c.size / 256);
        }
        std::vector<uint8_t> expected = before;
        if (c.written) {
            std::copy(bytes.begin(), bytes.end(), expected.begin());
            EXPECT_TRUE(Contains(status, "VR_S_OK")) << status;
        } else {
            // Refused before anything went to the device.
            EXPECT_TRUE(dev_.Transcript().empty());
        }
        EXPECT_EQ(SimImage(), expected);
    }
    ui.Close();
}

TEST_F(StandInWindow, CancelStopsALongReadAndTheDeviceStaysUsable) {
    const std::vector<uint8_t> image = Pattern(image_, 3);
    dev_.sim().WriteMemory(qxsim::kSpace2, 0, image);
    // Every read answer comes late: the read takes seconds.
    ASSERT_TRUE(dev_.AddFault("ZR:delay=120"));
    ASSERT_TRUE(dev_.AddFault("R:delay=120"));
    const std::string file = File("cancelled.bin");
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    ui.SetText(kReadPath, file);
    ui.SetText(kStatusText, "");
    ui.Click(kReadButton);
    ASSERT_TRUE(WaitUntil([&] { return ui.Progress() > 0; })) << ui.Text(kStatusText);
    EXPECT_TRUE(IsWindowEnabled(ui.Item(kCancelButton)));
    EXPECT_FALSE(IsWindowEnabled(ui.Item(kReadButton)));
    ui.Click(kCancelButton);
    std::string status;
    ASSERT_TRUE(WaitUntil([&] { return Contains(status = ui.Text(kStatusText), ": VR_"); }))
        << status;
    EXPECT_TRUE(Contains(status, "VR_E_OPERATION_CANCELED")) << status;
    EXPECT_LT(ui.Progress(), 1000);
    EXPECT_FALSE(Exists(file)) << "a cancelled read leaves no file";
    EXPECT_EQ(dev_.device().cancelRequested.load(), 0);
    EXPECT_TRUE(IsWindowEnabled(ui.Item(kReadButton)));

    // The next read runs to its end.
    dev_.ClearFaults();
    status = ui.Run(kReadButton);
    EXPECT_TRUE(Contains(status, "VR_S_OK")) << status;
    EXPECT_EQ(ReadBytes(file), image);
    ui.Close();
}

TEST_F(StandInWindow, ClosingDuringATransferCancelsItFirst) {
    ASSERT_TRUE(dev_.AddFault("ZR:delay=120"));
    ASSERT_TRUE(dev_.AddFault("R:delay=120"));
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    ui.SetText(kReadPath, File("closing.bin"));
    ui.Click(kReadButton);
    ASSERT_TRUE(WaitUntil([&] { return ui.Progress() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    ui.Close();
    // Well before the read could have finished.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(dev_.device().cancelRequested.load(), 0);
    dev_.ClearFaults();
    uint8_t bytes[256];
    EXPECT_EQ(dev_.device().ReadBlock(bytes, sizeof bytes, 0, 0, nullptr), qx::VR_S_OK);
}

TEST_F(StandInWindow, BankChangeReachesTheDevice) {
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    for (int bank : {3, 0}) {
        SCOPED_TRACE(bank);
        SendMessageA(ui.Item(kBankCombo), CB_SETCURSEL, static_cast<WPARAM>(bank), 0);
        const std::string status = ui.Run(kBankButton);
        EXPECT_EQ(status, "Emulation bank " + std::to_string(bank) + ": VR_S_OK");
        EXPECT_EQ(dev_.sim().State().emulationBank, bank);
        EXPECT_EQ(dev_.device().emulationBank, bank);
        EXPECT_TRUE(Contains(ui.Text(kInfoText), "emulating bank " + std::to_string(bank)));
    }
    ui.Close();
}

// A short write with verify: a whole image would add thousands of dump lines, and the edit
// control slows down with every one.
constexpr size_t kLoggedBytes = 512;

TEST_F(StandInWindow, DebugWindowShowsTheDeviceLogLive) {
    const std::string file = File("logged.bin");
    WriteBytes(file, Pattern(kLoggedBytes, 5));
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    ui.Click(kDebugButton);
    HWND debug = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        debug = FindWindowA(qx::kDebugWindowClass, qx::kDebugWindowTitle);
        return debug != nullptr && IsWindowVisible(debug);
    }));
    HWND edit = FindWindowExA(debug, nullptr, "EDIT", nullptr);
    ASSERT_NE(edit, nullptr);
    ui.SetText(kWritePath, file);
    const std::string status = ui.Run(kWriteButton);
    EXPECT_TRUE(Contains(status, "verified: VR_S_OK")) << status;
    const std::string log = TextOf(edit);
    for (const char* part : {"Tarnwell: debug output of Kelby", "QXSerial: Write", "QXSerial: Read",
                             "0000: ", "0010: "}) {
        EXPECT_TRUE(Contains(log, part)) << part;
    }
    // While attached, the device's own log got none of it.
    EXPECT_FALSE(Contains(dev_.LogText(), "QXSerial: Write"));
    ui.Close();
    EXPECT_FALSE(IsWindow(debug));
    // Detached again: the device logs where it did before.
    uint8_t bytes[256];
    EXPECT_EQ(dev_.device().ReadBlock(bytes, sizeof bytes, 0, 0, nullptr), qx::VR_S_OK);
    EXPECT_TRUE(Contains(dev_.LogText(), "QXSerial: Write"));
}

// Works the key-combination dialog: a reserved combination is refused, then Ctrl+Shift+F5 is
// taken.
void ChooseShortcut(const StandIn& ui) {
    ui.Click(kShortcutButton);
    HWND dialog = WaitForDialog(qx::kKeyComboTitle);
    ASSERT_NE(dialog, nullptr);
    SetForegroundWindow(dialog);
    WaitUntil([&] { return GetForegroundWindow() == dialog; }, 2000);
    Chord({VK_CONTROL, 'C'});
    ASSERT_TRUE(WaitUntil(
        [&] { return Contains(TextOf(GetDlgItem(dialog, qx::kKeyComboTextId)), " + C"); }));
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    HWND refused = WaitForDialog(qx::kKeyComboRefusedCaption);
    ASSERT_NE(refused, nullptr) << "Ctrl+C is reserved";
    PostMessageA(refused, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(refused); }));
    SetForegroundWindow(dialog);
    WaitUntil([&] { return GetForegroundWindow() == dialog; }, 2000);
    Chord({VK_CONTROL, VK_SHIFT, VK_F5});
    ASSERT_TRUE(
        WaitUntil([&] { return Contains(TextOf(GetDlgItem(dialog, qx::kKeyComboTextId)), "F5"); }));
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
}

void NameDevice(const StandIn& ui, const char* name) {
    ui.Click(kNameButton);
    HWND prompt = WaitForDialog("Name the device");
    ASSERT_NE(prompt, nullptr);
    SetDlgItemTextA(prompt, qx::kTextPromptEditId, name);
    PostMessageA(prompt, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }));
}

TEST_F(StandInWindow, KeepsItsStateInTheSettingsBlock) {
    const std::string file = File("kept.bin");
    dev_.sim().WriteMemory(qxsim::kSpace2, 0, Pattern(image_, 11));
    {
        StandIn ui;
        ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
        SetWindowPos(ui.window(), nullptr, 123, 77, 610, 500, SWP_NOZORDER | SWP_NOACTIVATE);
        ui.SetText(kReadPath, file);
        EXPECT_TRUE(Contains(ui.Run(kReadButton), "VR_S_OK"));
        NameDevice(ui, "Bench Kelby");
        EXPECT_TRUE(Contains(ui.Text(kInfoText), "Name: Bench Kelby"));
        ChooseShortcut(ui);
        EXPECT_TRUE(Contains(ui.Text(kShortcutText), "F5"));
        ui.Close();
    }
    Header header{};
    ASSERT_EQ(Inspect(block_.data(), &header), BlockState::Ours);
    EXPECT_EQ(header.runCount, 1u);
    const UiState kept = LoadUiState(block_.data());
    EXPECT_TRUE(kept.hasPlacement);
    EXPECT_EQ(kept.placement.left, 123);
    EXPECT_EQ(kept.placement.top, 77);
    EXPECT_EQ(kept.placement.width, 610);
    EXPECT_EQ(kept.placement.height, 500);
    EXPECT_EQ(kept.lastReadFile, file);
    EXPECT_EQ(kept.deviceName, "Bench Kelby");
    EXPECT_EQ(kept.shortcut.flags, qx::kComboVirtualKey | qx::kComboCtrl | qx::kComboShift);
    EXPECT_EQ(kept.shortcut.key, VK_F5);

    // The next call starts where the last one ended, and the kept shortcut reads again.
    DeleteFileA(file.c_str());
    const std::vector<uint8_t> image = Pattern(image_, 12);
    dev_.sim().WriteMemory(qxsim::kSpace2, 0, image);
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    RECT rect{};
    GetWindowRect(ui.window(), &rect);
    EXPECT_EQ(rect.left, 123);
    EXPECT_EQ(rect.top, 77);
    EXPECT_EQ(rect.right - rect.left, 610);
    EXPECT_EQ(rect.bottom - rect.top, 500);
    EXPECT_EQ(ui.Text(kReadPath), file);
    EXPECT_TRUE(Contains(ui.Text(kInfoText), "Name: Bench Kelby"));
    EXPECT_TRUE(Contains(ui.Text(kShortcutText), "F5"));
    ui.SetText(kStatusText, "");
    SetForegroundWindow(ui.window());
    WaitUntil([&] { return GetForegroundWindow() == ui.window(); }, 2000);
    Chord({VK_CONTROL, VK_SHIFT, VK_F5});
    std::string status;
    EXPECT_TRUE(WaitUntil([&] { return Contains(status = ui.Text(kStatusText), ": VR_"); }))
        << "the shortcut started nothing";
    EXPECT_TRUE(Contains(status, "VR_S_OK")) << status;
    EXPECT_EQ(ReadBytes(file), image);
    ui.Close();
    ASSERT_EQ(Inspect(block_.data(), &header), BlockState::Ours);
    EXPECT_EQ(header.runCount, 2u);
}

// Not a check of its own: holds the window with the debug window open and its log filled
// while scripts/run-wine-tests.sh takes a screenshot (QX_UI_SHOT_READY: the file this test
// creates when the screen is ready; QX_UI_SHOT_DONE: the file the script creates when done).
TEST_F(StandInWindow, ScreenshotWithTheDebugWindow) {
    const char* ready = std::getenv("QX_UI_SHOT_READY");
    const char* done = std::getenv("QX_UI_SHOT_DONE");
    if (ready == nullptr || done == nullptr) GTEST_SKIP() << "only for the screenshot step";
    const std::string file = File("shot.bin");
    StandIn ui;
    ASSERT_TRUE(ui.Open(block_.data(), &dev_.device()));
    NameDevice(ui, "Bench Kelby");
    ui.Click(kDebugButton);
    ASSERT_TRUE(WaitUntil([&] { return FindWindowA(qx::kDebugWindowClass, nullptr) != nullptr; }));
    WriteBytes(file, Pattern(kLoggedBytes, 9));
    ui.SetText(kWritePath, file);
    EXPECT_TRUE(Contains(ui.Run(kWriteButton), "VR_S_OK"));
    Sleep(300);  // let both windows paint
    WriteBytes(ready, {'1'});
    EXPECT_TRUE(WaitUntil([&] { return Exists(done); }, 60000)) << "no screenshot taken";
    ui.Close();
}

}  // namespace
}  // namespace tarnwell
