// PtyPeer: the far end of a serial line for tests, on a real pseudo-terminal.
//
//     qxtest::PtyPeer peer;                 // master here, slave path for the code under test
//     ASSERT_TRUE(peer.ok()) << peer.error();
//     qxtest::ComDir coms;                  // private QX_COM_DIR for this object's life
//     coms.Link("COM7", peer.slavePath());  // "\\.\COM7" now opens the slave
//     peer.WriteLater({0x41, 0x42}, 100);   // a reply 100 ms from now
//     auto bytes = peer.Read(3, 500);       // what the host wrote (up to 3 bytes, 500 ms)
//     EXPECT_EQ(peer.Line().baud, 115200u); // line settings the host put on the slave
//
// The peer keeps a slave descriptor of its own open (it never reads it): without one, a
// master read fails with EIO whenever the host has the port closed. POSIX (Linux) only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qxtest {

// Line settings of the slave side, read from its termios.
struct LineState {
    uint32_t baud = 0;
    int byteSize = 0;     // 5..8
    char parity = 'N';    // 'N', 'O', 'E', 'M' (mark), 'S' (space)
    int stopBits = 1;     // 1 or 2
    bool rtsCts = false;  // hardware flow control (CRTSCTS)
    bool xonXoff = false;
    bool canonical = false;
    bool echo = false;
};

class PtyPeer {
  public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    // The peer's own slave descriptor: for ioctls on the tty, never for reading.
    int slaveFd() const { return slave_; }

    // Waits at most timeoutMs until `count` bytes from the host have arrived; returns what
    // arrived (fewer on time-out). One read call per wake-up.
    std::vector<uint8_t> Read(size_t count, int timeoutMs);
    // Everything from the host until nothing new arrived for quietMs.
    std::vector<uint8_t> Drain(int quietMs);

    // Sends bytes to the host at once (all of them).
    bool Write(const std::vector<uint8_t>& bytes);
    // Sends bytes from a background thread: after delayMs, in pieces of chunkSize bytes
    // (0: all at once) with gapMs between pieces. The delay counts from this call; the
    // pieces of two writers never interleave.
    void WriteLater(std::vector<uint8_t> bytes, int delayMs, size_t chunkSize = 0, int gapMs = 0);
    // Waits for every background writer to finish.
    void WaitWrites();

    // Bytes the host has not read yet (input queued on the slave); waits until at least
    // `count` are queued or timeoutMs passed, and returns the number queued.
    size_t WaitHostInput(size_t count, int timeoutMs) const;

    LineState Line() const;
    // Puts line settings on the slave (as another program might have left them).
    bool SetLine(const LineState& line);

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string error_;
    std::mutex writersMutex_;
    std::vector<std::thread> writers_;
    std::mutex writeOrder_;
};

// A private directory of COM links, published as QX_COM_DIR while the object lives (the
// previous value is restored afterwards). One at a time per process.
class ComDir {
  public:
    ComDir();
    ~ComDir();
    ComDir(const ComDir&) = delete;
    ComDir& operator=(const ComDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Makes path()/name a symbolic link to target.
    bool Link(const std::string& name, const std::string& target);

  private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace qxtest
