#include "launcher_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace qxtest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

LauncherProcess::~LauncherProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

bool LauncherProcess::Start(const std::string& exe, const fs::path& cwd,
                            const std::map<std::string, std::string>& env, bool mergeOutput) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const size_t eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env) {
        if (value.empty())
            vars.erase(key);
        else
            vars[key] = value;
    }
    std::vector<std::string> envText;
    for (const auto& [key, value] : vars) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, mergeOutput ? outPipe[1] : errPipe[1], 2);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    std::string arg0 = exe;
    char* argv[] = {arg0.data(), nullptr};
    const int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
}

bool LauncherProcess::Running() {
    if (pid_ <= 0) return false;
    // Looks without reaping, so that Wait still gets the exit status.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

RunResult LauncherProcess::Wait(int timeoutMs) {
    RunResult result;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = out_ >= 0, errOpen = err_ >= 0;
    while ((outOpen || errOpen) && Clock::now() < end) {
        pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
        if (poll(fds, 2, 50) <= 0) continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
    }
    int status = 0;
    pid_t done = 0;
    while (pid_ > 0 && (done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < end)
        usleep(10000);
    if (pid_ > 0 && done == pid_) {
        result.finished = true;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
    return result;
}

Sandbox::Sandbox() {
    char templ[] = "/tmp/qx-launcher-XXXXXX";
    if (mkdtemp(templ) != nullptr) root_ = templ;
    for (const fs::path& dir : {Bin(), ComDir(), DataDir(), LockDir(), Cwd()})
        fs::create_directories(dir);
}

Sandbox::~Sandbox() {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
}

void Sandbox::Install(const std::string& launcher, const std::string& library) {
    fs::copy_file(launcher, Exe(), fs::copy_options::overwrite_existing);
    fs::remove(Bin() / "Tarnwell.dll");
    if (!library.empty()) fs::copy_file(library, Bin() / "Tarnwell.dll");
}

fs::path Sandbox::Script(const std::string& name, const std::vector<std::string>& lines) {
    const fs::path path = root_ / name;
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
    return path;
}

std::map<std::string, std::string> Sandbox::Env(const fs::path& script) const {
    return {{"QX_COM_DIR", ComDir()},   {"QX_COMMON_APPDATA", DataDir()},
            {"QX_LOCK_DIR", LockDir()}, {"QX_UI_SCRIPT", script.string()},
            {"NO_COLOR", ""},           {"CLICOLOR_FORCE", ""}};
}

RunResult Sandbox::Run(const fs::path& script, const std::map<std::string, std::string>& extra,
                       bool merge) {
    auto env = Env(script);
    for (const auto& [k, v] : extra) env[k] = v;
    LauncherProcess process;
    if (!process.Start(Exe(), Cwd(), env, merge)) return {};
    return process.Wait(60000);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string Field(const std::string& report, const std::string& key) {
    for (const std::string& line : Lines(report)) {
        if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
    }
    return {};
}

bool LockIsFree(const fs::path& lockFile) {
    const int fd = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (free) flock(fd, LOCK_UN);
    close(fd);
    return free;
}

}  // namespace qxtest
