// The POSIX COM-port layer over a real pseudo-terminal: name mapping, line settings as the
// far end sees them, the COMMTIMEOUTS rules, purge, exclusivity.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "com_port_server.h"
#include "platform/comm.h"
#include "platform/platform_test_port.h"
#include "platform/port_failure.h"
#include "pty_peer.h"
#include "ser2net_process.h"
#include "support/elapsed.h"

namespace {

namespace p = qx::platform;
using Bytes = std::vector<uint8_t>;
using platformtest::Port;
using qxtest::Clock;
using qxtest::MsSince;
constexpr uint32_t kMax = qx::kMaxDword;

// Runs a test body with QX_COM_DIR unset, restoring it afterwards.
class NoComDir {
  public:
    NoComDir() {
        if (const char* old = std::getenv("QX_COM_DIR")) saved_ = old;
        unsetenv("QX_COM_DIR");
    }
    ~NoComDir() {
        if (saved_) setenv("QX_COM_DIR", saved_->c_str(), 1);
    }

  private:
    std::optional<std::string> saved_;
};

TEST(ResolveComName, BuiltInMapCoversThreeDeviceFamilies) {
    NoComDir noDir;
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\COM1", "/dev/ttyS0"},
        {"COM32", "/dev/ttyS31"},
        {"com33", "/dev/ttyUSB0"},
        {"\\\\.\\cOm64", "/dev/ttyUSB31"},
        {"COM65", "/dev/ttyACM0"},
        {"\\\\.\\COM96", "/dev/ttyACM31"},
        {"COM0", ""},
        {"\\\\.\\COM97", ""},
        {"COM254", ""},
        {"COM99999999999", "COM99999999999"},
        {"/dev/ttyUSB3", "/dev/ttyUSB3"},
        {"COM", "COM"},
        {"COM7x", "COM7x"},
        {"\\\\.\\PIPE\\x", "\\\\.\\PIPE\\x"},
    };
    for (const auto& c : cases) EXPECT_EQ(p::ResolveComName(c.name), c.path) << c.name;
}

TEST(ResolveComName, ComDirMapsEveryNumberSpelling) {
    qxtest::ComDir dir;
    ASSERT_TRUE(dir.ok());
    for (const char* name : {"\\\\.\\COM7", "COM7", "com7", "\\\\.\\Com007"})
        EXPECT_EQ(p::ResolveComName(name), dir.path() + "/COM7") << name;
    EXPECT_EQ(p::ResolveComName("\\\\.\\COM0"), dir.path() + "/COM0");
    EXPECT_EQ(p::ResolveComName("/dev/null"), "/dev/null");
}

TEST(CommOpen, ComNamesWithoutDeviceFailAtOnce) {
    qxtest::ComDir dir;
    ASSERT_TRUE(dir.ok());
    const auto start = Clock::now();
    for (int i = 0; i < 255; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\COM%i", i);
        EXPECT_EQ(p::CommOpen(name), qx::InvalidHandle()) << name;
    }
    const int64_t elapsed = MsSince(start);
    std::printf("[ info ] 255 missing COM names rejected in %lld ms\n",
                static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 500);
    EXPECT_EQ(p::CommOpen(nullptr), qx::InvalidHandle());
    EXPECT_EQ(p::CommOpen(""), qx::InvalidHandle());
}

TEST(CommOpen, PortIsExclusiveUntilClosed) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    qx::OsHandle first = p::CommOpen(peer.slavePath().c_str());
    ASSERT_NE(first, qx::InvalidHandle());
    int exclusive = 0;
    ASSERT_EQ(ioctl(peer.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(p::CommOpen(peer.slavePath().c_str()), qx::InvalidHandle());
    EXPECT_TRUE(p::CommClose(first));
    // The tty outlives the handle (the peer holds it): exclusive mode must not stay behind.
    ASSERT_EQ(ioctl(peer.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    Port again(peer.slavePath());
    EXPECT_TRUE(again.ok());
}

TEST(CommOpen, LineBecomesBinaryClean) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.SetLine({9600, 8, 'N', 1, false, true, true, true}));
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    const qxtest::LineState line = peer.Line();
    EXPECT_FALSE(line.canonical);
    EXPECT_FALSE(line.echo);
    EXPECT_FALSE(line.xonXoff);

    // Every byte value both ways, CR, LF, XON and XOFF included.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(port.SetTimeouts({100, 0, 2000, 0, 2000}));
    uint32_t done = 0;
    ASSERT_TRUE(p::CommWrite(port.handle(), all.data(), 256, &done));
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(peer.Read(256, 2000), all);
    peer.WriteLater(all, 0);
    Bytes back(256);
    ASSERT_TRUE(p::CommRead(port.handle(), back.data(), 256, &done));
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(back, all);
}

TEST(CommOpen, PlainFileOpensButHasNoCommState) {
    char path[] = "/tmp/qxcommfileXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    Port port(path);
    EXPECT_TRUE(port.ok());
    qx::DCB dcb{};
    EXPECT_FALSE(p::CommGetState(port.handle(), &dcb));
    EXPECT_FALSE(p::CommSetState(port.handle(), &dcb));
    // No time-outs at all: the end of the file must still end the read.
    ASSERT_TRUE(port.SetTimeouts({0, 0, 0, 0, 0}));
    char buffer[8] = {};
    uint32_t done = 0;
    EXPECT_TRUE(p::CommRead(port.handle(), buffer, sizeof buffer, &done));
    EXPECT_EQ(std::string(buffer, done), "abc");
    unlink(path);
}

// Why a port cannot be used: what CommOpen (and the first line-settings read) records, and
// what TryPort finds without taking the port; the two must agree, and TryPort must leave the
// line as it was.
TEST(CommOpen, FailuresRecordWhy) {
    NoComDir noDir;
    qxtest::PtyPeer free;
    qxtest::PtyPeer held;
    ASSERT_TRUE(free.ok() && held.ok());
    const qxtest::LineState line = {9600, 7, 'E', 2, false, true, true, true};
    Port holder(held.slavePath());
    ASSERT_TRUE(holder.ok());
    char folder[] = "/tmp/qxcommwhyXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string plain = dir + "/plain";
    FILE* file = std::fopen(plain.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_EQ(symlink((dir + "/gone").c_str(), (dir + "/dangling").c_str()), 0);
    // Network ports: a server that agrees, one that takes no RFC 2217 commands, and a port
    // nobody listens on.
    qxtest::ComPortServer server;
    qxtest::ComPortServer::Behaviour refusing;
    refusing.agree = false;
    qxtest::ComPortServer plainServer(refusing);
    std::string nobody;
    {
        qxtest::ComPortServer gone;
        nobody = gone.Url();
    }

    const struct {
        std::string name;
        std::string path;  // as resolved
        p::PortProblem problem;
        uint32_t error;
        const char* says;  // in the description, when not ""
    } cases[] = {
        {free.slavePath(), free.slavePath(), p::PortProblem::None, 0, "opens"},
        {held.slavePath(), held.slavePath(), p::PortProblem::InUse, EBUSY, "in use"},
        {dir + "/missing", dir + "/missing", p::PortProblem::NoSuchPort, ENOENT, "no such port"},
        {dir + "/dangling", dir + "/dangling", p::PortProblem::NoSuchPort, ENOENT, ""},
        {"COM0", "", p::PortProblem::NoSuchPort, ENOENT, ""},
        {plain, plain, p::PortProblem::NotSerial, ENOTTY, "not a serial device"},
        {dir, dir, p::PortProblem::NotSerial, EISDIR, ""},
        {server.Url(), server.Url(), p::PortProblem::None, 0, "opens"},
        {plainServer.Url(), plainServer.Url(), p::PortProblem::Other, EPROTONOSUPPORT,
         "takes no RFC 2217 commands"},
        {nobody, nobody, p::PortProblem::Other, ECONNREFUSED, "no connection"},
        {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1", p::PortProblem::Other, EINVAL,
         "not a network port name"},
        // A success after failures leaves no reason behind.
        {free.slavePath(), free.slavePath(), p::PortProblem::None, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(free.SetLine(line));  // CommOpen below makes it raw
        const p::PortFailure tried = p::TryPort(c.name.c_str());
        EXPECT_EQ(tried.problem, c.problem);
        EXPECT_EQ(tried.osError, c.error);
        EXPECT_EQ(tried.path, c.path);
        const qxtest::LineState after = free.Line();
        EXPECT_EQ(after.baud, line.baud);
        EXPECT_TRUE(after.canonical);
        EXPECT_TRUE(after.echo);

        const qx::OsHandle handle = p::CommOpen(c.name.c_str());
        if (handle != qx::InvalidHandle()) {
            qx::DCB dcb{};
            p::CommGetState(handle, &dcb);
        }
        const p::PortFailure recorded = p::LastPortFailure();
        if (handle != qx::InvalidHandle()) p::CommClose(handle);
        EXPECT_EQ(recorded.problem, c.problem);
        EXPECT_EQ(recorded.osError, c.error);
        EXPECT_EQ(recorded.name, c.name);
        EXPECT_EQ(recorded.path, c.path);
        EXPECT_EQ(p::DescribePortFailure(recorded).empty(), false);
        EXPECT_NE(p::DescribePortFailure(recorded).find(c.says), std::string::npos)
            << p::DescribePortFailure(recorded);
    }
    unlink(plain.c_str());
    unlink((dir + "/dangling").c_str());
    rmdir(dir.c_str());
}

uint8_t DcbParity(char peerParity) {
    switch (peerParity) {
        case 'O':
            return qx::kOddParity;
        case 'E':
            return qx::kEvenParity;
        case 'M':
            return 3;
        case 'S':
            return 4;
        default:
            return qx::kNoParity;
    }
}

TEST(CommState, LineSettingsReachTheFarEndAndReadBack) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    const struct {
        uint32_t baud;
        uint8_t byteSize;
        uint8_t parity;
        uint8_t stopBits;
        int peerStopBits;
    } cases[] = {
        {19200, 8, 0, 0, 1},  {115200, 8, 1, 0, 1}, {921600, 7, 2, 2, 2},  {460800, 5, 3, 0, 1},
        {230400, 6, 4, 2, 2}, {250000, 8, 0, 0, 1}, {4000000, 8, 0, 0, 1},
    };
    for (const auto& c : cases) {
        qx::DCB dcb{};
        ASSERT_TRUE(p::CommGetState(port.handle(), &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        ASSERT_TRUE(p::CommSetState(port.handle(), &dcb)) << c.baud;
        const qxtest::LineState line = peer.Line();
        EXPECT_EQ(line.baud, c.baud);
        EXPECT_EQ(line.stopBits, c.peerStopBits) << c.baud;

        // Recent kernels force a pseudo-terminal to 8 bits without parity: what the far end
        // sees is the reference, and GetState must report exactly that, not what was asked.
        qx::DCB back{};
        ASSERT_TRUE(p::CommGetState(port.handle(), &back));
        EXPECT_EQ(back.DCBlength, 28u);
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, line.byteSize) << c.baud;
        EXPECT_EQ(back.Parity, DcbParity(line.parity)) << c.baud;
        EXPECT_EQ(back.StopBits, c.stopBits);
    }
}

TEST(CommState, FlowControlAndModemLinesOnALineWithoutThem) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    qx::DCB dcb{};
    ASSERT_TRUE(p::CommGetState(port.handle(), &dcb));
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(p::CommSetState(port.handle(), &dcb));
    EXPECT_TRUE(peer.Line().rtsCts);

    // A pseudo-terminal has no DTR/RTS lines: setting them must not fail, and the state
    // reads back as written.
    dcb.fOutxCtsFlow = 0;
    dcb.fDtrControl = qx::kDtrControlEnable;
    dcb.fRtsControl = qx::kRtsControlEnable;
    ASSERT_TRUE(p::CommSetState(port.handle(), &dcb));
    EXPECT_FALSE(peer.Line().rtsCts);
    qx::DCB back{};
    ASSERT_TRUE(p::CommGetState(port.handle(), &back));
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.fDtrControl, 1u);
    EXPECT_EQ(back.fRtsControl, 1u);
    EXPECT_EQ(back.fBinary, 1u);
}

TEST(CommState, InvalidSettingsAreRefusedAndLeaveTheLine) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    qx::DCB good{};
    ASSERT_TRUE(p::CommGetState(port.handle(), &good));
    good.BaudRate = 57600;
    ASSERT_TRUE(p::CommSetState(port.handle(), &good));
    const struct {
        const char* what;
        void (*spoil)(qx::DCB&);
    } cases[] = {
        {"baud 0 (would hang up)", [](qx::DCB& d) { d.BaudRate = 0; }},
        {"byte size 4", [](qx::DCB& d) { d.ByteSize = 4; }},
        {"byte size 9", [](qx::DCB& d) { d.ByteSize = 9; }},
        {"parity 5", [](qx::DCB& d) { d.Parity = 5; }},
        {"stop bits 3", [](qx::DCB& d) { d.StopBits = 3; }},
    };
    for (const auto& c : cases) {
        qx::DCB bad = good;
        c.spoil(bad);
        EXPECT_FALSE(p::CommSetState(port.handle(), &bad)) << c.what;
        EXPECT_EQ(peer.Line().baud, 57600u) << c.what;
    }
    EXPECT_FALSE(p::CommSetState(port.handle(), nullptr));
    EXPECT_FALSE(p::CommGetState(port.handle(), nullptr));
}

TEST(CommHandle, InvalidHandlesFailEverywhere) {
    uint8_t byte = 0;
    uint32_t done = 7;
    qx::DCB dcb{};
    qx::COMMTIMEOUTS t{};
    for (qx::OsHandle h : {qx::InvalidHandle(), static_cast<qx::OsHandle>(nullptr)}) {
        EXPECT_FALSE(p::CommGetState(h, &dcb));
        EXPECT_FALSE(p::CommSetState(h, &dcb));
        EXPECT_FALSE(p::CommSetup(h, 1024, 1024));
        EXPECT_FALSE(p::CommGetTimeouts(h, &t));
        EXPECT_FALSE(p::CommSetTimeouts(h, &t));
        EXPECT_FALSE(p::CommPurge(h, 0x0C));
        EXPECT_FALSE(p::CommRead(h, &byte, 1, &done));
        EXPECT_EQ(done, 0u);
        EXPECT_FALSE(p::CommWrite(h, &byte, 1, &done));
        EXPECT_FALSE(p::CommClose(h));
    }
}

// One read against a scripted far end: what comes back and how long it takes.
struct ReadCase {
    const char* what;
    qx::COMMTIMEOUTS timeouts;
    Bytes before;  // already waiting when the read starts
    Bytes later;   // sent during the read
    int laterDelayMs;
    size_t chunk;  // pieces of `later` (0: one piece)
    int gapMs;
    uint32_t count;
    uint32_t expected;
    int64_t minMs;
    int64_t maxMs;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.what;
}

// The same reads over the network: the pseudo-terminal served by ser2net and opened as
// rfc2217://127.0.0.1:PORT, with the time-outs meaning what they mean on the port itself.
void RunReadCase(const ReadCase& c, bool overSer2net) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    qxtest::Ser2net server;
    if (overSer2net) {
        ASSERT_TRUE(server.Start(peer.slavePath())) << server.error();
    }
    Port port(overSer2net ? server.Url() : peer.slavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts(c.timeouts));
    if (!c.before.empty()) {
        ASSERT_TRUE(peer.Write(c.before));
        if (overSer2net) {
            // ser2net reads the tty at once; give the bytes their way to this side.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            ASSERT_EQ(peer.WaitHostInput(c.before.size(), 2000), c.before.size());
        }
    }
    if (!c.later.empty()) peer.WriteLater(c.later, c.laterDelayMs, c.chunk, c.gapMs);

    Bytes buffer(c.count + 16, 0xEE);
    uint32_t done = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(p::CommRead(port.handle(), buffer.data(), c.count, &done));
    const int64_t elapsed = MsSince(start);
    peer.WaitWrites();

    EXPECT_EQ(done, c.expected);
    Bytes expected = c.before;
    expected.insert(expected.end(), c.later.begin(), c.later.end());
    expected.resize(c.expected);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + done), expected);
    EXPECT_EQ(buffer[c.count], 0xEE) << "wrote past the count";
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
}

class CommReadTiming : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CommReadTiming, ReturnsWhatArrivedWhenTheRulesSay) {
    RunReadCase(GetParam(), false);
}

class CommReadTimingOverSer2net : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CommReadTimingOverSer2net, ReturnsWhatArrivedWhenTheRulesSay) {
    RunReadCase(GetParam(), true);
}

const Bytes k3 = {0x41, 0x42, 0x0D};
const Bytes k10 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// clang-format off
const ReadCase kReadCases[] = {
    ReadCase{"nothing: total time-out", {0, 0, 300, 0, 0}, {}, {}, 0, 0, 0, 10, 0, 280, 700},
    ReadCase{"total grows with the count", {0, 100, 0, 0, 0}, {}, {}, 0, 0, 0, 5, 0, 480, 1100},
    ReadCase{"short reply: interval, not total", {200, 0, 3000, 0, 0}, {}, k3, 0, 0, 0, 10, 3, 180,
        1000},
    ReadCase{"full count at once", {500, 0, 3000, 0, 0}, k10, {}, 0, 0, 0, 10, 10, 0, 250},
    ReadCase{"trickle shorter than the interval", {300, 0, 5000, 0, 0}, {}, k10, 0, 2, 40, 10, 10,
        120, 1500},
    ReadCase{"more than asked stays buffered", {0, 0, 2000, 0, 0}, k10, {}, 0, 0, 0, 4, 4, 0, 250},
    ReadCase{"interval waits for the first byte", {200, 0, 0, 0, 0}, {}, k3, 300, 0, 0, 10, 3, 480,
        1300},
    ReadCase{ "all zero: wait for the count", {0, 0, 0, 0, 0}, {}, k10, 0, 5, 250, 10, 10, 240,
        1200},
    ReadCase{"MAXDWORD/0/0: nothing, at once", {kMax, 0, 0, 0, 0}, {}, {}, 0, 0, 0, 10, 0, 0, 100},
    ReadCase{"MAXDWORD/0/0: what is buffered", {kMax, 0, 0, 0, 0}, k3, {}, 0, 0, 0, 10, 3, 0, 100},
    ReadCase{"MAXDWORD/MAXDWORD/c: first arrival", {kMax, kMax, 2000, 0, 0}, {}, k3, 150, 0, 0, 10,
        3, 140, 900},
    ReadCase{ "MAXDWORD/MAXDWORD/c: nothing", {kMax, kMax, 400, 0, 0}, {}, {}, 0, 0, 0, 10, 0, 380,
        1000},
};
// clang-format on

std::string ReadCaseName(const ::testing::TestParamInfo<ReadCase>& info) {
    std::string name;
    for (const char* p = info.param.what; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rules, CommReadTiming, ::testing::ValuesIn(kReadCases), ReadCaseName);
INSTANTIATE_TEST_SUITE_P(Rules, CommReadTimingOverSer2net, ::testing::ValuesIn(kReadCases),
                         ReadCaseName);

TEST(CommWrite, WriteTimeOutEndsAStalledWriteWithAShortCount) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({0, 0, 300, 0, 300}));
    Bytes big(4 << 20, 0x55);  // far more than a pseudo-terminal buffers; the peer never reads
    uint32_t done = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(p::CommWrite(port.handle(), big.data(), static_cast<uint32_t>(big.size()), &done));
    const int64_t elapsed = MsSince(start);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size());
    EXPECT_GE(elapsed, 280);
    EXPECT_LE(elapsed, 1500);
}

TEST(CommWrite, LargeWriteArrivesIntactWhileThePeerReads) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({0, 0, 300, 1, 2000}));
    Bytes data(256 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    Bytes received;
    std::thread reader([&] { received = peer.Read(data.size(), 10000); });
    uint32_t done = 0;
    EXPECT_TRUE(
        p::CommWrite(port.handle(), data.data(), static_cast<uint32_t>(data.size()), &done));
    reader.join();
    EXPECT_EQ(done, data.size());
    EXPECT_TRUE(received == data);
}

TEST(CommPurge, ReceiveClearDropsPendingInput) {
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    Port port(peer.slavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(peer.Write(k10));
    ASSERT_EQ(peer.WaitHostInput(10, 2000), 10u);
    EXPECT_TRUE(p::CommPurge(port.handle(), qx::kPurgeTxClear | qx::kPurgeRxClear));
    EXPECT_EQ(peer.WaitHostInput(1, 0), 0u);
    ASSERT_TRUE(port.SetTimeouts({kMax, 0, 0, 0, 0}));
    uint8_t buffer[10];
    uint32_t done = 99;
    EXPECT_TRUE(p::CommRead(port.handle(), buffer, sizeof buffer, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(p::CommPurge(port.handle(), qx::kPurgeRxAbort | qx::kPurgeTxAbort));
    EXPECT_FALSE(p::CommPurge(port.handle(), 0x10));
}

TEST(CommRead, PeerHangUpFailsTheReadInsteadOfSpinning) {
    auto peer = std::make_unique<qxtest::PtyPeer>();
    ASSERT_TRUE(peer->ok()) << peer->error();
    Port port(peer->slavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({0, 0, 0, 0, 0}));  // no time-out at all
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.reset();
    });
    uint8_t buffer[4];
    uint32_t done = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(p::CommRead(port.handle(), buffer, sizeof buffer, &done));
    EXPECT_LT(MsSince(start), 2000);
    closer.join();
}

// The pseudo-terminal behind ser2net, opened as rfc2217://: every byte value both ways (0xFF
// is the Telnet escape), the speeds the host sets reach the tty, and the tty going away fails
// a read that has no time-out.
TEST(CommOverSer2net, EveryByteTheSpeedAndAHangUp) {
    auto peer = std::make_unique<qxtest::PtyPeer>();
    ASSERT_TRUE(peer->ok()) << peer->error();
    qxtest::Ser2net server;
    ASSERT_TRUE(server.Start(peer->slavePath())) << server.error();
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({100, 0, 2000, 0, 2000}));
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    all.insert(all.end(), {0xFF, 0xFF, 0x0D, 0x00, 0xFF, 0xFA});
    uint32_t done = 0;
    ASSERT_TRUE(p::CommWrite(port.handle(), all.data(), static_cast<uint32_t>(all.size()), &done));
    EXPECT_EQ(done, all.size());
    EXPECT_EQ(peer->Read(all.size(), 2000), all);
    peer->WriteLater(all, 0);
    Bytes back(all.size());
    ASSERT_TRUE(p::CommRead(port.handle(), back.data(), static_cast<uint32_t>(back.size()), &done));
    EXPECT_EQ(done, all.size());
    EXPECT_EQ(back, all);

    for (uint32_t rate : {19200u, 921600u, 250000u, 115200u}) {
        qx::DCB dcb{};
        ASSERT_TRUE(p::CommGetState(port.handle(), &dcb));
        dcb.BaudRate = rate;
        ASSERT_TRUE(p::CommSetState(port.handle(), &dcb)) << rate;
        EXPECT_EQ(peer->Line().baud, rate);
        ASSERT_TRUE(p::CommGetState(port.handle(), &dcb));
        EXPECT_EQ(dcb.BaudRate, rate);
    }

    ASSERT_TRUE(port.SetTimeouts({0, 0, 0, 0, 0}));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.reset();
    });
    uint8_t buffer[4];
    const auto start = Clock::now();
    EXPECT_FALSE(p::CommRead(port.handle(), buffer, sizeof buffer, &done));
    EXPECT_LT(MsSince(start), 3000);
    closer.join();
}

}  // namespace
