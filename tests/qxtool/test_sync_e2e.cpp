// qxtool sync end to end: the built executable against simulated devices on pseudo-terminals;
// what reaches the wire is read from the simulator's transcript.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qxtool/json_reader.h"
#include "qxtool/tool_fixture.h"
#include "qxtool/tool_process.h"
#include "sim.h"

namespace {

namespace fs = std::filesystem;
using qxtest::ChildProcess;
using qxtest::JsonReader;
using qxtest::JsonValue;
using qxtest::RandomBytes;
using qxtest::SimConfig;
using qxtest::ToolResult;

constexpr uint32_t kKelbyMemory = 512 * 1024;

// A Kelby 10.15 in large-bin mode (emulation bank 8): the image is the whole 512 KiB memory.
qxsim::Config LargeBinKelby(const std::vector<uint8_t>& image) {
    qxsim::Config config = SimConfig('O', 10, 15);
    config.emulationBank = 8;
    config.image = image;
    return config;
}

// Memory reads and writes of every command form.
bool IsRead(const std::string& command) {
    return command == "R" || command == "ZR";
}
bool IsWrite(const std::string& command) {
    return command == "W" || command == "w" || command == "X" || command == "ZW";
}

class QxtoolSync : public qxtest::ToolFixture {
  protected:
    bool StartWatch(ChildProcess& process, std::vector<std::string> args) {
        args.insert(args.begin(), QXTOOL_EXE);
        if (!process.Start(args, {{"QX_COM_DIR", comDir_}})) return false;
        return process.WaitFor(
            [](const std::string&, const std::string& err) {
                return err.find("watching") != std::string::npos;
            },
            30000);
    }

    // Waits until stdout holds `lines` lines.
    static bool WaitForLines(ChildProcess& process, size_t lines) {
        return process.WaitFor(
            [lines](const std::string& out, const std::string&) {
                return static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) >= lines;
            },
            15000);
    }

    static std::vector<qxsim::TranscriptEntry> Entries(const qxsim::Simulator& sim,
                                                       bool (*which)(const std::string&)) {
        std::vector<qxsim::TranscriptEntry> found;
        for (const auto& entry : sim.Transcript())
            if (which(entry.command)) found.push_back(entry);
        return found;
    }
};

TEST_F(QxtoolSync, OneByteInALargeBinImageIsOneBlockPacket) {
    const std::vector<uint8_t> image = RandomBytes(kKelbyMemory, 1);
    auto& sim = Device(4, LargeBinKelby(image));
    std::vector<uint8_t> file = image;
    file[0x45678] ^= 0x5A;  // in the fifth 64 KiB window: the block write selects its bank
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));

    const ToolResult r = Tool({"--port", "COM4", "--json", "sync", File("rom.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    const JsonValue v = JsonReader::Parse(r.out);
    EXPECT_EQ(v["pages"].integer(), 1);
    EXPECT_EQ(v["bytesWritten"].integer(), 256);
    EXPECT_EQ(v["bytesChanged"].integer(), 1);
    EXPECT_TRUE(v["readDevice"].boolean);

    const auto writes = Entries(sim, IsWrite);
    ASSERT_EQ(writes.size(), 1u);
    // 'W', count 0 (256 bytes), the address within the 64 KiB window, data, checksum.
    EXPECT_EQ(writes[0].command, "W");
    ASSERT_EQ(writes[0].bytes.size(), 1u + 1u + 2u + 256u + 1u);
    EXPECT_EQ(writes[0].bytes[1], 0x00);
    EXPECT_EQ(writes[0].bytes[2], 0x56);
    EXPECT_EQ(writes[0].bytes[3], 0x00);
    EXPECT_EQ(std::vector<uint8_t>(writes[0].bytes.begin() + 4, writes[0].bytes.end() - 1),
              std::vector<uint8_t>(file.begin() + 0x45600, file.begin() + 0x45700));
    // The verify reads back that one page and nothing else after the write.
    const auto transcript = sim.Transcript();
    const auto write = std::find_if(transcript.begin(), transcript.end(),
                                    [](const auto& e) { return IsWrite(e.command); });
    size_t readsAfter = 0;
    for (auto it = write; it != transcript.end(); ++it) readsAfter += IsRead(it->command);
    EXPECT_EQ(readsAfter, 1u);
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);
}

TEST_F(QxtoolSync, ChangedRunsGoBulkOrBlockAsPlanned) {
    const struct {
        const char* name;
        qxsim::Config config;
        uint32_t size;
        uint32_t first, last;  // changed device addresses
        size_t bulkPackets, blockPackets;
    } cases[] = {
        // 20 pages from an aligned start: one bulk packet for the first 16, 4 block packets.
        {"Kelby, 20 pages", LargeBinKelby({}), kKelbyMemory, 0x20000, 0x213FF, 1, 4},
        {"Kelby, 15 pages", LargeBinKelby({}), kKelbyMemory, 0x31000, 0x31EFF, 0, 15},
        {"Kelby, 32 pages across a 4096 boundary", LargeBinKelby({}), kKelbyMemory, 0x800, 0x27FF,
         1, 16},
        {"Vorrel (no bulk), 20 pages", SimConfig('A', 2, 11), 0x10000, 0x2000, 0x33FF, 0, 20},
    };
    int com = 4;
    for (const auto& c : cases) {
        qxsim::Config config = c.config;
        config.image = RandomBytes(c.size, 2);
        auto& sim = Device(com, config);
        std::vector<uint8_t> file = config.image;
        for (uint32_t a = c.first; a <= c.last; ++a) file[a] ^= 0xFF;
        qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
        const ToolResult r =
            Tool({"--port", "COM" + std::to_string(com++), "--json", "sync", File("rom.bin")});
        ASSERT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_EQ(Count(sim, "ZW"), c.bulkPackets) << c.name;
        EXPECT_EQ(Count(sim, "W"), c.blockPackets) << c.name;
        EXPECT_EQ(sim.Memory(qxsim::kSpace2), file) << c.name;
        const JsonValue v = JsonReader::Parse(r.out);
        EXPECT_EQ(v["bytesChanged"].integer(), c.last - c.first + 1) << c.name;
        // A second sync of the same file finds nothing to do.
        sim.ClearTranscript();
        const ToolResult again =
            Tool({"--port", "COM" + std::to_string(com - 1), "--json", "sync", File("rom.bin")});
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(JsonReader::Parse(again.out)["pages"].integer(), 0);
        EXPECT_TRUE(Entries(sim, IsWrite).empty()) << c.name;
        fs::remove(File("rom.bin.qxsync"));
    }
}

TEST_F(QxtoolSync, AssumeWrittenTrustsAMatchingStateFileOnly) {
    const std::vector<uint8_t> image = RandomBytes(kKelbyMemory, 3);
    auto& sim = Device(4, LargeBinKelby(image));
    std::vector<uint8_t> file = image;
    file[0x100] ^= 1;
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    ASSERT_EQ(Tool({"--port", "COM4", "sync", File("rom.bin")}).status, 0);
    ASSERT_TRUE(fs::exists(File("rom.bin.qxsync")));

    // The next edit: with the state file nothing is read but the page written.
    file[0x7FFFF] ^= 1;
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    sim.ClearTranscript();
    ToolResult r = Tool({"--port", "COM4", "--json", "sync", File("rom.bin"), "--assume-written"});
    ASSERT_EQ(r.status, 0) << r.err;
    JsonValue v = JsonReader::Parse(r.out);
    EXPECT_TRUE(v["trustedState"].boolean);
    EXPECT_FALSE(v["readDevice"].boolean);
    EXPECT_EQ(v["bytesChanged"].kind, JsonValue::Kind::Null);
    EXPECT_EQ(v["pages"].integer(), 1);
    const auto transcript = sim.Transcript();
    ASSERT_FALSE(transcript.empty());
    size_t firstWrite = transcript.size();
    for (size_t i = 0; i < transcript.size(); ++i) {
        if (IsWrite(transcript[i].command) && firstWrite == transcript.size()) firstWrite = i;
        if (i < firstWrite) {
            EXPECT_FALSE(IsRead(transcript[i].command)) << "read before writing";
        }
    }
    EXPECT_EQ(Entries(sim, IsWrite).size(), 1u);
    EXPECT_EQ(Entries(sim, IsRead).size(), 1u);  // the verify of that page
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);

    // A state file of another device (here: another serial) is not trusted: the range is read.
    std::string state = qxtest::ReadText(File("rom.bin.qxsync"));
    const size_t serial = state.find("serial=");
    ASSERT_NE(serial, std::string::npos) << state;
    state[serial + 7] = state[serial + 7] == '0' ? '1' : '0';
    qxtest::WriteBytes(File("rom.bin.qxsync"), state);
    file[0x200] ^= 1;
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    sim.ClearTranscript();
    r = Tool({"--port", "COM4", "--json", "sync", File("rom.bin"), "--assume-written"});
    ASSERT_EQ(r.status, 0) << r.err;
    v = JsonReader::Parse(r.out);
    EXPECT_FALSE(v["trustedState"].boolean);
    EXPECT_TRUE(v["readDevice"].boolean);
    EXPECT_NE(r.err.find("records another device"), std::string::npos) << r.err;
    EXPECT_EQ(Count(sim, "ZR"), kKelbyMemory / 4096);  // the range in bulk packets
    EXPECT_EQ(Count(sim, "R"), 1u);                    // the verify of the page written
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);
}

TEST_F(QxtoolSync, AFileLargerThanTheMemoryIsRefusedBeforeAnyWrite) {
    auto& sim = Device(4, SimConfig('A', 2, 11));  // 64 KiB
    qxtest::WriteBytes(File("big.bin"), std::string(0x10001, '\x11'));
    ToolResult r = Tool({"--port", "COM4", "sync", File("big.bin")});
    EXPECT_EQ(r.status, 2) << r.err;
    // The words of write's refusal.
    EXPECT_NE(r.err.find("big.bin: data at 0x010000 lies past the end of memory (0x10000 bytes)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(Entries(sim, IsWrite).empty());
    EXPECT_TRUE(Entries(sim, IsRead).empty());
    // From a base address the same: 0x100 bytes at 0xFF80 run past the end.
    qxtest::WriteBytes(File("tail.bin"), std::string(0x100, '\x22'));
    r = Tool({"--port", "COM4", "sync", File("tail.bin"), "--address", "0xFF80"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("past the end of memory"), std::string::npos) << r.err;
    EXPECT_TRUE(Entries(sim, IsWrite).empty());
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), std::vector<uint8_t>(0x10000, 0xFF));
}

TEST_F(QxtoolSync, WatchFollowsRenamesAndInPlaceWrites) {
    const std::vector<uint8_t> image = RandomBytes(kKelbyMemory, 4);
    auto& sim = Device(4, LargeBinKelby(image));
    std::vector<uint8_t> file = image;
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    ChildProcess watch;
    ASSERT_TRUE(StartWatch(watch, {"--port", "COM4", "sync", File("rom.bin"), "--watch"}))
        << watch.err;
    ASSERT_TRUE(WaitForLines(watch, 1)) << watch.out << watch.err;
    EXPECT_NE(watch.out.find("no change"), std::string::npos) << watch.out;

    // An editor's save: a new file written beside it and renamed over it.
    sim.ClearTranscript();
    file[0x12345] ^= 0x0F;
    qxtest::WriteBytes(File("rom.bin.tmp"), qxtest::Bytes(file));
    fs::rename(File("rom.bin.tmp"), File("rom.bin"));
    ASSERT_TRUE(WaitForLines(watch, 2)) << watch.out << watch.err;
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);
    EXPECT_EQ(Entries(sim, IsWrite).size(), 1u);
    EXPECT_EQ(Count(sim, "ZR"), 0u);  // what the device holds is known from the last sync
    const auto second = qxtest::Lines(watch.out)[1];
    EXPECT_NE(second.find("1 page, 256 bytes written (1 byte changed; 1 block write)"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("ms from the change to the acknowledgement"), std::string::npos)
        << second;

    // A plain write into the file where it is.
    sim.ClearTranscript();
    {
        std::fstream f(File("rom.bin"), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(0x70000);
        const std::string patch(0x1000, '\x42');
        f.write(patch.data(), static_cast<std::streamsize>(patch.size()));
    }
    std::fill(file.begin() + 0x70000, file.begin() + 0x71000, 0x42);
    ASSERT_TRUE(WaitForLines(watch, 3)) << watch.out << watch.err;
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);
    EXPECT_EQ(Count(sim, "ZW"), 1u);
    EXPECT_EQ(Count(sim, "W"), 0u);

    // A save that no longer fits is reported and skipped; nothing is written.
    sim.ClearTranscript();
    std::vector<uint8_t> grown = file;
    grown.resize(kKelbyMemory + 1, 0x33);
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(grown));
    ASSERT_TRUE(watch.WaitFor(
        [](const std::string&, const std::string& err) {
            return err.find("(nothing written)") != std::string::npos;
        },
        15000))
        << watch.err;
    EXPECT_NE(watch.err.find("past the end of memory"), std::string::npos) << watch.err;
    EXPECT_TRUE(Entries(sim, IsWrite).empty());
    EXPECT_EQ(sim.Memory(qxsim::kSpace2), file);

    // Ctrl+C while waiting: the port is closed and the status is 0.
    watch.Signal(SIGINT);
    const ToolResult r = watch.Finish(15000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("stopped watching"), std::string::npos) << r.err;
    EXPECT_EQ(qxtest::Lines(r.out).size(), 3u) << r.out;
}

TEST_F(QxtoolSync, WatchAsJsonGivesOneObjectPerSync) {
    auto& sim = Device(4, SimConfig('A', 2, 11));
    std::vector<uint8_t> file = RandomBytes(0x8000, 5);
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    ChildProcess watch;
    ASSERT_TRUE(StartWatch(watch, {"--port", "COM4", "--json", "sync", File("rom.bin"), "--watch"}))
        << watch.err;
    ASSERT_TRUE(WaitForLines(watch, 1)) << watch.err;
    file[0x10] ^= 1;
    qxtest::WriteBytes(File("rom.bin"), qxtest::Bytes(file));
    ASSERT_TRUE(WaitForLines(watch, 2)) << watch.err;
    watch.Signal(SIGINT);
    const ToolResult r = watch.Finish(15000);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = qxtest::Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    const JsonValue first = JsonReader::Parse(lines[0]);
    EXPECT_EQ(first["pages"].integer(), 128);  // the simulator's 0xFF fill differs everywhere
    const JsonValue second = JsonReader::Parse(lines[1]);
    EXPECT_EQ(second["pages"].integer(), 1);
    EXPECT_EQ(second["bytesChanged"].integer(), 1);
    // The latency counts from the file event, before the file was read.
    EXPECT_GE(second["changeToAckMilliseconds"].number, second["syncMilliseconds"].number);
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, file.size()), file);

    // The watch recorded what it left on the device: the next run need not read it.
    sim.ClearTranscript();
    const ToolResult next =
        Tool({"--port", "COM4", "--json", "sync", File("rom.bin"), "--assume-written"});
    ASSERT_EQ(next.status, 0) << next.err;
    const JsonValue v = JsonReader::Parse(next.out);
    EXPECT_TRUE(v["trustedState"].boolean);
    EXPECT_EQ(v["pages"].integer(), 0);
    EXPECT_TRUE(Entries(sim, IsRead).empty());
}

TEST_F(QxtoolSync, HelpDescribesSync) {
    const ToolResult r = Tool({"sync", "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"FILE", "--address", "--format", "--method", "--space", "--watch",
                             "--assume-written", ".qxsync", "Ctrl+C", "status 0"})
        EXPECT_NE(r.out.find(word), std::string::npos) << "sync help lacks " << word;
}

}  // namespace
