// Runs the launcher as a process in a private sandbox: its own copy of the executable (and
// of the stand-in library, or not) in a folder, a folder of COM links, a common data folder,
// a lock folder, a current folder. POSIX only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qxtest {

struct RunResult {
    bool finished = false;  // false: killed after the time-out
    int exitCode = -1;
    std::string out;  // stdout (with stderr when merged)
    std::string err;
};

class LauncherProcess {
  public:
    LauncherProcess() = default;
    ~LauncherProcess();
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    // Starts `exe` in `cwd` with the environment changed by `env` ("" removes a variable).
    // With mergeOutput, stderr goes into the same pipe as stdout (order kept).
    bool Start(const std::string& exe, const std::filesystem::path& cwd,
               const std::map<std::string, std::string>& env, bool mergeOutput = false);
    bool Running();
    RunResult Wait(int timeoutMs);

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path Bin() const { return root_ / "bin"; }
    std::filesystem::path ComDir() const { return root_ / "com"; }
    std::filesystem::path DataDir() const { return root_ / "data"; }
    std::filesystem::path LockDir() const { return root_ / "lock"; }
    std::filesystem::path Cwd() const { return root_ / "cwd"; }
    std::filesystem::path SettingsFolder() const { return DataDir() / "Orvandel"; }
    std::filesystem::path SettingsFile() const { return SettingsFolder() / "QuillonSettings.dat"; }
    std::filesystem::path LockFile() const { return LockDir() / "QUILLONSOFTWARE.lock"; }
    std::filesystem::path Exe() const { return Bin() / "quillon"; }

    // Copies the launcher, and a library as bin/Tarnwell.dll (none when empty).
    void Install(const std::string& launcher, const std::string& library);
    // Writes a script for the stand-in; returns its path.
    std::filesystem::path Script(const std::string& name, const std::vector<std::string>& lines);
    // The environment every run gets.
    std::map<std::string, std::string> Env(const std::filesystem::path& script) const;

    RunResult Run(const std::filesystem::path& script,
                  const std::map<std::string, std::string>& extra = {}, bool merge = false);

  private:
    std::filesystem::path root_;
};

std::string ReadText(const std::filesystem::path& path);
std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<std::string> Lines(const std::string& text);
// The value after "key: " on the first line that starts with it ("" when none).
std::string Field(const std::string& report, const std::string& key);
// True when nobody holds the lock file (and it can be taken and given back at once).
bool LockIsFree(const std::filesystem::path& lockFile);

}  // namespace qxtest
