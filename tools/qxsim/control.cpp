#include "control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>

#include "config_keys.h"

namespace qxsim {
namespace {

constexpr size_t kMaxClients = 8;
// A config line carries whole images in hex: two 1 MiB spaces and the EEPROM fit.
constexpr size_t kMaxLine = 8u << 20;
constexpr uint32_t kMaxChunk = 65536;  // bytes per read, write or eeprom command
constexpr int kPollMs = 250;
constexpr int kSendMaxMs = 2000;

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// The words of a config line, KEY=VALUE each, over the defaults of Config.
bool ParseConfig(const std::string& args, Config& config, std::string& error) {
    std::istringstream words(args);
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "expected KEY=VALUE, got '" + word.substr(0, 40) + "'";
            return false;
        }
        if (SetConfigKey(ConfigSource::Control, word.substr(0, eq), word.substr(eq + 1), config,
                         error) != KeyResult::Set)
            return false;
    }
    return true;
}

std::string ModelLine(const ModelInfo& m) {
    std::ostringstream o;
    o << "ok letter=" << int{static_cast<uint8_t>(m.letter)} << " family=" << m.family
      << " type=" << m.type << std::hex << " capabilities=0x" << m.capabilities << " memory=0x"
      << m.memorySize << " bank-size=0x" << m.bankSize << std::dec << " banks=" << m.bankCount
      << " large-bin=" << m.largeBinBank << " address-bytes=" << m.addressBytes
      << " spaces=" << (m.twoSpaces ? 2 : 1) << " geometry=" << m.hasGeometry << " name=" << m.name
      << "\n";
    return o.str();
}

bool SendAll(int fd, const std::string& text) {
    size_t sent = 0;
    int waited = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && waited < kSendMaxMs) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 50);
            waited += 50;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ControlServer::Start(uint16_t port, std::string* error) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0 || pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error) *error = std::string("control socket: ") + std::strerror(errno);
        Stop();
        return false;
    }
    const int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 4) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (error) *error = std::string("control port: ") + std::strerror(errno);
        Stop();
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ControlServer::Stop() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char one = 1;
        if (write(wake_[1], &one, 1) < 0) {
        }
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&listen_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void ControlServer::Serve() {
    struct Client {
        int fd;
        std::string input;
    };
    std::vector<Client> clients;
    while (!stopping_) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), kPollMs) <= 0) continue;
        if (fds[0].revents) break;
        const size_t polled = clients.size();  // a client accepted now is polled next round
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0 && clients.size() < kMaxClients)
                clients.push_back({fd, {}});
            else if (fd >= 0)
                close(fd);
        }
        for (size_t i = 0; i < polled; ++i) {
            if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Client& c = clients[i];
            char buf[65536];
            const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            bool drop = n <= 0;
            if (n > 0) c.input.append(buf, static_cast<size_t>(n));
            // Whole lines were taken before: only new bytes can complete one (a long config
            // line arrives in many pieces).
            const bool newline = n > 0 && std::memchr(buf, '\n', static_cast<size_t>(n));
            size_t eol;
            while (!drop && newline && (eol = c.input.find('\n')) != std::string::npos) {
                std::string line = c.input.substr(0, eol);
                c.input.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!SendAll(c.fd, Execute(line))) drop = true;
            }
            if (c.input.size() > kMaxLine) drop = true;
            if (drop) {
                close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const auto& c : clients) close(c.fd);
}

std::string ControlServer::Execute(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    std::getline(in >> std::ws, arg);
    std::string error;

    if (cmd == "fault") {
        return sim_.AddFault(arg, &error) ? "ok\n" : "error " + error + "\n";
    }
    if (cmd == "clear-faults") {
        sim_.ClearFaults();
        return "ok\n";
    }
    if (cmd == "transcript") {
        std::string out;
        const auto entries = sim_.Transcript();
        for (const auto& e : entries) out += FormatTranscriptEntry(e) + "\n";
        return out + "ok " + std::to_string(entries.size()) + "\n";
    }
    if (cmd == "clear-transcript") {
        sim_.ClearTranscript();
        return "ok\n";
    }
    if (cmd == "dump") {
        if (arg.empty()) return "error dump needs a file name\n";
        return sim_.Dump(arg, &error) ? "ok\n" : "error " + error + "\n";
    }
    if (cmd == "unplug") return sim_.Unplug() ? "ok\n" : "error unplug failed\n";
    if (cmd == "replug")
        return sim_.Replug(&error) ? "ok " + sim_.SlavePath() + "\n" : "error " + error + "\n";
    if (cmd == "speed") return "ok " + std::to_string(sim_.LineBaud()) + "\n";
    if (cmd == "state") {
        const DeviceState s = sim_.State();
        std::ostringstream o;
        o << "ok plugged=" << s.plugged << " line=" << s.lineBaud << " device=" << s.deviceBaud
          << " index=" << s.deviceSpeedIndex << " emulation=" << int{s.emulationBank}
          << " rw=" << int{s.readWriteBank} << " encryption=" << s.encryptionOn
          << " slave=" << sim_.SlavePath() << "\n";
        return o.str();
    }
    if (cmd == "read") {
        unsigned space = 0, offset = 0, length = 0;
        std::istringstream a(arg);
        a >> std::hex >> space >> offset >> std::dec >> length;
        if (!a || length > 65536 || (space != kSpace1 && space != kSpace2))
            return "error usage: read SPACE(10|20) OFFSET(hex) LENGTH(<=65536)\n";
        return "ok " + Hex(sim_.ReadMemory(static_cast<uint8_t>(space), offset, length)) + "\n";
    }
    if (cmd == "write" || cmd == "eeprom-write") {
        const bool memory = cmd == "write";
        unsigned space = kSpace2, offset = 0;
        std::string data;
        std::istringstream a(arg);
        if (memory) a >> std::hex >> space;
        a >> std::hex >> offset >> data;
        std::vector<uint8_t> bytes;
        if (!a || (space != kSpace1 && space != kSpace2) || (!memory && offset > 0xFFFF) ||
            !Unhex(data, bytes) || bytes.empty() || bytes.size() > kMaxChunk)
            return memory ? "error usage: write SPACE(10|20) OFFSET(hex) HEX(1..65536 bytes)\n"
                          : "error usage: eeprom-write ADDRESS(hex, <=FFFF) HEX(1..65536 bytes)\n";
        if (memory)
            sim_.WriteMemory(static_cast<uint8_t>(space), offset, bytes);
        else
            sim_.WriteEeprom(static_cast<uint16_t>(offset), bytes);
        return "ok\n";
    }
    if (cmd == "eeprom-read") {
        unsigned address = 0, length = 0;
        std::istringstream a(arg);
        a >> std::hex >> address >> std::dec >> length;
        if (!a || address > 0xFFFF || length > kMaxChunk)
            return "error usage: eeprom-read ADDRESS(hex, <=FFFF) LENGTH(<=65536)\n";
        const std::vector<uint8_t> eeprom = sim_.Eeprom();
        std::vector<uint8_t> bytes(length);
        for (unsigned i = 0; i < length; ++i) bytes[i] = eeprom[(address + i) % eeprom.size()];
        return "ok " + Hex(bytes) + "\n";
    }
    if (cmd == "config") {
        Config config;
        if (!ParseConfig(arg, config, error)) return "error " + error + "\n";
        return sim_.Reconfigure(config, &error) ? "ok " + sim_.SlavePath() + "\n"
                                                : "error " + error + "\n";
    }
    if (cmd == "model") return ModelLine(sim_.Model());
    if (cmd == "device-speed") return "ok " + std::to_string(sim_.DeviceBaud()) + "\n";
    if (cmd == "transcript-count") return "ok " + std::to_string(sim_.Transcript().size()) + "\n";
    if (cmd == "link") {
        if (arg.empty()) return "error usage: link PATH|-\n";
        if (arg == "-") {
            sim_.RemoveLink();
            return "ok\n";
        }
        return sim_.LinkAt(arg, &error) ? "ok\n" : "error " + error + "\n";
    }
    if (cmd == "bauds") {
        std::vector<uint32_t> bauds;
        std::istringstream a(arg);
        std::string item;
        while (std::getline(a, item, ',')) {
            if (item.empty() || item == "-") continue;
            try {
                bauds.push_back(static_cast<uint32_t>(std::stoul(item)));
            } catch (...) {
                return "error bad baud list\n";
            }
        }
        sim_.SetAllowedBauds(bauds);
        return "ok\n";
    }
    if (cmd == "quit") {
        quit_ = true;
        return "ok\n";
    }
    if (cmd == "help")
        return "fault SPEC\nclear-faults\ntranscript\ntranscript-count\nclear-transcript\n"
               "dump FILE\nunplug\nreplug\nspeed\ndevice-speed\nstate\nmodel\n"
               "read SPACE OFFSET LENGTH\nwrite SPACE OFFSET HEX\neeprom-read ADDRESS LENGTH\n"
               "eeprom-write ADDRESS HEX\nbauds LIST|-\nconfig [KEY=VALUE...]\nlink PATH|-\n"
               "quit\nok\n";
    return "error unknown command: " + cmd + "\n";
}

}  // namespace qxsim
