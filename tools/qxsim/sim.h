// qxsim: a simulated emulator/programmer on the far end of a serial line.
//
// Two layers:
//   Engine     the device itself: bytes in, bytes out, no I/O, no clock. Unit-testable.
//   Simulator  runs an Engine on a thread behind a real pseudo-terminal; the PC side opens
//              the slave (directly or through a COMn link) like a serial port.
//
// Device model (the parts the PC side cannot see, chosen here):
//   * Memory is memorySize bytes of the model (64 KiB for models without a geometry),
//     filled with Config::fill. Sarnet and Tolliver have two memory spaces, 0x10 and 0x20,
//     each a full image. In the 3-byte address form the top address byte carries the space
//     bits (0x10 selects space 0x10, anything else space 0x20) and address bits 19..16 in its
//     low nibble. Quentor: one space, 24-bit address. Every other model: space 0x20 only.
//   * 2-byte-address models: with the emulation bank equal to the model's large-bin bank
//     (Kelby/Kelby II 8, Morrow 16, ORVA/ORVA2 2) the read/write bank selects a 64 KiB
//     segment (offset = rwBank * 0x10000 + address); a read/write bank equal to the large-bin
//     bank reaches the whole memory with the full bulk address. Otherwise
//     offset = rwBank * bankSize + address. Models without a geometry have one 64 KiB window
//     that the banks do not move. Bulk requests add their full address (bits 23..8).
//   * Out-of-range bytes read as 0xFF; writes to them are dropped.
//   * Set read/write bank is accepted for bank <= bankCount, else '?'. Set emulation bank is
//     accepted for any value. Get returns the stored value. The Brannock has no get ('?').
//   * Tolliver firmware 1.0-1.5 keeps mode, bank and marker in the first three bytes of
//     space 0x20 (device address 0x200000..0x200002); later firmware at EEPROM 0x100..0x102.
//   * EEPROM: 64 KiB, addresses wrap.
//   * Encryption is on when serial byte 0 is neither 0 nor 'n'. Then both request forms are
//     accepted, told apart by length; with it off only the plain form is.
//   * Speed: the device answers a request only when the line speed is in Config::bauds (if
//     that set is not empty) and equals the device's own rate - or the device has not been
//     told a rate yet (after power-up and after a replug it follows the line). 'S' answers
//     'O' at the old rate and then the device listens at the new one; a rate outside
//     Config::bauds is refused with '?'. Requests at a wrong speed are dropped (no reply).
//   * A request with a wrong checksum gets no reply; an unknown command gets '?'.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qxsim {

// Link cipher constants shared with the PC side.
inline constexpr std::array<uint8_t, 8> kCipherKey{0x5A, 0xC3, 0x17, 0x8E, 0x42, 0xB9, 0x6D, 0xF0};
inline constexpr uint8_t kChainSeed = 0x3C;

inline constexpr uint8_t kSpace1 = 0x10;
inline constexpr uint8_t kSpace2 = 0x20;  // also the one space of single-space models

// One row of the model table as the device sees itself.
struct ModelInfo {
    char letter = 0;
    std::string name;
    int family = 0;             // command-set family; 1 = the common set
    int type = 0;               // model type 1..23 (0 for 'd')
    uint32_t capabilities = 0;  // after the firmware feature rules
    uint32_t memorySize = 0;    // bytes per memory space
    uint32_t bankSize = 0;
    int bankCount = 1;
    int largeBinBank = -1;  // -1: never in large-bin mode
    int addressBytes = 2;   // 2 or 3 in block requests
    bool twoSpaces = false;
    bool hasGeometry = false;
};

// Looks up the model for a hardware-ID letter. eepromId is byte 0 of the information record
// (an 'O' whose record starts with 'P' is a Kelby II). Unknown letters give nothing.
std::optional<ModelInfo> LookupModel(char hardwareId, uint8_t fwMajor, uint8_t fwMinor,
                                     char eepromId);

enum class FaultKind {
    NoReply,      // the request is ignored (no effect, no reply)
    ShortReply,   // only the first `param` reply bytes leave
    BadChecksum,  // the last reply byte (checksum, or the only byte) is altered
    Refuse,       // '?' instead of the reply, no effect
    Delay,        // `param` ms before the reply
    Garbage,      // `param` garbage bytes before the reply
    Unplug,       // `param` reply bytes leave, then the pseudo-terminal is closed
};

struct Fault {
    std::string command;  // "VV", "VSS", "NS", "HR", "HW", "E", "e", "S", "B", "8", "DOLI",
                          // "R", "W", "w", "X", "ZR", "ZW", or "*" for any
    FaultKind kind = FaultKind::NoReply;
    unsigned param = 0;
    unsigned occurrence = 0;  // 0: every matching request; n: only the n-th after installation
    int replugAfterMs = -1;   // Unplug: come back on a new pty after this many ms (-1: never)
};

// Spec text: KEY:KIND[=N][@OCC][,replug=MS]
//   KIND: none | short=N | badsum | refuse | delay=MS | garbage=N | unplug[=N]
// e.g. "R:short=3@2", "VV:none", "ZW:unplug=0,replug=300".
bool ParseFault(std::string_view spec, Fault& out, std::string* error = nullptr);
std::string FormatFault(const Fault& fault);

struct Config {
    char hardwareId = 'O';
    uint8_t firmwareMajor = 10;
    uint8_t firmwareMinor = 15;
    // EEPROM: whole contents from address 0 (the rest reads 0xFF). The information record
    // (7 bytes at address 1) gets these laid over it; 0 leaves the EEPROM byte as it is.
    std::vector<uint8_t> eeprom;
    char eepromDeviceId = '=';       // record byte 0; '=' means "same as hardwareId"
    char interfaceLetter = 'U';      // record byte 3: 'U', 'B' or 'S'
    std::string name = "Simulator";  // model 'S' name string
    std::array<uint8_t, 9> serial{'n', 'Q', 'X', 'S', 'I', 'M', '0', '0', '1'};  // byte 0: cipher
    std::array<uint8_t, 16> flashInfo{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
    uint8_t tolliverMode = 1;
    uint8_t tolliverBank = 0;
    uint8_t tolliverMarker = 0xAA;
    uint8_t emulationBank = 0;
    uint8_t readWriteBank = 0;
    std::vector<uint8_t> image;    // space 0x20 (the only space of most models), from offset 0
    std::vector<uint8_t> image10;  // space 0x10 (Sarnet, Tolliver)
    uint8_t fill = 0xFF;
    std::vector<uint32_t> bauds;  // line speeds it answers at; empty = any
    bool throttle = false;        // replies leave no faster than the line's baud (10 bits/byte)
    // The transcript keeps at most this many entries (0: no limit); when full, the older half
    // is dropped, so long benchmarks do not grow without end.
    size_t transcriptLimit = 100000;
    std::vector<Fault> faults;
};

enum class Outcome {
    Answered,     // normal reply
    Refused,      // '?' (unknown or unsupported command, refused parameter)
    BadChecksum,  // no reply
    WrongSpeed,   // line speed not accepted: dropped, no reply
    Incomplete,   // bytes timed out before a whole request arrived
    Faulted,      // a fault changed or suppressed the reply
};
const char* OutcomeName(Outcome outcome);

struct TranscriptEntry {
    std::vector<uint8_t> bytes;  // as received (encrypted requests stay encrypted)
    uint32_t baud = 0;           // line speed when the request arrived
    std::string command;         // key as for faults ("R", "ZW", ...); "" when not recognised
    bool encrypted = false;
    Outcome outcome = Outcome::Answered;
};
// One line: "<baud> <hex bytes> <command or -> <outcome>[ enc]"
std::string FormatTranscriptEntry(const TranscriptEntry& entry);

// What the link must do after a request.
struct Action {
    std::vector<uint8_t> reply;  // bytes to send (faults already applied)
    unsigned delayMs = 0;        // wait before sending
    bool unplug = false;         // close the pty after sending `reply`
    int replugAfterMs = -1;
    bool discardUntilQuiet = false;  // drop input until the line is quiet (resynchronise)
};

class Engine {
  public:
    explicit Engine(const Config& config);

    const ModelInfo& Model() const { return model_; }
    bool EncryptionOn() const;

    // Bytes from the line, received while the line ran at `lineBaud`.
    void Feed(const uint8_t* data, size_t size, uint32_t lineBaud);

    enum class Step {
        Idle,       // nothing buffered
        NeedMore,   // a request has begun; wait for the rest (drop it on a long silence)
        Ambiguous,  // a complete plain request that may still grow into the encrypted form;
                    // wait briefly, then call again with settled = true
        Act,        // `action` filled; the buffer has moved past the request
    };
    Step Next(Action& action, bool settled = false);
    void DropPartial();  // incomplete bytes timed out (recorded as Incomplete)
    // Bytes drained while resynchronising: added to the last transcript entry.
    void AppendDiscarded(const uint8_t* data, size_t size);
    size_t Pending() const { return buffer_.size(); }

    // Device link speed: 0 until an 'S' was accepted (then it follows the line).
    uint32_t DeviceBaud() const { return deviceBaud_; }
    int DeviceSpeedIndex() const;  // 7 while not told
    void PowerCycle();             // replug: the device forgets its link speed

    void SetAllowedBauds(std::vector<uint32_t> bauds) { bauds_ = std::move(bauds); }
    void AddFault(const Fault& fault);
    void ClearFaults();
    std::vector<Fault> Faults() const;

    std::vector<uint8_t>& Memory(uint8_t space = kSpace2);
    const std::vector<uint8_t>& Memory(uint8_t space = kSpace2) const;
    std::vector<uint8_t>& Eeprom() { return eeprom_; }
    const std::vector<uint8_t>& Eeprom() const { return eeprom_; }
    uint8_t EmulationBank() const { return emulationBank_; }
    uint8_t ReadWriteBank() const { return readWriteBank_; }

    std::vector<TranscriptEntry>& Transcript() { return transcript_; }

  private:
    struct ActiveFault {
        Fault fault;
        unsigned seen = 0;
    };
    struct Parsed;

    bool SpeedAccepted(uint32_t lineBaud) const;
    void Record(size_t length, const std::string& command, bool encrypted, Outcome outcome);
    Step Handle(const Parsed& request, Action& action);
    std::vector<uint8_t> Execute(const Parsed& request, const std::vector<uint8_t>& body,
                                 bool& refused);
    uint64_t WindowBase() const;
    uint64_t WideOffset(uint8_t top, uint8_t mid, uint8_t low, uint8_t& space) const;

    Config config_;
    ModelInfo model_;
    std::vector<uint8_t> space20_;
    std::vector<uint8_t> space10_;
    std::vector<uint8_t> eeprom_;
    uint8_t emulationBank_ = 0;
    uint8_t readWriteBank_ = 0;
    uint32_t deviceBaud_ = 0;
    std::vector<uint32_t> bauds_;
    std::vector<ActiveFault> faults_;
    std::vector<uint8_t> buffer_;
    uint32_t bufferBaud_ = 0;
    std::vector<TranscriptEntry> transcript_;
};

// Device state snapshot for checks.
struct DeviceState {
    bool plugged = false;
    uint32_t lineBaud = 0;    // the slave's termios speed now
    uint32_t deviceBaud = 0;  // 0: not told
    int deviceSpeedIndex = 7;
    uint8_t emulationBank = 0;
    uint8_t readWriteBank = 0;
    bool encryptionOn = false;
};

// The engine behind a pseudo-terminal, served on its own thread. Every method is thread-safe.
class Simulator {
  public:
    explicit Simulator(const Config& config);
    ~Simulator();  // Stop()
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool Start(std::string* error = nullptr);  // creates the pty (raw, slave held open)
    void Stop();                               // ends the thread, closes the pty, removes links
    bool Running() const;

    std::string SlavePath() const;
    // Registers the slave as COMn: a symlink $QX_COM_DIR/COMn (or comDir/COMn when given).
    bool LinkAsCom(int number, const std::string& comDir = {}, std::string* error = nullptr);
    bool LinkAt(const std::string& path, std::string* error = nullptr);
    std::string LinkPath() const;
    void RemoveLink();

    // Memory and EEPROM, for checks and set-up.
    std::vector<uint8_t> Memory(uint8_t space = kSpace2) const;
    std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset, size_t length) const;
    void WriteMemory(uint8_t space, uint32_t offset, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Eeprom() const;
    void WriteEeprom(uint16_t address, const std::vector<uint8_t>& bytes);
    ModelInfo Model() const;
    DeviceState State() const;
    // Writes `path` (space 0x20), `path`.10 (space 0x10, two-space models) and `path`.eeprom.
    bool Dump(const std::string& path, std::string* error = nullptr) const;

    // Transcript of every request as received.
    std::vector<TranscriptEntry> Transcript() const;
    void ClearTranscript();
    // Waits (bounded) until the transcript holds at least `count` entries.
    bool WaitForTranscript(size_t count, int timeoutMs) const;

    void AddFault(const Fault& fault);
    bool AddFault(std::string_view spec, std::string* error = nullptr);
    void ClearFaults();
    void SetAllowedBauds(std::vector<uint32_t> bauds);
    void SetThrottle(bool on);

    // Unplug closes the pty (the PC side's reads fail) and removes the link; replug opens a
    // new pty, re-creates the link at the same place and power-cycles the device's link speed.
    bool Unplug();
    bool Replug(std::string* error = nullptr);
    // A different device on the same link: unplugs, replaces the whole device (memory,
    // EEPROM, faults, speeds, transcript) with a fresh one built from `config`, and plugs it
    // in on a new pty.
    bool Reconfigure(const Config& config, std::string* error = nullptr);
    bool Plugged() const;
    // Counts unplug/replug events (fault-driven ones included).
    unsigned ReplugCount() const;

    uint32_t LineBaud() const;
    uint32_t DeviceBaud() const;
    int DeviceSpeedIndex() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Line speed of a terminal: the output speed its termios holds (0 when unreadable).
uint32_t TerminalBaud(int fd);

}  // namespace qxsim
