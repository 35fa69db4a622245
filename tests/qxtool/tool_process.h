// Runs the built qxtool (or qxsim) as a child process for the end-to-end tests: arguments,
// an environment with QX_COM_DIR, stdout and stderr captured apart, signals, exit status.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qxtest {

using Clock = std::chrono::steady_clock;

struct ToolResult {
    int status = -1;  // exit status; 128 + signal when killed; -1 when it had to be killed
    std::string out;
    std::string err;
    double seconds = 0;
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }

    // env: variables to set (an empty value removes the variable).
    bool Start(const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}) {
        int outPipe[2], errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<std::string> variables;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (env.count(name) == 0) variables.push_back(entry);
        }
        for (const auto& [name, value] : env)
            if (!value.empty()) variables.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& v : variables) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::vector<std::string> argCopy = args;
        std::vector<char*> argv;
        for (auto& a : argCopy) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The test runner may block signals; the child must start with a clean mask.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        started_ = Clock::now();
        const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    // Collects output until pred(out, err) holds, the pipes close, or the time is up.
    bool WaitFor(const std::function<bool(const std::string&, const std::string&)>& pred,
                 int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred(out, err)) {
            if (Clock::now() >= end || !Pump(50)) return pred(out, err);
        }
        return true;
    }

    void Signal(int signal) {
        if (pid_ > 0) kill(pid_, signal);
    }

    ToolResult Finish(int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end && Pump(50)) {
        }
        ToolResult result;
        int status = 0;
        while (pid_ > 0) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                break;
            }
            if (Clock::now() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                result.status = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        result.out = out;
        result.err = err;
        return result;
    }

    std::string out;
    std::string err;

  private:
    // Reads what is there; false once both pipes are closed.
    bool Pump(int waitMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        int open = 0;
        for (auto& f : fds) {
            if (f.fd >= 0)
                ++open;
            else
                f.events = 0;
        }
        if (open == 0) return false;
        if (poll(fds, 2, waitMs) <= 0) return true;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[8192];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (i == 0 ? out_ : err_) = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    Clock::time_point started_;
};

struct TempDir {
    TempDir() {
        path =
            std::filesystem::temp_directory_path() / ("qxtool-test-" + std::to_string(getpid()) +
                                                      "-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace qxtest
