// The qxsim executable as a process: options, registration, signals, dump, control channel.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "host_side.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qxtest::Bytes;
using qxtest::Framed;
using qxtest::HostLine;
using Clock = std::chrono::steady_clock;

struct Process {
    pid_t pid = -1;
    int out = -1;  // stdout
    std::string pending;

    ~Process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }

    bool Spawn(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out = fds[0];
        return rc == 0;
    }

    // One line of stdout, waiting at most timeoutMs.
    std::string ReadLine(int timeoutMs = 5000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pending.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
        }
        const size_t eol = pending.find('\n');
        if (eol == std::string::npos) return {};
        std::string l = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        return l;
    }

    // Everything until end of file, waiting at most timeoutMs.
    std::string allOutput(int timeoutMs = 5000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
        }
        std::string all;
        all.swap(pending);
        return all;
    }

    // Exit status, or -1 when it did not end in time (then it is killed).
    int wait(int timeoutMs = 5000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (Clock::now() < end) {
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
};

std::vector<std::string> Words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

struct TempDir {
    TempDir() {
        path = fs::temp_directory_path() /
               ("qxsim-proc-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
    static inline int counter = 0;
};

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

TEST(QxsimProcess, HelpDocumentsEveryOption) {
    Process p;
    ASSERT_TRUE(p.Spawn({QXSIM_EXE, "--help"}));
    const std::string help = p.allOutput();
    EXPECT_EQ(p.wait(), 0);
    for (const char* opt : {"--model",
                            "--fw",
                            "--eeprom",
                            "--eeprom-id",
                            "--interface",
                            "--name",
                            "--serial",
                            "--serial-byte0",
                            "--flash-info",
                            "--tolliver-mode",
                            "--tolliver-bank",
                            "--tolliver-marker",
                            "--emulation-bank",
                            "--rw-bank",
                            "--image",
                            "--image10",
                            "--fill",
                            "--bauds",
                            "--throttle",
                            "--fault",
                            "--com",
                            "--com-dir",
                            "--link",
                            "--control",
                            "--transcript",
                            "--dump",
                            "--help",
                            "--version",
                            "config [KEY=VALUE...]",
                            "eeprom-write ADDRESS HEX",
                            "link PATH|-",
                            "QX_COM_DIR",
                            "SIGTERM",
                            "SIGUSR1"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

TEST(QxsimProcess, BadArgumentsExitWithUsageError) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"},
                                          {"--fault", "QQ:none"},
                                          {"--fw", "10"},
                                          {"--serial", "0102"},
                                          {"--model"}}) {
        Process p;
        args.insert(args.begin(), QXSIM_EXE);
        ASSERT_TRUE(p.Spawn(args));
        EXPECT_EQ(p.wait(), 2) << args[1];
    }
}

TEST(QxsimProcess, RegistersAsComAndExitsCleanlyOnSigterm) {
    TempDir dir;
    setenv("QX_COM_DIR", dir.path.c_str(), 1);
    Process p;
    ASSERT_TRUE(p.Spawn({QXSIM_EXE, "--model", "O", "--fw", "10.15", "--com", "3"}));
    unsetenv("QX_COM_DIR");
    const auto w = Words(p.ReadLine());
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0] + " " + w[1] + " " + w[2], "qxsim: ready COM3");
    const fs::path link = dir.path / "COM3";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), w[3]);

    HostLine host(link.string());
    EXPECT_EQ(host.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    host.Close();
    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(QxsimProcess, DumpAndTranscriptAfterAWrite) {
    TempDir dir;
    const std::string dump = (dir.path / "image.bin").string();
    const std::string transcript = (dir.path / "transcript.txt").string();
    Process p;
    ASSERT_TRUE(p.Spawn({QXSIM_EXE, "--model", "A", "--fw", "2.12", "--fill", "0", "--link",
                         (dir.path / "dev").string(), "--dump", dump, "--transcript", transcript}));
    const auto w = Words(p.ReadLine());
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[2], (dir.path / "dev").string());
    HostLine host(w[2]);
    const Bytes req = Framed({0x57, 0x04, 0x01, 0x00, 0xDE, 0xC0, 0xAD, 0x0B});
    EXPECT_EQ(host.Exchange(req, 1), (Bytes{'O'}));

    kill(p.pid, SIGUSR1);  // dumps and keeps running
    EXPECT_TRUE(WaitFor([&] { return fs::exists(dump); }, 3000));
    EXPECT_EQ(host.Exchange({0x56, 0x56}, 3), (Bytes{2, 12, 'A'}));

    kill(p.pid, SIGTERM);
    ASSERT_EQ(p.wait(), 0);
    std::ifstream in(dump, std::ios::binary);
    Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 0x10000u);
    EXPECT_EQ(Bytes(image.begin() + 0x100, image.begin() + 0x104), (Bytes{0xDE, 0xC0, 0xAD, 0x0B}));
    EXPECT_EQ(image[0xFF], 0);
    EXPECT_EQ(image[0x104], 0);
    std::ifstream t(transcript);
    std::string l1, l2;
    std::getline(t, l1);
    std::getline(t, l2);
    EXPECT_EQ(l1.substr(0, 21), "115200 57040100DEC0AD");
    EXPECT_NE(l1.find(" W answered"), std::string::npos);
    EXPECT_EQ(l2, "115200 5656 VV answered");
}

int ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one command and reads up to and including the final ok/error line.
std::string Command(int fd, const std::string& text) {
    const std::string line = text + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return {};
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end) {
        const size_t last = got.rfind('\n', got.size() >= 2 ? got.size() - 2 : 0);
        const std::string tail =
            got.empty() ? "" : got.substr(last == std::string::npos ? 0 : last + 1);
        if (!got.empty() && got.back() == '\n' &&
            (tail.rfind("ok", 0) == 0 || tail.rfind("error", 0) == 0))
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(QxsimProcess, ControlChannelOverTcp) {
    Process p;
    ASSERT_TRUE(p.Spawn({QXSIM_EXE, "--model", "O", "--fw", "10.15", "--control", "0"}));
    const auto w = Words(p.ReadLine());
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[2], "-");
    EXPECT_EQ(w[4], "control");
    const int fd = ConnectTo(static_cast<uint16_t>(std::stoi(w[5])));
    ASSERT_GE(fd, 0);
    HostLine host(w[3]);
    EXPECT_EQ(Command(fd, "fault VV:none@1"), "ok\n");
    EXPECT_TRUE(host.Exchange({0x56, 0x56}, 3, 300).empty());
    EXPECT_EQ(host.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(Command(fd, "transcript"), "115200 5656 VV faulted\n115200 5656 VV answered\nok 2\n");
    ASSERT_TRUE(host.SetBaud(921600));
    EXPECT_EQ(Command(fd, "speed"), "ok 921600\n");
    EXPECT_EQ(Command(fd, "unplug"), "ok\n");
    EXPECT_TRUE(host.Exchange({0x56, 0x56}, 3, 200).empty());
    const std::string replug = Command(fd, "replug");
    ASSERT_EQ(replug.rfind("ok /dev/", 0), 0u) << replug;
    HostLine again(Words(replug)[1]);
    EXPECT_EQ(again.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(Command(fd, "nonsense").rfind("error", 0), 0u);
    EXPECT_EQ(Command(fd, "quit"), "ok\n");
    close(fd);
    EXPECT_EQ(p.wait(), 0);
}

// A qxsim process with its control port open and its pty linked at DIR/COM5.
struct ControlledSim {
    TempDir dir;
    Process p;
    int fd = -1;
    std::string slave;

    explicit ControlledSim(std::vector<std::string> options = {}) {
        std::vector<std::string> args{QXSIM_EXE, "--control", "0", "--link", Link(5)};
        args.insert(args.end(), options.begin(), options.end());
        if (!p.Spawn(args)) return;
        const auto w = Words(p.ReadLine());
        if (w.size() != 6) return;
        slave = w[3];
        fd = ConnectTo(static_cast<uint16_t>(std::stoi(w[5])));
    }
    ~ControlledSim() {
        if (fd >= 0) close(fd);
    }
    std::string Link(int com) const { return (dir.path / ("COM" + std::to_string(com))).string(); }
    std::string Run(const std::string& text) const { return Command(fd, text); }
};

TEST(QxsimControl, ConfigReplacesTheDeviceOnTheSameLink) {
    ControlledSim sim({"--model", "O", "--fw", "10.15"});
    ASSERT_GE(sim.fd, 0);
    HostLine old(sim.Link(5));
    EXPECT_EQ(old.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(sim.Run("fault HR:none"), "ok\n");

    const std::string reply = sim.Run(
        "config model=A fw=2.12 fill=0 image=DEADBEEF eeprom=00112233445566778899AABBCCDDEEFF "
        "name=unused serial=450102030405060708 bauds=115200,921600 fault=VV:none@1");
    ASSERT_EQ(reply.rfind("ok /dev/", 0), 0u) << reply;
    const std::string slave = Words(reply)[1];
    EXPECT_NE(slave, sim.slave) << "a replug: a new pseudo-terminal";
    EXPECT_EQ(fs::read_symlink(sim.Link(5)).string(), slave);
    EXPECT_TRUE(old.Exchange({0x56, 0x56}, 3, 200).empty()) << "the old line is gone";

    // Everything of the old device is gone: its fault, its transcript, its memory.
    HostLine line(sim.Link(5));
    EXPECT_TRUE(line.Exchange({0x56, 0x56}, 3, 300).empty()) << "the configured fault";
    EXPECT_EQ(line.Exchange({0x56, 0x56}, 3), (Bytes{2, 12, 'A'}));
    EXPECT_EQ(line.Exchange(Framed({0x48, 0x52, 0x02, 0x00, 0x0C}), 3), Framed({0xCC, 0xDD}));
    EXPECT_EQ(sim.Run("transcript-count"), "ok 3\n");
    EXPECT_EQ(sim.Run("read 20 0 6"), "ok DEADBEEF0000\n");
    EXPECT_NE(sim.Run("state").find(" encryption=1 "), std::string::npos);  // serial byte 0 'E'
    const std::string model = sim.Run("model");
    EXPECT_EQ(model.rfind("ok letter=65 family=1 type=5 capabilities=0x1153 ", 0), 0u) << model;
    EXPECT_NE(model.find(" name=Vorrel\n"), std::string::npos) << model;
    // Speeds outside the configured set are refused.
    EXPECT_EQ(line.Exchange(Framed({0x53, 0x03}), 1), (Bytes{'?'}));

    // A digit is a letter too (Calder I); longer, a number.
    for (const char* letter : {"1", "0x31", "49"}) {
        ASSERT_EQ(sim.Run(std::string("config fw=1.40 model=") + letter).rfind("ok /dev/", 0), 0u);
        HostLine calder(sim.Link(5));
        EXPECT_EQ(calder.Exchange({0x56, 0x56}, 3), (Bytes{1, 40, '1'})) << letter;
    }

    // Without keys: the defaults, a Kelby 10.15 with any speed.
    ASSERT_EQ(sim.Run("config").rfind("ok /dev/", 0), 0u);
    HostLine kelby(sim.Link(5));
    EXPECT_EQ(kelby.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(sim.Run("transcript"), "115200 5656 VV answered\nok 1\n");
}

TEST(QxsimControl, BadConfigLeavesTheDeviceAlone) {
    ControlledSim sim({"--model", "A", "--fw", "2.12"});
    ASSERT_GE(sim.fd, 0);
    for (const char* line :
         {"config model=O colour=blue", "config fw=10", "config fw=10.300", "config serial=0102",
          "config image=ABC", "config image=XY", "config throttle=yes",
          "config model=", "config fault=QQ:none", "config model O"}) {
        EXPECT_EQ(sim.Run(line).rfind("error ", 0), 0u) << line;
    }
    EXPECT_EQ(fs::read_symlink(sim.Link(5)).string(), sim.slave);
    HostLine line(sim.Link(5));
    EXPECT_EQ(line.Exchange({0x56, 0x56}, 3), (Bytes{2, 12, 'A'}));
}

TEST(QxsimControl, MemoryEepromSpeedAndLink) {
    ControlledSim sim({"--model", "R", "--fw", "1.0", "--fill", "0"});
    ASSERT_GE(sim.fd, 0);
    struct Step {
        const char* command;
        const char* reply;
    };
    const Step steps[] = {
        {"write 20 FFFFE 0102030405", "ok\n"},  // the last three bytes fall off the end
        {"read 20 FFFFC 4", "ok 00000102\n"},
        {"write 10 10 A5", "ok\n"},
        {"read 10 F 3", "ok 00A500\n"},
        {"read 20 10 1", "ok 00\n"},         // the other space
        {"eeprom-write FFFF 1122", "ok\n"},  // wraps
        {"eeprom-read FFFF 2", "ok 1122\n"},
        {"eeprom-read 0 1", "ok 22\n"},
        {"eeprom-write 40 10203041", "ok\n"},
        {"device-speed", "ok 0\n"},
        {"write 30 0 00", nullptr},
        {"write 20 0 ABC", nullptr},
        {"write 20 0", nullptr},
        {"eeprom-write 10000 00", nullptr},
        {"eeprom-read 0 65537", nullptr},
        {"link", nullptr},
    };
    for (const Step& step : steps) {
        const std::string reply = sim.Run(step.command);
        if (step.reply != nullptr) {
            EXPECT_EQ(reply, step.reply) << step.command;
        } else {
            EXPECT_EQ(reply.rfind("error usage: ", 0), 0u) << step.command << ": " << reply;
        }
    }
    // What the control port wrote, the device reads on the line.
    HostLine line(sim.Link(5));
    EXPECT_EQ(line.Exchange(Framed({0x48, 0x52, 0x04, 0x00, 0x40}), 5),
              Framed({0x10, 0x20, 0x30, 0x41}));
    // 'S' 0: the device's own speed is 921600 from now on; the line has not moved yet.
    EXPECT_EQ(line.Exchange(Framed({0x53, 0x00}), 1), (Bytes{'O'}));
    EXPECT_EQ(sim.Run("device-speed"), "ok 921600\n");
    EXPECT_EQ(sim.Run("speed"), "ok 115200\n");
    EXPECT_EQ(sim.Run("transcript-count"), "ok 2\n");

    // The link moves; "-" drops it.
    EXPECT_EQ(sim.Run("link " + sim.Link(7)), "ok\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim.Link(5))));
    EXPECT_EQ(fs::read_symlink(sim.Link(7)).string(), sim.slave);
    EXPECT_EQ(sim.Run("link -"), "ok\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim.Link(7))));

    const std::string help = sim.Run("help");
    for (const char* name :
         {"config [KEY=VALUE...]", "write SPACE OFFSET HEX", "eeprom-read ADDRESS LENGTH",
          "eeprom-write ADDRESS HEX", "model", "device-speed", "transcript-count", "link PATH|-"})
        EXPECT_NE(help.find(std::string("\n") + name + "\n"), std::string::npos) << name;
}

TEST(QxsimProcess, ExitsWhenItsParentDies) {
    TempDir dir;
    const std::string link = (dir.path / "COM9").string();
    Process sh;
    // The shell starts qxsim in the background and ends soon after; qxsim must follow.
    ASSERT_TRUE(
        sh.Spawn({"/bin/sh", "-c", std::string(QXSIM_EXE) + " --link " + link + " & sleep 1"}));
    ASSERT_TRUE(WaitFor([&] { return fs::is_symlink(link); }, 5000));
    EXPECT_EQ(sh.wait(), 0);
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(fs::symlink_status(link)); }, 5000));
}

}  // namespace
