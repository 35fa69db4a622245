// The frame shared by the four long transfers (ReadBlock, WriteBlock, BulkRead, BulkWrite):
// progress reports, the port lock and exit steps, and building a request that may carry two
// random bytes and be encrypted. Internal to the device library.
//
// A transfer runs:
//
//     TransferFrame frame(*this, callback);
//     ... checks that need no exchange; on failure: return frame.Finish(code, order);
//     frame.progress().Start(total);                    // (transfers that report)
//     if (int32_t busy = frame.Acquire()) return frame.Finish(busy, order);
//     frame.Prepare(kDefaultReadTimeoutMs);             // SetReadTimeout + Purge
//     for (each packet) {
//         if (frame.Canceled("QXVorrel: ... - Operation Canceled"))
//             return frame.Finish(VR_E_OPERATION_CANCELED, order);
//         n = 0; request[n++] = command; request[n++] = count;
//         const uint32_t run = n;                       // the encrypted run starts here
//         if (encrypted) n += PutRandomPair(request + n);
//         ... address bytes, data ...
//         n = SealRequest(*this, request, run, n, encrypted, &chain);
//         ... Write, Read, check, DecryptBuffer(device, chain, ...) ...
//         frame.progress().PacketDone();
//     }
//     return frame.Finish(VR_S_OK, order);
#pragma once

#include <cstdint>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"

namespace qx {

// The TransferProgress record of one call; every report is a no-op without a callback.
class TransferProgressReporter {
  public:
    explicit TransferProgressReporter(TransferCallback callback);

    void Start(uint32_t total);  // state 1, done 0
    void PacketDone();           // done + 1, state 0
    void Finished();             // state 2
    const TransferProgress& record() const { return record_; }

  private:
    void Report();

    TransferCallback callback_;
    TransferProgress record_;
};

// Where the finished report goes relative to restoring the 300 ms read time-out:
// WriteBlock and BulkWrite report first, BulkRead restores first.
enum class FinishOrder { ReportThenRestore, RestoreThenReport };

class TransferFrame {
  public:
    TransferFrame(QXVorrel& device, TransferCallback callback);
    TransferFrame(const TransferFrame&) = delete;
    TransferFrame& operator=(const TransferFrame&) = delete;

    TransferProgressReporter& progress() { return progress_; }

    // AcquirePort: 0 when the transfer may go on (the lock is then released by Finish),
    // VR_E_PORT_BUSY when it must end (Finish then leaves the lock alone).
    int32_t Acquire();
    bool LockTaken() const { return lockTaken_; }

    // SetReadTimeout(readTimeoutMs), then Purge.
    void Prepare(uint32_t readTimeoutMs);

    // True when cancelRequested is set; `message` is logged then.
    bool Canceled(const char* message);

    // The exit steps on every path: the read time-out back to 300 ms (nothing when the port
    // is closed) and the finished report in `order`; when Acquire took the lock,
    // cancelRequested cleared and the lock released. Returns `result`.
    int32_t Finish(int32_t result, FinishOrder order);

  private:
    QXVorrel& device_;
    TransferProgressReporter progress_;
    bool lockTaken_ = false;
};

// Sets the read time-out back to 300 ms for a call that never took the port lock (an early
// refusal, or VR_E_PORT_BUSY), but only while no exchange holds the lock: the exchange of
// another thread owns the port's time-outs until its own exit (a BulkWrite waits 6000 ms for
// each acknowledgement). Nothing when the port is closed.
void RestoreReadTimeoutWhenIdle(QXVorrel& device);

inline constexpr uint32_t kRandomPairSize = 2;

// Writes the two pseudo-random bytes of an encrypted request (the low bytes of two rand()
// draws; the generator is never seeded by the library). Returns kRandomPairSize.
uint32_t PutRandomPair(uint8_t* at);

// Closes a request of `length` bytes: when `encrypt`, encrypts request[runStart, length) in
// place with a fresh chain, then stores the checksum of request[0, length) at
// request[length]. Returns the full request length (length + 1). *chainOut (may be null)
// receives the chain byte that decrypts the device's reply, 0 for a plain request.
uint32_t SealRequest(QXVorrel& device, uint8_t* request, uint32_t runStart, uint32_t length,
                     bool encrypt, uint8_t* chainOut);

}  // namespace qx
