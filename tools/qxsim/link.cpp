// The engine behind a pseudo-terminal: one service thread owns every descriptor; the API
// posts plug commands to it and reads state under the mutex.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "sim.h"

namespace qxsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdlePollMs = 250;     // bounded poll while nothing is pending
constexpr int kPartialDropMs = 100;  // silence after which a partial request is dropped
constexpr int kAmbiguousMs = 20;     // how long a plain request may still grow
constexpr int kQuietMs = 15;         // resynchronising: the line must be this quiet
constexpr int kDrainMaxMs = 1000;
constexpr int kWriteMaxMs = 5000;  // plus the wire time when throttled
constexpr int kCommandWaitMs = 5000;
constexpr int kUnplugDrainMs = 500;  // at most, for the PC to read a partial reply

int MsUntil(Clock::time_point t) {
    const auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return static_cast<int>(std::max<long long>(0, d.count()));
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

struct Simulator::Impl {
    explicit Impl(const Config& c) : engine(c), throttle(c.throttle) {}

    mutable std::mutex m;
    mutable std::condition_variable changed;  // transcript grew, command done
    Engine engine;
    std::atomic<bool> throttle;

    int master = -1;  // owned by the service thread once it runs
    int slave = -1;
    std::string slavePath;
    std::string linkPath;
    int wake[2] = {-1, -1};
    std::thread thread;
    bool running = false;
    std::atomic<bool> stopping{false};
    unsigned plugEvents = 0;

    enum class Command { None, Unplug, Replug, Reconfigure };
    Command command = Command::None;
    Config nextConfig;  // for Reconfigure
    bool commandResult = false;
    std::string commandError;
    unsigned commandSeq = 0;

    bool replugPending = false;
    Clock::time_point replugAt;

    enum class Pending { None, NeedMore, Ambiguous };
    Pending pending = Pending::None;
    Clock::time_point lastInput;
    Clock::time_point requestStart;

    // --- pty management (call with m held) ---
    bool OpenPty(std::string* error) {
        int mfd = posix_openpt(O_RDWR | O_NOCTTY);
        if (mfd < 0 || grantpt(mfd) != 0 || unlockpt(mfd) != 0) {
            if (error) *error = std::string("posix_openpt: ") + std::strerror(errno);
            if (mfd >= 0) close(mfd);
            return false;
        }
        char name[128];
        if (ptsname_r(mfd, name, sizeof name) != 0) {
            if (error) *error = "ptsname failed";
            close(mfd);
            return false;
        }
        // Hold the slave open ourselves: a master read fails with EIO while no slave is open.
        int sfd = open(name, O_RDWR | O_NOCTTY);
        if (sfd < 0) {
            if (error) *error = std::string("open ") + name + ": " + std::strerror(errno);
            close(mfd);
            return false;
        }
        termios t{};
        tcgetattr(sfd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(sfd, TCSANOW, &t);
        fcntl(mfd, F_SETFL, fcntl(mfd, F_GETFL) | O_NONBLOCK);
        fcntl(mfd, F_SETFD, FD_CLOEXEC);
        fcntl(sfd, F_SETFD, FD_CLOEXEC);
        master = mfd;
        slave = sfd;
        slavePath = name;
        return true;
    }

    void ClosePty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
        master = slave = -1;
    }

    bool MakeLink(std::string* error) {
        if (linkPath.empty() || master < 0) return true;
        const std::string tmp = linkPath + ".qxsim" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(slavePath.c_str(), tmp.c_str()) != 0 ||
            rename(tmp.c_str(), linkPath.c_str()) != 0) {
            if (error) *error = "cannot link " + linkPath + ": " + std::strerror(errno);
            unlink(tmp.c_str());
            return false;
        }
        return true;
    }

    // Removes the link only while it still points at our slave.
    void DropLink() {
        if (linkPath.empty()) return;
        char target[256];
        const ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath)
            unlink(linkPath.c_str());
    }

    void DoUnplug() {
        DropLink();
        ClosePty();
        engine.PowerCycle();
        pending = Pending::None;
        ++plugEvents;
    }

    bool DoReplug(std::string* error) {
        replugPending = false;
        if (master >= 0) return true;
        if (!OpenPty(error)) return false;
        engine.PowerCycle();
        ++plugEvents;
        return MakeLink(error);
    }

    bool DoReconfigure(std::string* error) {
        if (master >= 0) DoUnplug();
        engine = Engine(nextConfig);
        throttle = nextConfig.throttle;
        nextConfig = Config{};
        return DoReplug(error);
    }

    // --- service thread ---
    void DrainWake() {
        char buf[64];
        while (read(wake[0], buf, sizeof buf) > 0) {
        }
    }

    void RunCommands() {
        std::lock_guard lock(m);
        if (command == Command::None) return;
        commandError.clear();
        if (command == Command::Unplug) {
            DoUnplug();
            commandResult = true;
        } else if (command == Command::Reconfigure) {
            commandResult = DoReconfigure(&commandError);
        } else {
            commandResult = DoReplug(&commandError);
        }
        command = Command::None;
        ++commandSeq;
        changed.notify_all();
    }

    // Sleeps until `until`, still serving plug commands; false when stopping. Sub-millisecond
    // exact: the throttle's waits are often shorter than a millisecond.
    bool PauseUntil(Clock::time_point until) {
        while (!stopping) {
            const auto left = until - Clock::now();
            if (left <= Clock::duration::zero()) return true;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec wait{static_cast<time_t>(ns / 1000000000),
                                static_cast<long>(ns % 1000000000)};
            pollfd p{wake[0], POLLIN, 0};
            if (ppoll(&p, 1, &wait, nullptr) > 0) {
                DrainWake();
                RunCommands();
            }
        }
        return false;
    }

    bool Pause(int ms) { return PauseUntil(Clock::now() + std::chrono::milliseconds(ms)); }

    // When the first `bytes` bytes of something started on the line at `start` are through.
    static Clock::time_point WireDone(Clock::time_point start, size_t bytes, uint32_t baud) {
        return start +
               std::chrono::nanoseconds(static_cast<long long>(bytes) * 10000000000LL / baud);
    }

    void SendReply(const std::vector<uint8_t>& reply) {
        int fd;
        uint32_t baud;
        {
            std::lock_guard lock(m);
            fd = master;
            baud = (throttle && slave >= 0) ? TerminalBaud(slave) : 0;
        }
        if (fd < 0 || reply.empty()) return;
        const bool paced = throttle && baud > 0;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(
                                          kWriteMaxMs + (paced ? reply.size() * 10000 / baud : 0));
        // Paced writes go out in chunks of about a millisecond of wire time, each when its
        // last byte would have arrived: never earlier than a real line delivers it.
        const size_t chunk = paced ? std::max<size_t>(1, baud / 10000) : reply.size();
        size_t sent = 0;
        while (sent < reply.size() && !stopping && Clock::now() < deadline) {
            const size_t n = std::min(chunk, reply.size() - sent);
            if (paced) {
                const auto due = WireDone(start, sent + n, baud);
                if (Clock::now() < due) std::this_thread::sleep_until(due);
            }
            const ssize_t w = write(fd, reply.data() + sent, n);
            if (w > 0) {
                sent += static_cast<size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, std::max(1, std::min(100, MsUntil(deadline))));
            }
        }
        if (paced) PauseUntil(WireDone(start, sent, baud));
    }

    // Drops input until the line has been quiet for a moment (bounded).
    void DrainUntilQuiet() {
        int fd;
        {
            std::lock_guard lock(m);
            fd = master;
        }
        if (fd < 0) return;
        const auto limit = Clock::now() + std::chrono::milliseconds(kDrainMaxMs);
        uint8_t buf[4096];
        while (!stopping && Clock::now() < limit) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kQuietMs) <= 0) return;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return;
            std::lock_guard lock(m);
            engine.AppendDiscarded(buf, static_cast<size_t>(n));
        }
    }

    void Perform(const Action& a) {
        if (a.discardUntilQuiet) DrainUntilQuiet();
        if (a.delayMs && !Pause(static_cast<int>(a.delayMs))) return;
        if (throttle && !a.reply.empty()) {
            // The request's own wire time: the host cannot be slowed, the reply can.
            size_t requestBytes = 0;
            uint32_t baud = 0;
            {
                std::lock_guard lock(m);
                if (!engine.Transcript().empty()) {
                    requestBytes = engine.Transcript().back().bytes.size();
                    baud = engine.Transcript().back().baud;
                }
            }
            if (baud > 0 && !PauseUntil(WireDone(requestStart, requestBytes, baud))) return;
        }
        SendReply(a.reply);
        if (a.unplug) {
            // Closing the master discards what the PC has not read yet; give it a moment.
            const auto limit = Clock::now() + std::chrono::milliseconds(kUnplugDrainMs);
            int queued = 0;
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::lock_guard lock(m);
                if (slave < 0 || ioctl(slave, FIONREAD, &queued) != 0) queued = 0;
            } while (queued > 0 && Clock::now() < limit && !stopping);
            std::lock_guard lock(m);
            DoUnplug();
            if (a.replugAfterMs >= 0) {
                replugPending = true;
                replugAt = Clock::now() + std::chrono::milliseconds(a.replugAfterMs);
            }
            changed.notify_all();
        }
    }

    void Process(bool settled) {
        for (;;) {
            Action action;
            Engine::Step step;
            {
                std::lock_guard lock(m);
                step = engine.Next(action, settled);
                changed.notify_all();
            }
            settled = false;
            switch (step) {
                case Engine::Step::Idle:
                    pending = Pending::None;
                    return;
                case Engine::Step::NeedMore:
                    pending = Pending::NeedMore;
                    return;
                case Engine::Step::Ambiguous:
                    pending = Pending::Ambiguous;
                    return;
                case Engine::Step::Act:
                    pending = Pending::None;
                    Perform(action);
                    if (stopping) return;
                    break;
            }
        }
    }

    void Serve() {
        std::vector<uint8_t> buf(65536);
        while (!stopping) {
            RunCommands();
            int fd, sfd;
            {
                std::lock_guard lock(m);
                fd = master;
                sfd = slave;
            }
            int timeout = kIdlePollMs;
            if (pending == Pending::NeedMore)
                timeout = MsUntil(lastInput + std::chrono::milliseconds(kPartialDropMs));
            if (pending == Pending::Ambiguous)
                timeout = MsUntil(lastInput + std::chrono::milliseconds(kAmbiguousMs));
            if (replugPending) timeout = std::min(timeout, MsUntil(replugAt));

            pollfd p[2] = {{wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
            const int r = poll(p, fd >= 0 ? 2 : 1, timeout);
            if (stopping) break;
            if (r > 0 && (p[0].revents & POLLIN)) {
                DrainWake();
                continue;
            }
            if (r > 0 && fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = read(fd, buf.data(), buf.size());
                if (n > 0) {
                    const uint32_t baud = TerminalBaud(sfd);
                    const auto now = Clock::now();
                    {
                        std::lock_guard lock(m);
                        if (engine.Pending() == 0) requestStart = now;
                        engine.Feed(buf.data(), static_cast<size_t>(n), baud);
                    }
                    lastInput = now;
                    Process(false);
                } else {
                    Pause(10);  // EIO without a slave: cannot happen while we hold one
                }
                continue;
            }
            if (r == 0) {
                if (replugPending && MsUntil(replugAt) == 0) {
                    std::lock_guard lock(m);
                    std::string ignored;
                    DoReplug(&ignored);
                    changed.notify_all();
                }
                if (pending == Pending::Ambiguous) {
                    Process(true);
                } else if (pending == Pending::NeedMore &&
                           MsUntil(lastInput + std::chrono::milliseconds(kPartialDropMs)) == 0) {
                    std::lock_guard lock(m);
                    engine.DropPartial();
                    pending = Pending::None;
                    changed.notify_all();
                }
            }
        }
    }

    bool Post(Command c, std::string* error) {
        std::unique_lock lock(m);
        if (!running) {
            // No thread: act directly.
            if (c == Command::Unplug) {
                DoUnplug();
                return true;
            }
            return c == Command::Reconfigure ? DoReconfigure(error) : DoReplug(error);
        }
        command = c;
        const unsigned seq = commandSeq;
        const char one = 1;
        if (write(wake[1], &one, 1) < 0) {
        }
        if (!changed.wait_for(lock, std::chrono::milliseconds(kCommandWaitMs),
                              [&] { return commandSeq != seq; })) {
            if (error) *error = "simulator thread did not respond";
            return false;
        }
        if (!commandResult && error) *error = commandError;
        return commandResult;
    }
};

Simulator::Simulator(const Config& config) : impl_(std::make_unique<Impl>(config)) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string* error) {
    std::lock_guard lock(impl_->m);
    if (impl_->running) return true;
    if (pipe2(impl_->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error) *error = "pipe failed";
        return false;
    }
    if (!impl_->OpenPty(error)) {
        close(impl_->wake[0]);
        close(impl_->wake[1]);
        impl_->wake[0] = impl_->wake[1] = -1;
        return false;
    }
    if (!impl_->MakeLink(error)) {  // a link asked for before the start
        impl_->ClosePty();
        close(impl_->wake[0]);
        close(impl_->wake[1]);
        impl_->wake[0] = impl_->wake[1] = -1;
        return false;
    }
    impl_->stopping = false;
    impl_->running = true;
    impl_->thread = std::thread([this] { impl_->Serve(); });
    return true;
}

void Simulator::Stop() {
    {
        std::lock_guard lock(impl_->m);
        if (!impl_->running) {
            impl_->DropLink();
            impl_->ClosePty();
            return;
        }
        impl_->stopping = true;
        const char one = 1;
        if (write(impl_->wake[1], &one, 1) < 0) {
        }
    }
    impl_->thread.join();
    std::lock_guard lock(impl_->m);
    impl_->running = false;
    impl_->DropLink();
    impl_->ClosePty();
    close(impl_->wake[0]);
    close(impl_->wake[1]);
    impl_->wake[0] = impl_->wake[1] = -1;
}

bool Simulator::Running() const {
    std::lock_guard lock(impl_->m);
    return impl_->running;
}

std::string Simulator::SlavePath() const {
    std::lock_guard lock(impl_->m);
    return impl_->slavePath;
}

bool Simulator::LinkAsCom(int number, const std::string& comDir, std::string* error) {
    std::string dir = comDir;
    if (dir.empty()) {
        const char* env = std::getenv("QX_COM_DIR");
        if (!env || !*env) {
            if (error) *error = "QX_COM_DIR is not set";
            return false;
        }
        dir = env;
    }
    return LinkAt(dir + "/COM" + std::to_string(number), error);
}

bool Simulator::LinkAt(const std::string& path, std::string* error) {
    std::lock_guard lock(impl_->m);
    impl_->DropLink();
    impl_->linkPath = path;
    return impl_->MakeLink(error);
}

std::string Simulator::LinkPath() const {
    std::lock_guard lock(impl_->m);
    return impl_->linkPath;
}

void Simulator::RemoveLink() {
    std::lock_guard lock(impl_->m);
    impl_->DropLink();
    impl_->linkPath.clear();
}

std::vector<uint8_t> Simulator::Memory(uint8_t space) const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.Memory(space);
}

std::vector<uint8_t> Simulator::ReadMemory(uint8_t space, uint32_t offset, size_t length) const {
    std::lock_guard lock(impl_->m);
    const auto& mem = impl_->engine.Memory(space);
    std::vector<uint8_t> out(length, 0xFF);
    for (size_t i = 0; i < length && offset + i < mem.size(); ++i) out[i] = mem[offset + i];
    return out;
}

void Simulator::WriteMemory(uint8_t space, uint32_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(impl_->m);
    auto& mem = impl_->engine.Memory(space);
    for (size_t i = 0; i < bytes.size() && offset + i < mem.size(); ++i) mem[offset + i] = bytes[i];
}

std::vector<uint8_t> Simulator::Eeprom() const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.Eeprom();
}

void Simulator::WriteEeprom(uint16_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(impl_->m);
    auto& e = impl_->engine.Eeprom();
    for (size_t i = 0; i < bytes.size(); ++i) e[(address + i) & 0xFFFF] = bytes[i];
}

ModelInfo Simulator::Model() const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.Model();
}

DeviceState Simulator::State() const {
    std::lock_guard lock(impl_->m);
    DeviceState s;
    s.plugged = impl_->master >= 0;
    s.lineBaud = impl_->slave >= 0 ? TerminalBaud(impl_->slave) : 0;
    s.deviceBaud = impl_->engine.DeviceBaud();
    s.deviceSpeedIndex = impl_->engine.DeviceSpeedIndex();
    s.emulationBank = impl_->engine.EmulationBank();
    s.readWriteBank = impl_->engine.ReadWriteBank();
    s.encryptionOn = impl_->engine.EncryptionOn();
    return s;
}

bool Simulator::Dump(const std::string& path, std::string* error) const {
    std::vector<uint8_t> main, second, eeprom;
    {
        std::lock_guard lock(impl_->m);
        main = impl_->engine.Memory(kSpace2);
        if (impl_->engine.Model().twoSpaces) second = impl_->engine.Memory(kSpace1);
        eeprom = impl_->engine.Eeprom();
    }
    if (!WriteFile(path, main, error)) return false;
    if (!second.empty() && !WriteFile(path + ".10", second, error)) return false;
    return WriteFile(path + ".eeprom", eeprom, error);
}

std::vector<TranscriptEntry> Simulator::Transcript() const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.Transcript();
}

void Simulator::ClearTranscript() {
    std::lock_guard lock(impl_->m);
    impl_->engine.Transcript().clear();
}

bool Simulator::WaitForTranscript(size_t count, int timeoutMs) const {
    std::unique_lock lock(impl_->m);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->engine.Transcript().size() >= count; });
}

void Simulator::AddFault(const Fault& fault) {
    std::lock_guard lock(impl_->m);
    impl_->engine.AddFault(fault);
}

bool Simulator::AddFault(std::string_view spec, std::string* error) {
    Fault f;
    if (!ParseFault(spec, f, error)) return false;
    AddFault(f);
    return true;
}

void Simulator::ClearFaults() {
    std::lock_guard lock(impl_->m);
    impl_->engine.ClearFaults();
}

void Simulator::SetAllowedBauds(std::vector<uint32_t> bauds) {
    std::lock_guard lock(impl_->m);
    impl_->engine.SetAllowedBauds(std::move(bauds));
}

void Simulator::SetThrottle(bool on) {
    std::lock_guard lock(impl_->m);
    impl_->throttle = on;
}

bool Simulator::Unplug() {
    return impl_->Post(Impl::Command::Unplug, nullptr);
}

bool Simulator::Replug(std::string* error) {
    return impl_->Post(Impl::Command::Replug, error);
}

bool Simulator::Reconfigure(const Config& config, std::string* error) {
    {
        std::lock_guard lock(impl_->m);
        impl_->nextConfig = config;
    }
    return impl_->Post(Impl::Command::Reconfigure, error);
}

bool Simulator::Plugged() const {
    std::lock_guard lock(impl_->m);
    return impl_->master >= 0;
}

unsigned Simulator::ReplugCount() const {
    std::lock_guard lock(impl_->m);
    return impl_->plugEvents;
}

uint32_t Simulator::LineBaud() const {
    std::lock_guard lock(impl_->m);
    return impl_->slave >= 0 ? TerminalBaud(impl_->slave) : 0;
}

uint32_t Simulator::DeviceBaud() const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.DeviceBaud();
}

int Simulator::DeviceSpeedIndex() const {
    std::lock_guard lock(impl_->m);
    return impl_->engine.DeviceSpeedIndex();
}

}  // namespace qxsim
