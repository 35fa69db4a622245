#include "remote_sim.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "sim_fixture.h"

namespace qxtest {
namespace {

// Generous: the machine may be loaded, and a config line can carry megabytes of image.
constexpr uint32_t kReplyTimeoutMs = 10000;
constexpr uint32_t kChunk = 65536;  // the control port's limit per read/write command

int EnvNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0) return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == 0 && value > 0 && value < 65536) ? static_cast<int>(value) : -1;
}

std::string HexWord(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

template <size_t N>
std::string HexWord(const std::array<uint8_t, N>& bytes) {
    return HexWord(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::string ByteWord(uint8_t value) {
    return std::to_string(value);
}

// Letters always as 0xNN: a single character would be taken as the letter itself.
std::string LetterWord(char letter) {
    char word[8];
    std::snprintf(word, sizeof word, "0x%02X", static_cast<uint8_t>(letter));
    return word;
}

// "KEY=VALUE" words of a state or model line; the value of `key` ("" when absent). A value
// runs to the next blank, except the last key's, which runs to the end (a model name).
std::string Field(const std::string& line, const std::string& key, bool toEnd = false) {
    const std::string tag = key + "=";
    size_t at = line.rfind(" " + tag);
    if (at == std::string::npos) {
        if (line.rfind(tag, 0) != 0) return {};
        at = 0;
    } else {
        ++at;
    }
    const size_t start = at + tag.size();
    if (toEnd) return line.substr(start);
    const size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

long FieldNumber(const std::string& line, const std::string& key) {
    return std::strtol(Field(line, key).c_str(), nullptr, 0);
}

}  // namespace

::testing::AssertionResult RemoteSim::Connect() {
    const int port = EnvNumber("QX_SIM_CONTROL");
    comNumber_ = EnvNumber("QX_SIM_COM");
    if (const char* dir = std::getenv("QX_SIM_LINK_DIR")) linkDir_ = dir;
    if (port < 0 || comNumber_ < 1 || comNumber_ > 255)
        return ::testing::AssertionFailure()
               << "QX_SIM_CONTROL / QX_SIM_COM not set: run this test through "
                  "scripts/run-wine-tests.sh, which starts the simulator";
    std::string error;
    if (!client_.Connect(static_cast<uint16_t>(port), &error))
        return ::testing::AssertionFailure() << "simulator control: " << error;
    return ::testing::AssertionSuccess();
}

std::string RemoteSim::LinkPath(int number) const {
    if (linkDir_.empty()) return {};
#ifdef _WIN32
    return linkDir_ + "/com" + std::to_string(number);  // Wine's dosdevices names
#else
    return linkDir_ + "/COM" + std::to_string(number);  // as QX_COM_DIR holds them
#endif
}

::testing::AssertionResult RemoteSim::Command(const std::string& line,
                                              std::vector<std::string>* data, std::string* value) {
    if (!client_.SendAll(line + "\n"))
        return ::testing::AssertionFailure() << "'" << line.substr(0, 60) << "': send failed";
    for (;;) {
        std::string reply;
        if (!client_.ReadLine(reply, kReplyTimeoutMs))
            return ::testing::AssertionFailure() << "'" << line.substr(0, 60) << "': no answer";
        if (reply == "ok" || reply.rfind("ok ", 0) == 0) {
            if (value) *value = reply.size() > 3 ? reply.substr(3) : std::string();
            return ::testing::AssertionSuccess();
        }
        if (reply.rfind("error", 0) == 0)
            return ::testing::AssertionFailure() << "'" << line.substr(0, 60) << "': " << reply;
        if (data) data->push_back(reply);
    }
}

::testing::AssertionResult RemoteSim::Reset() {
    if (!linkDir_.empty()) {
        ::testing::AssertionResult linked = Command("link " + LinkPath(comNumber_));
        if (!linked) return linked;
    }
    return Command(ConfigCommand(qxsim::Config{}));
}

std::vector<uint8_t> RemoteSim::ReadMemory(uint8_t space, uint32_t offset, uint32_t length) {
    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(kChunk, length - done);
        char line[64];
        std::snprintf(line, sizeof line, "read %X %X %u", space, offset + done, n);
        std::string value;
        if (!Command(line, nullptr, &value)) return {};
        const std::vector<uint8_t> piece = FromHex(value);
        if (piece.size() != n) return {};
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        done += n;
    }
    return bytes;
}

std::string ConfigCommand(const qxsim::Config& c) {
    std::string line = "config model=" + LetterWord(c.hardwareId);
    line += " fw=" + std::to_string(c.firmwareMajor) + "." + std::to_string(c.firmwareMinor);
    line += " eeprom-id=" + (c.eepromDeviceId == 0 ? "none" : LetterWord(c.eepromDeviceId));
    line += " interface=" + (c.interfaceLetter == 0 ? "none" : LetterWord(c.interfaceLetter));
    line += " name-hex=" + HexWord(std::vector<uint8_t>(c.name.begin(), c.name.end()));
    line += " serial=" + HexWord(c.serial);
    line += " flash-info=" + HexWord(c.flashInfo);
    line += " tolliver-mode=" + ByteWord(c.tolliverMode);
    line += " tolliver-bank=" + ByteWord(c.tolliverBank);
    line += " tolliver-marker=" + ByteWord(c.tolliverMarker);
    line += " emulation-bank=" + ByteWord(c.emulationBank);
    line += " rw-bank=" + ByteWord(c.readWriteBank);
    line += " fill=" + ByteWord(c.fill);
    line += " bauds=";
    for (size_t i = 0; i < c.bauds.size(); ++i) {
        if (i) line += ',';
        line += std::to_string(c.bauds[i]);
    }
    if (c.bauds.empty()) line += "-";
    line += c.throttle ? " throttle=1" : " throttle=0";
    line += " transcript-limit=" + std::to_string(c.transcriptLimit);
    for (const qxsim::Fault& fault : c.faults) line += " fault=" + qxsim::FormatFault(fault);
    if (!c.image.empty()) line += " image=" + HexWord(c.image);
    if (!c.image10.empty()) line += " image10=" + HexWord(c.image10);
    if (!c.eeprom.empty()) line += " eeprom=" + HexWord(c.eeprom);
    return line;
}

namespace {

// The remote backend. Every control command that fails is a test failure here, so the
// methods can keep the in-process signatures.
class RemoteSimHandle final : public SimHandle {
  public:
    ~RemoteSimHandle() override {
        // The next test program (or the next test) finds the device the runner started.
        if (launched_) {
            EXPECT_TRUE(client_.Reset());
        }
    }

    ::testing::AssertionResult Launch(const qxsim::Config& config, int comNumber) override {
        ::testing::AssertionResult step = client_.Connect();
        if (!step) return step;
        const std::string link = client_.LinkPath(comNumber);
        if (link.empty())
            return ::testing::AssertionFailure()
                   << "QX_SIM_LINK_DIR not set: run this test through scripts/run-wine-tests.sh";
#ifndef _WIN32
        setenv("QX_COM_DIR", client_.linkDir().c_str(), 1);
#endif
        launched_ = true;
        comNumber_ = comNumber;
        step = client_.Command("link " + link);
        if (!step) return step;
        return client_.Command(ConfigCommand(config));
    }

    std::vector<uint8_t> Memory(uint8_t space) const override {
        return ReadMemory(space, 0, Model().memorySize);
    }
    std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset, size_t length) const override {
        const std::vector<uint8_t> bytes =
            client_.ReadMemory(space, offset, static_cast<uint32_t>(length));
        EXPECT_EQ(bytes.size(), length) << "qxsim: read " << length << " bytes";
        return bytes;
    }
    void WriteMemory(uint8_t space, uint32_t offset, const std::vector<uint8_t>& bytes) override {
        for (size_t done = 0; done < bytes.size(); done += kChunk) {
            const size_t n = std::min<size_t>(kChunk, bytes.size() - done);
            char head[48];
            std::snprintf(head, sizeof head, "write %X %X ", space,
                          static_cast<unsigned>(offset + done));
            Call(head +
                 HexWord(std::vector<uint8_t>(bytes.begin() + done, bytes.begin() + done + n)));
        }
    }
    std::vector<uint8_t> Eeprom() const override {
        return FromHex(Call("eeprom-read 0 65536"));
    }
    void WriteEeprom(uint16_t address, const std::vector<uint8_t>& bytes) override {
        for (size_t done = 0; done < bytes.size(); done += kChunk) {
            const size_t n = std::min<size_t>(kChunk, bytes.size() - done);
            char head[32];
            std::snprintf(head, sizeof head, "eeprom-write %X ",
                          static_cast<unsigned>((address + done) & 0xFFFF));
            Call(head +
                 HexWord(std::vector<uint8_t>(bytes.begin() + done, bytes.begin() + done + n)));
        }
    }
    qxsim::ModelInfo Model() const override {
        const std::string line = Call("model");
        qxsim::ModelInfo m;
        m.letter = static_cast<char>(FieldNumber(line, "letter"));
        m.name = Field(line, "name", true);
        m.family = static_cast<int>(FieldNumber(line, "family"));
        m.type = static_cast<int>(FieldNumber(line, "type"));
        m.capabilities = static_cast<uint32_t>(FieldNumber(line, "capabilities"));
        m.memorySize = static_cast<uint32_t>(FieldNumber(line, "memory"));
        m.bankSize = static_cast<uint32_t>(FieldNumber(line, "bank-size"));
        m.bankCount = static_cast<int>(FieldNumber(line, "banks"));
        m.largeBinBank = static_cast<int>(FieldNumber(line, "large-bin"));
        m.addressBytes = static_cast<int>(FieldNumber(line, "address-bytes"));
        m.twoSpaces = FieldNumber(line, "spaces") == 2;
        m.hasGeometry = FieldNumber(line, "geometry") != 0;
        return m;
    }
    qxsim::DeviceState State() const override {
        const std::string line = Call("state");
        qxsim::DeviceState s;
        s.plugged = FieldNumber(line, "plugged") != 0;
        s.lineBaud = static_cast<uint32_t>(FieldNumber(line, "line"));
        s.deviceBaud = static_cast<uint32_t>(FieldNumber(line, "device"));
        s.deviceSpeedIndex = static_cast<int>(FieldNumber(line, "index"));
        s.emulationBank = static_cast<uint8_t>(FieldNumber(line, "emulation"));
        s.readWriteBank = static_cast<uint8_t>(FieldNumber(line, "rw"));
        s.encryptionOn = FieldNumber(line, "encryption") != 0;
        return s;
    }
    uint32_t LineBaud() const override {
        return static_cast<uint32_t>(std::strtoul(Call("speed").c_str(), nullptr, 10));
    }
    uint32_t DeviceBaud() const override {
        return static_cast<uint32_t>(std::strtoul(Call("device-speed").c_str(), nullptr, 10));
    }

    std::vector<qxsim::TranscriptEntry> Transcript() const override {
        std::vector<std::string> lines;
        std::vector<qxsim::TranscriptEntry> entries;
        EXPECT_TRUE(client_.Command("transcript", &lines));
        for (const std::string& line : lines) {
            std::istringstream in(line);
            qxsim::TranscriptEntry e;
            std::string hex, command, outcome, enc;
            in >> e.baud >> hex >> command >> outcome >> enc;
            if (hex != "-") e.bytes = FromHex(hex);
            if (command != "-") e.command = command;
            e.encrypted = enc == "enc";
            e.outcome = ParseOutcome(outcome);
            entries.push_back(std::move(e));
        }
        return entries;
    }
    void ClearTranscript() override {
        Call("clear-transcript");
    }
    bool WaitForTranscript(size_t count, int timeoutMs) const override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (std::strtoul(Call("transcript-count").c_str(), nullptr, 10) >= count) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    bool AddFault(std::string_view spec, std::string* error) override {
        const ::testing::AssertionResult done = client_.Command("fault " + std::string(spec));
        if (!done && error) *error = done.message();
        return done;
    }
    void ClearFaults() override {
        Call("clear-faults");
    }
    bool Unplug() override {
        return client_.Command("unplug");
    }
    bool Replug(std::string* error) override {
        const ::testing::AssertionResult done = client_.Command("replug");
        if (!done && error) *error = done.message();
        return done;
    }
    bool Plugged() const override {
        return State().plugged;
    }
    std::string PortPath() const override {
#ifdef _WIN32
        // The device namespace name of the COM port: no number after the first three
        // characters.
        return "\\\\.\\COM" + std::to_string(comNumber_);
#else
        return Field(Call("state"), "slave");
#endif
    }

  private:
    static qxsim::Outcome ParseOutcome(const std::string& name) {
        using qxsim::Outcome;
        for (Outcome o : {Outcome::Answered, Outcome::Refused, Outcome::BadChecksum,
                          Outcome::WrongSpeed, Outcome::Incomplete, Outcome::Faulted})
            if (name == qxsim::OutcomeName(o)) return o;
        ADD_FAILURE() << "qxsim: unknown outcome " << name;
        return Outcome::Answered;
    }

    // The value after "ok"; a failed command fails the test.
    std::string Call(const std::string& line) const {
        std::string value;
        EXPECT_TRUE(client_.Command(line, nullptr, &value));
        return value;
    }

    mutable RemoteSim client_;
    bool launched_ = false;
    int comNumber_ = 0;
};

}  // namespace

std::unique_ptr<SimHandle> MakeRemoteSimHandle() {
    return std::make_unique<RemoteSimHandle>();
}

}  // namespace qxtest
