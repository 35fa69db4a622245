// Child processes and their message boxes, for the end-to-end tests that run the Windows
// programs of this build (under Wine) the way a user would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qxwine {

// The folder of this test executable, with a trailing backslash: the programs under test are
// built beside it.
std::string ProgramFolder();
// A fresh, empty folder under the temporary folder (trailing backslash).
std::string MakeTempFolder(const std::string& tag);
bool CopyInto(const std::string& file, const std::string& fromFolder, const std::string& toFolder);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string ReadFileText(const std::string& path);
// Size in bytes, -1 when missing.
long long FileSize(const std::string& path);

struct Outcome {
    bool started = false;
    bool finished = false;  // false: still running at the time-out (then terminated)
    DWORD exitCode = 0;
    std::string output;  // standard output and error together
};

// Runs `exe args` to its end, at most timeoutMs, with its output captured.
Outcome Run(const std::string& exe, const std::string& args, DWORD timeoutMs);

// A started program that the test waits for later (a GUI program, for instance).
class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Start(const std::string& exe, const std::string& args = "");
    DWORD pid() const { return info_.dwProcessId; }
    // True when it ended within timeoutMs; its status in *exitCode.
    bool Wait(DWORD timeoutMs, DWORD* exitCode);

  private:
    PROCESS_INFORMATION info_{};
};

struct MessageBoxSeen {
    bool found = false;
    std::string caption;
    std::string text;
};

// Waits for a message box of process `pid` with this caption, reads its text and presses
// its OK button.
MessageBoxSeen AnswerMessageBox(DWORD pid, const std::string& caption, DWORD timeoutMs);

}  // namespace qxwine
