// qxtool end to end: the built executable against simulated devices on pseudo-terminals
// registered as COM ports in a temporary QX_COM_DIR (simulators in this process, and qxsim
// processes where the test is about many ports). What its files share: records written from
// the format descriptions, a port held by another process, and the fixture that tells whether
// work reached a device. The including target defines QXTOOL_EXE. POSIX only.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qxtool/json_reader.h"
#include "qxtool/tool_fixture.h"
#include "qxtool/tool_process.h"
#include "sim.h"

namespace qxtest::e2e {

namespace fs = std::filesystem;

inline std::string HexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// Records built here from the format descriptions, not with the tool's writer.
inline std::string IntelRecord(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                 static_cast<uint8_t>(type)};
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    for (uint8_t b : body) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(0x100 - (sum & 0xFF)) + "\n";
}

inline std::string SRecord(char type, unsigned address, unsigned addressBytes,
                           const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
    for (unsigned i = addressBytes; i-- > 0;)
        body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = std::string("S") + type;
    for (uint8_t b : body) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(~sum) + "\n";
}

inline bool HaveSrecCat() {
    static const bool have = std::system("srec_cat -version >/dev/null 2>&1") == 0;
    return have;
}

// A port held the way another program of this library holds it: open, with an flock.
class HeldPort {
  public:
    explicit HeldPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~HeldPort() {
        if (fd_ >= 0) close(fd_);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

// How the tool names this process as a port's holder.
inline std::string ThisProcess() {
    std::string comm = qxtest::ReadText("/proc/self/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return "(" + comm + ", process " + std::to_string(getpid()) + ")";
}

// Requests that move or change memory, EEPROM, banks or speed: none of them may reach the
// device when qxtool refuses its input.
inline const std::set<std::string> kWork = {"R", "W", "w",  "X", "ZR", "ZW",
                                            "E", "e", "HW", "S", "B",  "8"};

class Qxtool : public qxtest::ToolFixture {
  protected:
    static std::vector<std::string> Commands(const qxsim::Simulator& sim) {
        std::vector<std::string> commands;
        for (const auto& entry : sim.Transcript()) commands.push_back(entry.command);
        return commands;
    }
    static void ExpectNoWork(const qxsim::Simulator& sim) {
        for (const auto& command : Commands(sim))
            EXPECT_EQ(kWork.count(command), 0u) << "request " << command << " reached the device";
    }
};

}  // namespace qxtest::e2e
