#include "control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

namespace qxsim {
namespace {

constexpr size_t kMaxClients = 8;
constexpr size_t kMaxLine = 4096;
constexpr int kPollMs = 250;
constexpr int kSendMaxMs = 2000;

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool sendAll(int fd, const std::string& text) {
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

bool ControlServer::start(uint16_t port, std::string* error) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0 || pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error) *error = std::string("control socket: ") + std::strerror(errno);
        stop();
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
        stop();
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void ControlServer::stop() {
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

void ControlServer::serve() {
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
            char buf[1024];
            const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            bool drop = n <= 0;
            if (n > 0) c.input.append(buf, static_cast<size_t>(n));
            size_t eol;
            while (!drop && (eol = c.input.find('\n')) != std::string::npos) {
                std::string line = c.input.substr(0, eol);
                c.input.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!sendAll(c.fd, execute(line))) drop = true;
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

std::string ControlServer::execute(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    std::getline(in >> std::ws, arg);
    std::string error;

    if (cmd == "fault") {
        return sim_.addFault(arg, &error) ? "ok\n" : "error " + error + "\n";
    }
    if (cmd == "clear-faults") {
        sim_.clearFaults();
        return "ok\n";
    }
    if (cmd == "transcript") {
        std::string out;
        const auto entries = sim_.transcript();
        for (const auto& e : entries) out += formatTranscriptEntry(e) + "\n";
        return out + "ok " + std::to_string(entries.size()) + "\n";
    }
    if (cmd == "clear-transcript") {
        sim_.clearTranscript();
        return "ok\n";
    }
    if (cmd == "dump") {
        if (arg.empty()) return "error dump needs a file name\n";
        return sim_.dump(arg, &error) ? "ok\n" : "error " + error + "\n";
    }
    if (cmd == "unplug") return sim_.unplug() ? "ok\n" : "error unplug failed\n";
    if (cmd == "replug")
        return sim_.replug(&error) ? "ok " + sim_.slavePath() + "\n" : "error " + error + "\n";
    if (cmd == "speed") return "ok " + std::to_string(sim_.lineBaud()) + "\n";
    if (cmd == "state") {
        const DeviceState s = sim_.state();
        std::ostringstream o;
        o << "ok plugged=" << s.plugged << " line=" << s.lineBaud << " device=" << s.deviceBaud
          << " index=" << s.deviceSpeedIndex << " emulation=" << int{s.emulationBank}
          << " rw=" << int{s.readWriteBank} << " encryption=" << s.encryptionOn
          << " slave=" << sim_.slavePath() << "\n";
        return o.str();
    }
    if (cmd == "read") {
        unsigned space = 0, offset = 0, length = 0;
        std::istringstream a(arg);
        a >> std::hex >> space >> offset >> std::dec >> length;
        if (!a || length > 65536 || (space != kSpace1 && space != kSpace2))
            return "error usage: read SPACE(10|20) OFFSET(hex) LENGTH(<=65536)\n";
        return "ok " + hex(sim_.readMemory(static_cast<uint8_t>(space), offset, length)) + "\n";
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
        sim_.setAllowedBauds(bauds);
        return "ok\n";
    }
    if (cmd == "quit") {
        quit_ = true;
        return "ok\n";
    }
    if (cmd == "help")
        return "fault SPEC\nclear-faults\ntranscript\nclear-transcript\ndump FILE\nunplug\nreplug\n"
               "speed\nstate\nread SPACE OFFSET LENGTH\nbauds LIST|-\nquit\nok\n";
    return "error unknown command: " + cmd + "\n";
}

}  // namespace qxsim
