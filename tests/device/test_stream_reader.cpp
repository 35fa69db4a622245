// The stream reader over a real pseudo-terminal: the test writes raw bytes on the master
// side, the device object reads the slave as its COM port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"

namespace qx {
namespace {

// A pty whose slave is linked as COM5 in a private QX_COM_DIR.
class PtyPort {
  public:
    PtyPort() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* slave = ptsname(master_);
        if (slave == nullptr) return;
        // Hold the slave open so that the line survives the device's close.
        slaveHold_ = open(slave, O_RDWR | O_NOCTTY);
        termios tio{};
        tcgetattr(master_, &tio);
        cfmakeraw(&tio);
        tcsetattr(master_, TCSANOW, &tio);
        char pattern[] = "/tmp/qxstream-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        std::filesystem::create_symlink(slave, dir_ + "/COM5");
        setenv("QX_COM_DIR", dir_.c_str(), 1);
        ok_ = slaveHold_ >= 0;
    }
    ~PtyPort() {
        if (master_ >= 0) close(master_);
        if (slaveHold_ >= 0) close(slaveHold_);
        unsetenv("QX_COM_DIR");
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    bool ok() const { return ok_; }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

  private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string dir_;
    bool ok_ = false;
};

std::mutex g_mutex;
std::vector<std::vector<uint32_t>> g_batches;
std::vector<int32_t> g_flags;

void Collect(uint32_t* values, int32_t count, int32_t bigEndian) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_batches.emplace_back(values, values + count);
    g_flags.push_back(bigEndian);
}

struct StreamCase {
    const char* name;
    int32_t recordCount;
    uint8_t recordLength;
    int32_t bigEndian;
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint32_t>> batches;
};

class StreamReaderTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamReaderTest, DeliversRecords) {
    const StreamCase& c = GetParam();
    PtyPort pty;
    ASSERT_TRUE(pty.ok());
    QXVorrel device;
    ASSERT_EQ(device.OpenPortByName("COM5"), VR_S_OK);
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_batches.clear();
        g_flags.clear();
    }
    device.streamRecordCount = c.recordCount;
    device.streamRecordLength = c.recordLength;
    device.streamBigEndian = c.bigEndian;
    device.streamCallback = Collect;
    device.streamActive = 1;
    std::thread reader(QXVorrel::StreamReader, &device);
    pty.Send(c.bytes);
    // The read ends after the 200 ms interval time-out; give it time on a loaded machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    device.streamActive = 0;
    reader.join();

    std::lock_guard<std::mutex> hold(g_mutex);
    EXPECT_EQ(g_batches, c.batches);
    for (int32_t flag : g_flags) EXPECT_EQ(flag, c.bigEndian);
}

INSTANTIATE_TEST_SUITE_P(
    Records, StreamReaderTest,
    ::testing::Values(StreamCase{"le16", 1, 2, 0, {0x34, 0x12}, {{0x1234}}},
                      StreamCase{"be16", 1, 2, 1, {0x12, 0x34}, {{0x1234}}},
                      // Five bytes of 2-byte records: two records, the odd byte dropped.
                      StreamCase{
                          "partial", 3, 2, 0, {0x01, 0x00, 0x02, 0x00, 0x03}, {{0x0001, 0x0002}}},
                      StreamCase{"tooShort", 2, 2, 0, {0x01}, {}},
                      StreamCase{"be8", 2, 1, 1, {0xAB, 0xCD}, {{0xAB, 0xCD}}},
                      StreamCase{"be24", 1, 3, 1, {0x12, 0x34, 0x56}, {{0x123456}}},
                      StreamCase{"be32", 1, 4, 1, {0x12, 0x34, 0x56, 0x78}, {{0x12345678}}},
                      // Little-endian: the value of all L bytes, least significant first.
                      StreamCase{"le8", 1, 1, 0, {0x78}, {{0x78}}},
                      StreamCase{"le24", 1, 3, 0, {0x78, 0x56, 0x34}, {{0x345678}}},
                      StreamCase{"le32", 1, 4, 0, {0x78, 0x56, 0x34, 0x12}, {{0x12345678}}}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST(StreamReader, RefusesRecordShapesItCannotDeliver) {
    struct Shape {
        int32_t count;
        uint8_t length;
    };
    const Shape shapes[] = {{4, 0}, {4, 5}, {4, 255}, {0, 2}, {-1, 2}, {0x7FFFFFFF, 4}};
    PtyPort pty;
    ASSERT_TRUE(pty.ok());
    QXVorrel device;
    ASSERT_EQ(device.OpenPortByName("COM5"), VR_S_OK);
    device.streamCallback = Collect;
    pty.Send({0x11, 0x22, 0x33});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const Shape& shape : shapes) {
        device.streamRecordCount = shape.count;
        device.streamRecordLength = shape.length;
        device.streamActive = 1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QXVorrel::StreamReader(&device), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100))
            << "count " << shape.count << " length " << int(shape.length);
    }
    // Nothing was read: the bytes are still waiting on the port.
    uint8_t waiting[3] = {};
    EXPECT_EQ(device.port->Read(waiting, 3), 3u);
    EXPECT_EQ(waiting[0], 0x11);
    EXPECT_EQ(waiting[2], 0x33);
}

TEST(StreamReader, StopsWhenThePortIsClosedWithoutSpinning) {
    QXVorrel device;  // never opened
    device.streamRecordCount = 4;
    device.streamRecordLength = 2;
    device.streamCallback = Collect;
    device.streamActive = 1;
    std::thread reader(QXVorrel::StreamReader, &device);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device.ClosePort();  // clears streamActive
    reader.join();
    EXPECT_EQ(device.streamActive.load(), 0);
}

}  // namespace
}  // namespace qx
