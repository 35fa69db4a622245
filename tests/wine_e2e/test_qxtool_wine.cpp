// qxtool.exe under Wine against the qxsim device on COMn: identification and image round
// trips through files, checked against the simulator's memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "remote_sim.h"
#include "win_process.h"

namespace {

using qxwine::Outcome;

constexpr DWORD kToolTimeoutMs = 60000;
// The Kelby emulates in this memory space of the simulator.
constexpr uint8_t kEmulationSpace = 0x20;

std::vector<uint8_t> RandomImage(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

// Intel HEX: 16-byte data records, extended linear address records when crossing 64 KiB.
std::string IntelHex(const std::vector<uint8_t>& data, uint32_t address) {
    std::string text;
    auto record = [&text](uint8_t type, uint16_t offset, const uint8_t* bytes, size_t n) {
        char head[16];
        std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(n), offset, type);
        text += head;
        unsigned sum = n + (offset >> 8) + (offset & 0xFF) + type;
        for (size_t i = 0; i < n; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
            text += hex;
            sum += bytes[i];
        }
        char tail[8];
        std::snprintf(tail, sizeof tail, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += tail;
    };
    uint32_t upper = 0;
    for (size_t i = 0; i < data.size(); i += 16) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        if ((at >> 16) != upper) {
            upper = at >> 16;
            const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            record(4, 0, ext, 2);
        }
        record(0, static_cast<uint16_t>(at), data.data() + i,
               std::min<size_t>(16, data.size() - i));
    }
    record(1, 0, nullptr, 0);
    return text;
}

class QxtoolOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Connect());
        ASSERT_TRUE(sim_.Reset());
        tool_ = qxwine::ProgramFolder() + "qxtool.exe";
        folder_ = qxwine::MakeTempFolder("qxtool");
    }

    Outcome Tool(const std::string& args) {
        return qxwine::Run(tool_, "--port COM" + std::to_string(sim_.comNumber()) + " -q " + args,
                           kToolTimeoutMs);
    }

    qxtest::RemoteSim sim_;
    std::string tool_;
    std::string folder_;
};

TEST_F(QxtoolOnWine, InfoIdentifiesTheKelbyOnTheMappedPort) {
    const Outcome info = Tool("--json info");
    ASSERT_TRUE(info.started) << tool_;
    ASSERT_TRUE(info.finished) << info.output;
    EXPECT_EQ(info.exitCode, 0u) << info.output;
    EXPECT_NE(info.output.find("\"name\":\"Kelby v10.15\""), std::string::npos) << info.output;
    const std::string port = "\"COM" + std::to_string(sim_.comNumber()) + "\"";
    EXPECT_NE(info.output.find(port), std::string::npos) << info.output;
}

struct RoundTrip {
    const char* name;
    const char* fileName;  // the image written; the read-back is always binary
    const char* method;
    uint32_t address;
    uint32_t size;
};

TEST_F(QxtoolOnWine, WriteReadVerifyRoundTrips) {
    const RoundTrip trips[] = {
        {"binary, bulk", "image.bin", "bulk", 0x1000, 0x1000},
        {"binary, blocks, odd range", "image.bin", "block", 0x2103, 0x2F5},
        {"Intel HEX up to the end of the bank", "image.hex", "bulk", 0xFE00, 0x200},
    };
    unsigned seed = 1;
    for (const RoundTrip& t : trips) {
        SCOPED_TRACE(t.name);
        const std::vector<uint8_t> image = RandomImage(t.size, seed++);
        const std::string written = folder_ + t.fileName;
        const std::string address = std::to_string(t.address);
        std::string where;
        if (std::string(t.fileName).find(".hex") != std::string::npos) {
            const std::string hex = IntelHex(image, t.address);
            ASSERT_TRUE(qxwine::WriteFileBytes(written, {hex.begin(), hex.end()}));
        } else {
            ASSERT_TRUE(qxwine::WriteFileBytes(written, image));
            where = " --address " + address;
        }

        const Outcome write =
            Tool("write --method " + std::string(t.method) + where + " \"" + written + "\"");
        ASSERT_TRUE(write.finished) << write.output;
        ASSERT_EQ(write.exitCode, 0u) << write.output;
        EXPECT_EQ(sim_.ReadMemory(kEmulationSpace, t.address, t.size), image);

        const std::string back = folder_ + "back.bin";
        const Outcome read =
            Tool("read --method " + std::string(t.method) + " --address " + address + " --length " +
                 std::to_string(t.size) + " \"" + back + "\"");
        ASSERT_TRUE(read.finished) << read.output;
        ASSERT_EQ(read.exitCode, 0u) << read.output;
        EXPECT_EQ(qxwine::ReadFileBytes(back), image);

        const Outcome same = Tool("verify" + where + " \"" + written + "\"");
        EXPECT_EQ(same.exitCode, 0u) << same.output;
    }
}

TEST_F(QxtoolOnWine, VerifyFindsOneChangedByte) {
    const std::vector<uint8_t> image = RandomImage(0x400, 42);
    const std::string file = folder_ + "image.bin";
    ASSERT_TRUE(qxwine::WriteFileBytes(file, image));
    const Outcome write = Tool("write --address 0 \"" + file + "\"");
    ASSERT_EQ(write.exitCode, 0u) << write.output;

    std::vector<uint8_t> changed = image;
    changed[0x2A7] ^= 0x10;
    ASSERT_TRUE(qxwine::WriteFileBytes(file, changed));
    const Outcome verify = Tool("verify --address 0 \"" + file + "\"");
    ASSERT_TRUE(verify.finished) << verify.output;
    EXPECT_EQ(verify.exitCode, 1u) << verify.output;
    EXPECT_NE(verify.output.find("2A7"), std::string::npos) << verify.output;  // 0x0002A7
}

// Why a port cannot be used, from Windows' own error codes, and the port list saying the same.
TEST_F(QxtoolOnWine, PortErrorsSayWhy) {
    const std::string com = "COM" + std::to_string(sim_.comNumber());
    const std::string device = "\\\\.\\" + com;
    const std::string plain = folder_ + "plain.bin";
    ASSERT_TRUE(qxwine::WriteFileBytes(plain, {'x'}));
    // Held the way another program holds a COM port: opened without sharing. Windows then
    // refuses every other open; Wine does not keep serial ports exclusive, so there the
    // in-use cases cannot arise.
    HANDLE held = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    const bool exclusive = second == INVALID_HANDLE_VALUE;
    if (!exclusive) {
        CloseHandle(second);
        std::printf("[ info ] COM ports are not exclusive here (Wine): in-use cases left out\n");
    }
    const struct {
        std::string args;
        std::string message;
        bool inUse;
    } cases[] = {
        {"--port COM250 info", "cannot open COM250: no such port (\\\\.\\COM250 does not exist)",
         false},
        {"--port \"" + plain + "\" info",
         "cannot open " + plain + ": not a serial device (" + plain + " is no communications port",
         false},
        {"--port " + com + " info", "cannot open " + com + ": in use by another program", true},
    };
    for (const auto& c : cases) {
        if (c.inUse && !exclusive) continue;
        const Outcome r = qxwine::Run(tool_, "-q " + c.args, kToolTimeoutMs);
        ASSERT_TRUE(r.finished) << r.output;
        EXPECT_EQ(r.exitCode, 3u) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    const std::string entry = "{\"name\":\"" + com + "\",\"path\":\"\\\\\\\\.\\\\" + com + "\"";
    if (exclusive) {
        const Outcome busy = qxwine::Run(tool_, "--json ports", kToolTimeoutMs);
        EXPECT_EQ(busy.exitCode, 0u) << busy.output;
        const size_t at = busy.output.find(entry);
        ASSERT_NE(at, std::string::npos) << busy.output;
        EXPECT_NE(busy.output.find("\"opens\":false,\"problem\":\"in-use\"", at), std::string::npos)
            << busy.output;
    }
    CloseHandle(held);
    const Outcome free = qxwine::Run(tool_, "--json ports", kToolTimeoutMs);
    EXPECT_EQ(free.exitCode, 0u) << free.output;
    const size_t at = free.output.find(entry);
    ASSERT_NE(at, std::string::npos) << free.output;
    EXPECT_NE(free.output.find("\"opens\":true,\"problem\":null,\"reason\":null", at),
              std::string::npos)
        << free.output;
}

// "-" on Windows: the image's bytes pass standard input and output unchanged (a text-mode
// stream would turn every 0A into 0D 0A and stop reading at 1A).
TEST_F(QxtoolOnWine, StandardStreamsCarryBytesUnchanged) {
    std::vector<uint8_t> image = RandomImage(0x1000, 7);
    image[0x10] = 0x0A;
    image[0x11] = 0x1A;
    image[0x12] = 0x0D;
    const std::string file = folder_ + "image.bin";
    ASSERT_TRUE(qxwine::WriteFileBytes(file, image));
    // cmd does the redirection of standard input.
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, sizeof system);
    const qxwine::Outcome write =
        qxwine::Run(std::string(system) + "\\cmd.exe",
                    "/c \"\"" + tool_ + "\" --port COM" + std::to_string(sim_.comNumber()) +
                        " -q write - --address 0x100 < \"" + file + "\"\"",
                    kToolTimeoutMs);
    ASSERT_TRUE(write.finished) << write.output;
    ASSERT_EQ(write.exitCode, 0u) << write.output;
    EXPECT_EQ(sim_.ReadMemory(kEmulationSpace, 0x100, image.size()), image);

    // With -q standard output holds the bytes and nothing else.
    const Outcome read = Tool("read - --address 0x100 --length 4096");
    ASSERT_TRUE(read.finished);
    ASSERT_EQ(read.exitCode, 0u) << read.output;
    EXPECT_EQ(std::vector<uint8_t>(read.output.begin(), read.output.end()), image);
}

}  // namespace
