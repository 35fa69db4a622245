#include "com_port_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>

#include "platform/telnet_codec.h"

namespace qxtest {
namespace {

namespace tn = qx::platform::telnet;

// Raw bytes are kept for checks of the framing; bulk tests only need the decoded data.
constexpr size_t kRawLimit = 1 << 20;

#ifdef _WIN32
using Socket = SOCKET;
Socket Native(intptr_t s) {
    return static_cast<SOCKET>(s);
}
void CloseSocket(intptr_t s) {
    closesocket(Native(s));
}
#else
using Socket = int;
Socket Native(intptr_t s) {
    return static_cast<int>(s);
}
void CloseSocket(intptr_t s) {
    close(Native(s));
}
#endif

// Readable within ms?
bool Readable(intptr_t s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Native(s), &set);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    return select(static_cast<int>(Native(s)) + 1, &set, nullptr, nullptr, &wait) > 0;
}

std::string Hex(const uint8_t* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    return text;
}

}  // namespace

struct ComPortServer::Parser {
    explicit Parser(bool agree)
        : options(
              {tn::kOptionBinary, tn::kOptionSuppressGoAhead},
              agree
                  ? std::initializer_list<uint8_t>{tn::kOptionBinary, tn::kOptionSuppressGoAhead,
                                                   tn::kOptionComPort}
                  : std::initializer_list<uint8_t>{tn::kOptionBinary, tn::kOptionSuppressGoAhead}) {
    }
    tn::Decoder decoder;
    tn::Options options;
};

ComPortServer::ComPortServer(const Behaviour& behaviour) : behaviour_(behaviour) {
#ifdef _WIN32
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
#else
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseSocket(static_cast<intptr_t>(s));
        return;
    }
    port_ = ntohs(address.sin_port);
    listener_ = static_cast<intptr_t>(s);
    thread_ = std::thread([this] { Serve(); });
}

ComPortServer::~ComPortServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != kNone) CloseSocket(listener_);
    delete parser_;
}

std::string ComPortServer::Url() const {
    return std::string(behaviour_.telnet ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(port_);
}

void ComPortServer::Serve() {
    while (!stop_) {
        if (!Readable(listener_, 20)) continue;
        const Socket accepted = accept(Native(listener_), nullptr, nullptr);
#ifdef _WIN32
        if (accepted == INVALID_SOCKET) continue;
#else
        if (accepted < 0) continue;
#endif
        {
            std::lock_guard<std::mutex> lock(mutex_);
            client_ = static_cast<intptr_t>(accepted);
            delete parser_;
            parser_ = new Parser(behaviour_.agree);
            cut_ = false;
        }
        changed_.notify_all();
        uint8_t buffer[65536];
        while (!stop_ && !cut_) {
            if (paused_ || !Readable(client_, 20)) {
                if (paused_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            const int n = static_cast<int>(
                recv(Native(client_), reinterpret_cast<char*>(buffer), sizeof buffer, 0));
            if (n <= 0) break;
            Take(buffer, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            CloseSocket(client_);
            client_ = kNone;
        }
        changed_.notify_all();
    }
}

void ComPortServer::Take(const uint8_t* bytes, size_t size) {
    Bytes replies;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t room = raw_.size() < kRawLimit ? kRawLimit - raw_.size() : 0;
        raw_.insert(raw_.end(), bytes, bytes + (size < room ? size : room));
        if (!behaviour_.telnet) {
            data_.insert(data_.end(), bytes, bytes + size);
        } else {
            std::vector<tn::Event> events;
            parser_->decoder.Feed(bytes, size, data_, events);
            for (const tn::Event& e : events) {
                if (behaviour_.silent) continue;
                if (e.kind == tn::Event::Kind::Negotiation) {
                    parser_->options.Receive(e.code, e.option, replies);
                    continue;
                }
                if (e.kind != tn::Event::Kind::Subnegotiation || e.option != tn::kOptionComPort ||
                    e.payload.empty())
                    continue;
                const uint8_t command = e.payload[0];
                const Bytes value(e.payload.begin() + 1, e.payload.end());
                commands_.push_back(Hex(e.payload.data(), e.payload.size()));
                Bytes answer;
                switch (command) {
                    case tn::kSetBaudRate: {
                        if (value.size() != 4) break;
                        const uint32_t asked = static_cast<uint32_t>(value[0]) << 24 |
                                               value[1] << 16 | value[2] << 8 | value[3];
                        if (!(asked == 0 ? behaviour_.answerQueries : behaviour_.answerChanges))
                            break;
                        if (asked != 0)
                            behaviour_.baud = behaviour_.answerBaud ? behaviour_.answerBaud : asked;
                        answer = {static_cast<uint8_t>(behaviour_.baud >> 24),
                                  static_cast<uint8_t>(behaviour_.baud >> 16),
                                  static_cast<uint8_t>(behaviour_.baud >> 8),
                                  static_cast<uint8_t>(behaviour_.baud)};
                        break;
                    }
                    case tn::kSetDataSize:
                    case tn::kSetParity:
                    case tn::kSetStopSize: {
                        if (value.size() != 1) break;
                        if (!(value[0] == 0 ? behaviour_.answerQueries : behaviour_.answerChanges))
                            break;
                        uint8_t& kept = command == tn::kSetDataSize ? behaviour_.dataSize
                                        : command == tn::kSetParity ? behaviour_.parity
                                                                    : behaviour_.stopSize;
                        if (value[0] != 0) kept = value[0];
                        answer = {kept};
                        break;
                    }
                    case tn::kPurgeData:
                        if (behaviour_.answerPurge) answer = value;
                        break;
                    default:
                        // SET-CONTROL and the rest: no answer, as ser2net on a pseudo-terminal.
                        break;
                }
                if (!answer.empty())
                    tn::AppendComPortCommand(replies,
                                             static_cast<uint8_t>(command + tn::kServerOffset),
                                             answer.data(), answer.size());
            }
        }
    }
    changed_.notify_all();
    if (!replies.empty()) SendRaw(replies);
}

ComPortServer::Bytes ComPortServer::Data() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

ComPortServer::Bytes ComPortServer::Raw() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

std::vector<std::string> ComPortServer::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

bool ComPortServer::WaitData(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return data_.size() >= count; });
}

bool ComPortServer::WaitConnected(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return client_ != kNone; });
}

void ComPortServer::PauseReading(bool paused) {
    paused_ = paused;
}

bool ComPortServer::SendRaw(const Bytes& bytes) {
    intptr_t client = kNone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = client_;
    }
    if (client == kNone) return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = static_cast<int>(send(Native(client),
                                            reinterpret_cast<const char*>(bytes.data() + sent),
                                            static_cast<int>(bytes.size() - sent), 0));
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void ComPortServer::Cut() {
    cut_ = true;
    // The serving thread closes the socket; wait until it has.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return client_ == kNone; });
}

uint32_t ComPortServer::baud() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return behaviour_.baud;
}

}  // namespace qxtest
