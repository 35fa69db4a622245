#include "win_process.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace qxwine {

namespace {

// The static control holding a message box's text.
constexpr int kMessageTextId = 0xFFFF;

std::string CommandLine(const std::string& exe, const std::string& args) {
    std::string line = "\"" + exe + "\"";
    if (!args.empty()) line += " " + args;
    return line;
}

struct FindContext {
    DWORD pid;
    const std::string* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto* ctx = reinterpret_cast<FindContext*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != ctx->pid || !IsWindowVisible(window)) return TRUE;
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    if (*ctx->caption != title) return TRUE;
    if (GetDlgItem(window, kMessageTextId) == nullptr) return TRUE;
    ctx->found = window;
    return FALSE;
}

}  // namespace

std::string ProgramFolder() {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, n);
    const size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : folder.substr(0, slash + 1);
}

std::string MakeTempFolder(const std::string& tag) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    std::string folder = std::string(temp) + "qx-" + tag + "-" +
                         std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount()) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

bool CopyInto(const std::string& file, const std::string& fromFolder, const std::string& toFolder) {
    return CopyFileA((fromFolder + file).c_str(), (toFolder + file).c_str(), FALSE) != 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

long long FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Outcome Run(const std::string& exe, const std::string& args, DWORD timeoutMs) {
    Outcome outcome;
    const std::string outPath = MakeTempFolder("out") + "output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return outcome;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION info{};
    std::string line = CommandLine(exe, args);
    outcome.started = CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                     nullptr, &startup, &info) != 0;
    CloseHandle(out);
    if (!outcome.started) return outcome;
    outcome.finished = WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!outcome.finished) {
        TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, 5000);
    }
    GetExitCodeProcess(info.hProcess, &outcome.exitCode);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    outcome.output = ReadFileText(outPath);
    return outcome;
}

Child::~Child() {
    if (info_.hProcess == nullptr) return;
    if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool Child::Start(const std::string& exe, const std::string& args) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string line = CommandLine(exe, args);
    return CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info_) != 0;
}

bool Child::Wait(DWORD timeoutMs, DWORD* exitCode) {
    if (info_.hProcess == nullptr) return false;
    if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(info_.hProcess, exitCode);
    return true;
}

MessageBoxSeen AnswerMessageBox(DWORD pid, const std::string& caption, DWORD timeoutMs) {
    MessageBoxSeen seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        FindContext ctx{pid, &caption, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&ctx));
        if (ctx.found != nullptr) {
            char text[512] = {};
            GetDlgItemTextA(ctx.found, kMessageTextId, text, sizeof text);
            seen.found = true;
            seen.caption = caption;
            seen.text = text;
            PostMessageA(ctx.found, WM_COMMAND, IDOK, 0);
            return seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen;
}

}  // namespace qxwine
