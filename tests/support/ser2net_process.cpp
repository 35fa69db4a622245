#include "ser2net_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace qxtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;
constexpr int kListenWaitMs = 5000;

// A port of 127.0.0.1 nobody listens on right now.
uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Ser2netPaths() {
    return {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"};
}

std::string Ser2netPath() {
    for (const std::string& path : Ser2netPaths())
        if (access(path.c_str(), X_OK) == 0) return path;
    return {};
}

}  // namespace

bool HaveSer2net() {
    return !Ser2netPath().empty();
}

Ser2net::~Ser2net() {
    Stop();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string Ser2net::Url() const {
    return std::string(telnet_ ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

bool Ser2net::Start(const std::string& device, const Options& options) {
    Stop();
    const std::string program = Ser2netPath();
    if (program.empty()) {
        error_ = "ser2net is not installed (Debian package ser2net; scripts/install-deps.sh)";
        return false;
    }
    if (folder_.empty()) {
        char pattern[] = "/tmp/qxser2net-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error_ = "mkdtemp failed";
            return false;
        }
        folder_ = pattern;
    }
    telnet_ = options.telnet;
    const std::string file = folder_ + "/ser2net.yaml";
    const std::string log = folder_ + "/ser2net.log";
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        port_ = FreePort();
        if (port_ == 0) {
            error_ = "no free port on 127.0.0.1";
            return false;
        }
        // Only the loopback address; no lock files, so a killed server leaves nothing behind.
        const std::string tcp = options.nodelay ? "tcp(nodelay)" : "tcp";
        config_ = "connection: &qxtest\n  accepter: " +
                  std::string(options.telnet ? "telnet(rfc2217)," : "") + tcp + ",127.0.0.1," +
                  std::to_string(port_) + "\n  connector: serialdev(nouucplock=true)," + device +
                  "," + options.line +
                  ",local\n  options:\n    chardelay: " + (options.chardelay ? "true" : "false") +
                  "\n";
        std::ofstream(file, std::ios::trunc) << config_;

        std::vector<std::string> args = {program, "-n", "-c", file, "-P", folder_ + "/ser2net.pid"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        // A test runner may block signals; the server must answer SIGTERM.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error_ = "cannot start " + program;
            return false;
        }
        const auto end = Clock::now() + std::chrono::milliseconds(kListenWaitMs);
        while (Clock::now() < end) {
            if (Listening()) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        error_ = "ser2net did not listen on port " + std::to_string(port_) + ": " + ReadText(log);
        Stop();
    }
    return false;
}

// The kernel's table of TCP sockets: 127.0.0.1:port in state LISTEN (0A).
bool Ser2net::Listening() const {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port_);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") return true;
    }
    return false;
}

void Ser2net::Reap(int signal, int waitMs) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (Clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

void Ser2net::Kill() {
    Reap(SIGKILL, 5000);
}

void Ser2net::Stop() {
    Reap(SIGTERM, 3000);
}

}  // namespace qxtest
