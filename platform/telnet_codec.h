// Telnet framing (RFC 854) and the COM-PORT-OPTION commands (RFC 2217) of a network serial
// port: bytes in, bytes out, no I/O. One source for every platform.
//
// Data travels with each 0xFF doubled (IAC IAC). Everything else the server sends (option
// negotiation, subnegotiations such as the answers to COM-PORT-OPTION commands and its line
// and modem state notifications, one-byte commands) is taken out of the data stream and
// reported as an event; an IAC sequence split across two reads is completed by the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qx::platform::telnet {

inline constexpr uint8_t kIac = 0xFF;
inline constexpr uint8_t kDont = 0xFE;
inline constexpr uint8_t kDo = 0xFD;
inline constexpr uint8_t kWont = 0xFC;
inline constexpr uint8_t kWill = 0xFB;
inline constexpr uint8_t kSb = 0xFA;
inline constexpr uint8_t kNop = 0xF1;
inline constexpr uint8_t kSe = 0xF0;

inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands from the client; the server's answer or notification carries the
// same number plus kServerOffset.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kLastCommand = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t kControlNoFlow = 1;
inline constexpr uint8_t kControlXonXoff = 2;
inline constexpr uint8_t kControlHardwareFlow = 3;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;

// PURGE-DATA values: the server's buffer of bytes from the line (what this side reads), of
// bytes to the line, or both.
inline constexpr uint8_t kPurgeFromLine = 1;
inline constexpr uint8_t kPurgeToLine = 2;
inline constexpr uint8_t kPurgeBoth = 3;

// Appends `size` data bytes with every 0xFF doubled.
void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t size);
// Of `size` data bytes escaped as AppendEscaped does, how many left when the first `wireSent`
// bytes of the escaped form did: a doubled 0xFF counts once its first half has left, and
// *cutEscape then says that its second half (one 0xFF) must still be sent before anything else.
size_t DataBytesSent(const uint8_t* data, size_t size, size_t wireSent, bool* cutEscape);
// IAC verb option.
void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
void AppendComPortCommand(std::vector<uint8_t>& out, uint8_t command, const uint8_t* value,
                          size_t size);

// The wire values of the line format. Each returns false for a value the other side has
// no equivalent for.
bool ParityToWire(uint8_t dcbParity, uint8_t* wire);
bool ParityFromWire(uint8_t wire, uint8_t* dcbParity);
bool StopBitsToWire(uint8_t dcbStopBits, uint8_t* wire);
bool StopBitsFromWire(uint8_t wire, uint8_t* dcbStopBits);

struct Event {
    enum class Kind : uint8_t {
        Negotiation,     // `code` is WILL, WONT, DO or DONT; `option` the option
        Subnegotiation,  // `option` and its payload, IAC IAC undoubled
        Command,         // a one-byte command (NOP, GA, BRK, ...) in `code`
    };
    Kind kind = Kind::Command;
    uint8_t code = 0;
    uint8_t option = 0;
    bool truncated = false;  // the payload was longer than kMaxPayload; the rest was dropped
    std::vector<uint8_t> payload;
};

class Decoder {
  public:
    // Subnegotiations the port understands are a few bytes long; a longer one is cut here.
    static constexpr size_t kMaxPayload = 256;

    // Splits bytes from the wire: data is appended to `data`, everything else to `events`.
    void Feed(const uint8_t* wire, size_t size, std::vector<uint8_t>& data,
              std::vector<Event>& events);
    void Reset();

  private:
    enum class State : uint8_t { Data, Iac, Option, SubOption, Sub, SubIac };
    // One byte in any state but Data.
    void Step(uint8_t byte, std::vector<uint8_t>& data, std::vector<Event>& events);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    Event sub_;
};

// Which options each side runs, and the answers negotiation requires (RFC 1143, without the
// queue bits: an answer is sent only when an option's state changes, so two sides can never
// keep answering each other).
class Options {
  public:
    // `local`: options this side agrees to run (answers DO with WILL); `remote`: options it
    // lets the server run (answers WILL with DO). Every other request is refused.
    Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote);

    // Sends WILL / DO for an option this side wants, unless already on or asked for.
    void OfferLocal(uint8_t option, std::vector<uint8_t>& out);
    void AskRemote(uint8_t option, std::vector<uint8_t>& out);
    // A WILL/WONT/DO/DONT from the server; the answer (if one is due) is appended to `out`.
    void Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);

    bool LocalOn(uint8_t option) const { return local_[option] == State::Yes; }
    bool RemoteOn(uint8_t option) const { return remote_[option] == State::Yes; }
    // The server answered an offer of ours with DONT (or WONT to a DO).
    bool LocalRefused(uint8_t option) const { return localRefused_[option]; }

  private:
    enum class State : uint8_t { No, Asked, Yes };
    State local_[256] = {};
    State remote_[256] = {};
    bool localAllowed_[256] = {};
    bool remoteAllowed_[256] = {};
    bool localRefused_[256] = {};
};

}  // namespace qx::platform::telnet
