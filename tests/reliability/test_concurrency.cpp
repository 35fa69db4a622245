// Several threads on one device object: the port lock keeps their exchanges apart on the
// wire, every thread that cannot get it in 1200 ms gets VR_E_PORT_BUSY (and nothing else),
// a cancellation from another thread stops exactly the transfer it was meant for, and the
// stream reader starts and stops cleanly on its own thread. Run under ThreadSanitizer by
// scripts/sanitize.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "pty_peer.h"
#include "sim_fixture.h"
#include "support/elapsed.h"

namespace {

using namespace qx;
using qxtest::Clock;
using qxtest::MsSince;

constexpr int64_t kLockWaitMs = kPortLockWaitMs;
constexpr uint32_t kConstantMs = kDefaultReadTimeoutMs;
// Scheduling on a loaded two-core machine under ThreadSanitizer.
constexpr int64_t kToleranceMs = 700;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 3u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

// Every request the simulator saw is whole, known and answered: two exchanges that
// interleaved on the wire would show up as unknown, incomplete or badly summed requests.
void ExpectCleanTranscript(const std::vector<qxsim::TranscriptEntry>& transcript) {
    for (size_t i = 0; i < transcript.size(); ++i) {
        const qxsim::TranscriptEntry& e = transcript[i];
        EXPECT_EQ(e.outcome, qxsim::Outcome::Answered)
            << "request " << i << ": " << qxsim::FormatTranscriptEntry(e);
        EXPECT_FALSE(e.command.empty())
            << "request " << i << ": " << qxsim::FormatTranscriptEntry(e);
        ASSERT_GE(e.bytes.size(), 2u);
        EXPECT_EQ(PacketChecksum(e.bytes.data(), static_cast<int32_t>(e.bytes.size() - 1)),
                  e.bytes.back())
            << "request " << i << ": " << qxsim::FormatTranscriptEntry(e);
    }
}

// --- several threads hammering one device object

std::atomic<int> gPackets{0};
std::atomic<bool> gCancelArmed{false};
QXVorrel* gDevice = nullptr;

// After the second packet of an armed transfer, waits (bounded) until the canceler thread
// has asked for the cancellation, so that the transfer sees it before its next packet.
void CountPackets(TransferProgress* progress) {
    if (progress->state != kProgressPacket) return;
    if (gPackets.fetch_add(1) + 1 != 2 || !gCancelArmed) return;
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (gDevice->cancelRequested.load() == 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Call {
    const char* what;
    int32_t result;
    int64_t ms;
    uint32_t requests;  // requests this call put on the wire when it succeeded
};

TEST(Concurrency, ThreadsHammeringOneDeviceNeverInterleave) {
    constexpr int kWorkers = 4;
    constexpr int kMinIterations = 25;
    constexpr uint32_t kTransferLength = 32768;  // 8 bulk packets
    constexpr uint32_t kTransferAddress = 0x8000;

    qxsim::Config config = qxtest::SimConfig('O', 10, 15);
    config.image = Pattern(0x10000, 9);
    config.eeprom = Pattern(0x400, 4);
    // Replies at the pace of a real 115200-baud line: a 4 KiB packet takes about 360 ms, so
    // a bulk transfer holds the lock for seconds and the workers must lose some rounds.
    config.throttle = true;
    qxtest::SimDevice dev(config);
    ASSERT_TRUE(dev.Start());
    dev.AdoptModel();
    dev.device().AttachLogWindow(nullptr);  // the log sink belongs to one thread
    dev.Reset();
    QXVorrel& d = dev.device();
    gDevice = &d;

    std::mutex callsMutex;
    std::vector<Call> calls;
    auto record = [&](const char* what, int32_t result, Clock::time_point start,
                      uint32_t requests) {
        std::lock_guard lock(callsMutex);
        calls.push_back({what, result, MsSince(start), result == VR_S_OK ? requests : 0});
    };

    std::atomic<bool> transfersDone{false};
    std::vector<int32_t> transferResults;
    std::vector<uint8_t> firstRead, secondRead;
    const std::vector<uint8_t> written = Pattern(kTransferLength, 77);

    const std::vector<uint8_t> transferOriginal =
        dev.sim().ReadMemory(qxsim::kSpace2, kTransferAddress, kTransferLength);
    // The lock is not fair: the workers, calling back to back, can keep the transfer thread
    // out for longer than its 1200 ms wait. It then tries again, as a caller would.
    std::atomic<int> transferRetries{0};
    auto transferCall = [&](const char* what, uint32_t requests, auto&& call) {
        for (;;) {
            const auto t0 = Clock::now();
            const int32_t r = call();
            record(what, r, t0, requests);
            if (r != VR_E_PORT_BUSY || transferRetries.fetch_add(1) >= 50) return r;
        }
    };
    std::thread transfer([&] {
        firstRead.assign(kTransferLength, 0);
        transferResults.push_back(transferCall("BulkRead", 8, [&] {
            return d.BulkRead(firstRead.data(), kTransferLength, kTransferAddress, 0, CountPackets);
        }));

        // Canceled from another thread after its second packet.
        gPackets = 0;
        gCancelArmed = true;
        std::vector<uint8_t> scratch = Pattern(kTransferLength, 5);
        transferResults.push_back(transferCall("BulkWrite canceled", 0, [&] {
            return d.BulkWrite(scratch.data(), kTransferLength, kTransferAddress, 0, CountPackets);
        }));
        gCancelArmed = false;

        transferResults.push_back(transferCall("BulkWrite", 8, [&] {
            return d.BulkWrite(written.data(), kTransferLength, kTransferAddress, 0, nullptr);
        }));

        secondRead.assign(kTransferLength, 0);
        transferResults.push_back(transferCall("BulkRead", 8, [&] {
            return d.BulkRead(secondRead.data(), kTransferLength, kTransferAddress, 0, nullptr);
        }));
        transfersDone = true;
    });

    std::atomic<int> cancels{0};
    std::thread canceler([&] {
        const auto until = Clock::now() + std::chrono::seconds(60);
        while (!transfersDone && Clock::now() < until) {
            if (gCancelArmed && gPackets.load() >= 2) {
                d.cancelRequested = 1;
                cancels.fetch_add(1);
                gCancelArmed = false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    std::vector<std::thread> workers;
    std::atomic<int> dataErrors{0};
    const std::vector<uint8_t> blockExpected = dev.sim().ReadMemory(qxsim::kSpace2, 0x1000, 1024);
    const std::vector<uint8_t> eepromExpected(config.eeprom.begin() + 0x20,
                                              config.eeprom.begin() + 0x30);
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; (i < kMinIterations || !transfersDone) && i < 400; ++i) {
                const auto t0 = Clock::now();
                switch ((i + w) % 5) {
                    case 0: {
                        std::vector<uint8_t> block(256);
                        const uint32_t offset = 256u * static_cast<uint32_t>(w);
                        const int32_t r =
                            d.ReadBlock(block.data(), 256, 0x1000 + offset, 0, nullptr);
                        if (r == VR_S_OK &&
                            std::memcmp(block.data(), blockExpected.data() + offset, 256) != 0)
                            dataErrors.fetch_add(1);
                        record("ReadBlock", r, t0, 1);
                        break;
                    }
                    case 1: {
                        uint8_t bytes[16];
                        const int32_t r = d.ReadEEPROM(bytes, 0x20, 16);
                        if (r == VR_S_OK && std::memcmp(bytes, eepromExpected.data(), 16) != 0)
                            dataErrors.fetch_add(1);
                        record("ReadEEPROM", r, t0, 1);
                        break;
                    }
                    case 2: {
                        uint8_t bank = 0xEE;
                        const int32_t r = d.GetBank(&bank, (i / 5) % 2);
                        if (r == VR_S_OK && bank != 0) dataErrors.fetch_add(1);
                        record("GetBank", r, t0, 1);
                        break;
                    }
                    case 3:
                        record("SetBank", d.SetBank(0, 1, 0, 0), t0, 1);
                        break;
                    default: {
                        const uint8_t value = 0x5A;
                        record("WriteEEPROM", d.WriteEEPROM(&value, 0x200 + w, 1), t0, 1);
                        break;
                    }
                }
            }
        });
    }
    transfer.join();
    for (std::thread& t : workers) t.join();
    canceler.join();

    // The transfers: the cancellation hit the transfer it was meant for, and only that one.
    ASSERT_EQ(transferResults.size(), 4u);
    EXPECT_EQ(transferResults[0], VR_S_OK);
    EXPECT_EQ(transferResults[1], VR_E_OPERATION_CANCELED);
    EXPECT_EQ(transferResults[2], VR_S_OK);
    EXPECT_EQ(transferResults[3], VR_S_OK);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_EQ(firstRead, transferOriginal);
    EXPECT_EQ(secondRead, written);
    EXPECT_EQ(dataErrors.load(), 0);

    // Every call either did its exchange or lost the lock after its 1200 ms wait.
    int busy = 0, ok = 0;
    uint32_t expectedRequests = 0;
    for (const Call& c : calls) {
        if (std::string(c.what) == "BulkWrite canceled" && c.result != VR_E_PORT_BUSY) {
            EXPECT_EQ(c.result, VR_E_OPERATION_CANCELED);
            continue;
        }
        if (c.result == VR_E_PORT_BUSY) {
            ++busy;
            EXPECT_GE(c.ms, kLockWaitMs - 20) << c.what << " gave up before its wait";
            EXPECT_LE(c.ms, kLockWaitMs + kToleranceMs)
                << c.what << " waited too long for the lock";
        } else {
            EXPECT_EQ(c.result, VR_S_OK) << c.what << ": " << ResultCodeName(c.result);
            ++ok;
            // At most a full lock wait, then its own exchange.
            if (std::string(c.what).rfind("Bulk", 0) != 0) {
                EXPECT_LE(c.ms, kLockWaitMs + 600 + kToleranceMs) << c.what;
            }
        }
        expectedRequests += c.requests;
    }
    EXPECT_GT(busy, 0) << "the transfers never kept a worker out: the test proves nothing";
    EXPECT_GT(ok, kWorkers * kMinIterations / 2);

    // The wire: each successful call's requests, whole and answered; the canceled BulkWrite
    // sent its first packets (at least the two before the cancellation).
    const std::vector<qxsim::TranscriptEntry> transcript = dev.Transcript();
    ExpectCleanTranscript(transcript);
    EXPECT_GE(transcript.size(), expectedRequests + 2);
    EXPECT_LE(transcript.size(), expectedRequests + 8);

    EXPECT_EQ(d.portFree.load(), 1);
    EXPECT_EQ(d.cancelRequested.load(), 0);
    ASSERT_EQ(AcquirePort(d), VR_S_OK);
    ReleasePort(d);

    RecordProperty("workers", kWorkers);
    RecordProperty("calls", static_cast<int>(calls.size()));
    RecordProperty("busy", busy);
    std::printf(
        "[ figures  ] %d worker threads + 1 transfer thread + 1 canceler: %zu calls, "
        "%d VR_E_PORT_BUSY (%d of them the transfer thread's), %zu requests on the wire\n",
        kWorkers, calls.size(), busy, transferRetries.load(), transcript.size());
}

// --- every kind of exchange loses the lock the same way

TEST(Concurrency, EveryOperationGivesUpTheLockAfter1200ms) {
    qxsim::Config config = qxtest::SimConfig('O', 10, 15);
    qxtest::SimDevice dev(config);
    ASSERT_TRUE(dev.Start());
    dev.AdoptModel();
    dev.device().AttachLogWindow(nullptr);
    QXVorrel& d = dev.device();
    dev.Reset();

    struct Contender {
        const char* name;
        std::function<int32_t()> call;
        int64_t maxMs;  // its lock waits (WriteBlock's bulk path waits twice, with 800 ms between)
    };
    std::vector<uint8_t> block(512), bulk(4096), name(255), serial(9), flash(16), version(3);
    uint8_t eeprom[16], bank = 0;
    const uint8_t value = 1;
    const std::vector<Contender> contenders{
        {"ReadBlock", [&] { return d.ReadBlock(block.data(), 512, 0, 0, nullptr); }, kLockWaitMs},
        {"WriteBlock", [&] { return d.WriteBlock(block.data(), 512, 0, XferNoBulk, nullptr); },
         kLockWaitMs},
        {"WriteBlock bulk path", [&] { return d.WriteBlock(bulk.data(), 4096, 0, 0, nullptr); },
         2 * kLockWaitMs + 800},
        {"BulkRead", [&] { return d.BulkRead(bulk.data(), 4096, 0, 0, nullptr); }, kLockWaitMs},
        {"BulkWrite", [&] { return d.BulkWrite(bulk.data(), 4096, 0, 0, nullptr); }, kLockWaitMs},
        {"ReadEEPROM", [&] { return d.ReadEEPROM(eeprom, 0, 16); }, kLockWaitMs},
        {"WriteEEPROM", [&] { return d.WriteEEPROM(&value, 0x300, 1); }, kLockWaitMs},
        {"GetBank", [&] { return d.GetBank(&bank, 0); }, kLockWaitMs},
        {"SetBank", [&] { return d.SetBank(0, 1, 0, 0); }, kLockWaitMs},
        {"SetUSBBaud", [&] { return d.SetUSBBaud(kSpeed115200, 0); }, kLockWaitMs},
        {"GetFirmwareVersion", [&] { return d.GetFirmwareVersion(version.data()); }, kLockWaitMs},
        {"GetNameString", [&] { return d.GetNameString(name.data()); }, kLockWaitMs},
        {"GetSerial", [&] { return d.GetSerial(serial.data()); }, kLockWaitMs},
    };

    // This thread holds the lock through every contender's longest wait.
    ASSERT_EQ(AcquirePort(d), VR_S_OK);
    std::vector<int32_t> results(contenders.size(), 1);
    std::vector<int64_t> durations(contenders.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < contenders.size(); ++i) {
        threads.emplace_back([&, i] {
            const auto t0 = Clock::now();
            results[i] = contenders[i].call();
            durations[i] = MsSince(t0);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(d.portFree.load(), 0) << "a loser released a lock it never had";
    ReleasePort(d);

    for (size_t i = 0; i < contenders.size(); ++i) {
        EXPECT_EQ(results[i], VR_E_PORT_BUSY) << contenders[i].name;
        EXPECT_GE(durations[i], contenders[i].maxMs - 20) << contenders[i].name;
        EXPECT_LE(durations[i], contenders[i].maxMs + kToleranceMs) << contenders[i].name;
    }
    EXPECT_TRUE(dev.Transcript().empty()) << "a loser talked to the device";
    EXPECT_EQ(d.cancelRequested.load(), 0);
    EXPECT_EQ(d.portFree.load(), 1);
    // And the device is usable at once.
    EXPECT_EQ(d.ReadBlock(block.data(), 512, 0, 0, nullptr), VR_S_OK);
}

// --- what a call that never got the lock may touch

// A BulkWrite gives the device 6000 ms per acknowledgement. A thread that loses the lock (or
// is refused before it) must not set the holder's read time-out back to 300 ms under it: the
// holder's healthy transfer would fail with VR_E_COMM_READ_TIMEOUT.
TEST(Concurrency, ALoserLeavesTheHoldersReadTimeoutAlone) {
    qxtest::SimDevice dev(qxtest::SimConfig('O', 10, 15));
    ASSERT_TRUE(dev.Start());
    dev.AdoptModel();
    dev.device().AttachLogWindow(nullptr);
    QXVorrel& d = dev.device();

    ASSERT_EQ(AcquirePort(d), VR_S_OK);
    ASSERT_TRUE(d.port->SetReadTimeout(6000));  // as the holder's BulkWrite sets it
    std::vector<uint8_t> buffer(4096);
    const std::vector<std::function<int32_t()>> losers{
        [&] { return d.ReadBlock(buffer.data(), 256, 0, 0, nullptr); },
        [&] { return d.WriteBlock(buffer.data(), 256, 0, XferNoBulk, nullptr); },
        [&] { return d.BulkRead(buffer.data(), 4096, 0, 0, nullptr); },
        [&] { return d.BulkWrite(buffer.data(), 4096, 0, 0, nullptr); },
        [&] { return d.BulkRead(buffer.data(), 300, 0, 0, nullptr); },  // refused at once
        [&] { return d.SetUSBBaud(kSpeed921600, 0); },
    };
    std::vector<std::thread> threads;
    for (const auto& call : losers) threads.emplace_back([&call] { (void)call(); });
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(d.port->GetTimeouts());
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, 6000u);
    d.port->SetReadTimeout(kConstantMs);
    ReleasePort(d);

    // With nobody holding the lock, a refused call still leaves 300 ms behind.
    ASSERT_TRUE(d.port->SetReadTimeout(600));
    EXPECT_EQ(d.BulkRead(buffer.data(), 300, 0, 0, nullptr), VR_E_INVALID_FUNC_PARAM);
    ASSERT_TRUE(d.port->GetTimeouts());
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, kConstantMs);
}

// A transfer canceled while another one waits for the lock: the waiting one must not start
// with the cancellation meant for the first (it is cleared before the lock is given back).
std::atomic<int> gRoundPackets{0};
std::atomic<bool> gWaiterGo{false};
QXVorrel* gRoundDevice = nullptr;

void CancelAfterFirstPacket(TransferProgress* progress) {
    if (progress->state != kProgressPacket || gRoundPackets.fetch_add(1) != 0) return;
    gWaiterGo = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the waiter is waiting now
    gRoundDevice->cancelRequested = 1;
}

TEST(Concurrency, CancellationIsNotHandedToTheWaitingTransfer) {
    constexpr int kRounds = 25;
    qxtest::SimDevice dev(qxtest::SimConfig('O', 10, 15));
    ASSERT_TRUE(dev.Start());
    dev.AdoptModel();
    dev.device().AttachLogWindow(nullptr);
    QXVorrel& d = dev.device();
    gRoundDevice = &d;
    int waiterCanceled = 0;
    for (int round = 0; round < kRounds; ++round) {
        gRoundPackets = 0;
        gWaiterGo = false;
        std::vector<uint8_t> first(8192), second(256);
        int32_t firstResult = 1, secondResult = 1;
        std::thread canceled(
            [&] { firstResult = d.BulkRead(first.data(), 8192, 0, 0, CancelAfterFirstPacket); });
        std::thread waiter([&] {
            while (!gWaiterGo) std::this_thread::yield();
            secondResult = d.ReadBlock(second.data(), 256, 0x1000, 0, nullptr);
        });
        canceled.join();
        waiter.join();
        EXPECT_EQ(firstResult, VR_E_OPERATION_CANCELED);
        EXPECT_EQ(secondResult, VR_S_OK) << "round " << round;
        waiterCanceled += secondResult == VR_E_OPERATION_CANCELED ? 1 : 0;
    }
    EXPECT_EQ(waiterCanceled, 0);
    EXPECT_EQ(d.cancelRequested.load(), 0);
}

// A thread that merely lost the lock (VR_E_PORT_BUSY) must leave the cancellation the user
// asked for while another thread's transfer runs.
TEST(Concurrency, ALoserKeepsTheHoldersCancellation) {
    qxtest::SimDevice dev(qxtest::SimConfig('O', 10, 15));
    ASSERT_TRUE(dev.Start());
    dev.AdoptModel();
    dev.device().AttachLogWindow(nullptr);
    QXVorrel& d = dev.device();
    ASSERT_EQ(AcquirePort(d), VR_S_OK);  // the holder's transfer
    d.cancelRequested = 1;               // the user cancels it
    std::vector<uint8_t> buffer(256);
    std::thread loser([&] { (void)d.ReadBlock(buffer.data(), 256, 0, 0, nullptr); });
    loser.join();
    EXPECT_EQ(d.cancelRequested.load(), 1) << "the holder's transfer will not stop";
    ReleasePort(d);
}

// --- the stream reader on its own thread

std::mutex gStreamMutex;
std::vector<uint32_t> gStreamValues;
std::atomic<int> gStreamBatches{0};

void CollectStream(uint32_t* values, int32_t count, int32_t) {
    std::lock_guard lock(gStreamMutex);
    gStreamValues.insert(gStreamValues.end(), values, values + count);
    gStreamBatches.fetch_add(1);
}

TEST(Concurrency, StreamReaderStartsAndStopsCleanly) {
    constexpr int kCycles = 12;
    constexpr int32_t kRecords = 32;
    constexpr uint8_t kRecordLength = 2;
    qxtest::PtyPeer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    qxtest::ComDir coms;
    ASSERT_TRUE(coms.Link("COM5", peer.slavePath()));

    QXVorrel d;
    ASSERT_EQ(d.OpenPortByName("COM5"), VR_S_OK);
    // The longest a read of one batch may block: its total time-out.
    const int64_t readBoundMs = 300 + kRecords * kRecordLength;

    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        // Records 34 12 back to back; the reads cut them wherever the time-outs fall.
        std::vector<uint8_t> piece;
        for (int i = 0; i < 20; ++i) piece.push_back(i % 2 == 0 ? 0x34 : 0x12);
        while (feeding) {
            peer.Write(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });

    int64_t slowestStop = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        {
            std::lock_guard lock(gStreamMutex);
            gStreamValues.clear();
        }
        gStreamBatches = 0;
        d.streamRecordCount = kRecords;
        d.streamRecordLength = kRecordLength;
        d.streamBigEndian = cycle % 2;
        d.streamCallback = CollectStream;
        // In the last cycle the port is closed: the reader idles until it is stopped.
        if (cycle == kCycles - 1) d.port->Close();
        d.streamActive = 1;
        std::thread reader([&d] { QXVorrel::StreamReader(&d); });
        const auto until = Clock::now() + std::chrono::milliseconds(400);
        while (gStreamBatches.load() < 3 && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto stopAt = Clock::now();
        d.streamActive = 0;
        reader.join();
        slowestStop = std::max(slowestStop, MsSince(stopAt));

        std::lock_guard lock(gStreamMutex);
        if (d.port->IsOpen()) {
            EXPECT_GE(gStreamBatches.load(), 3) << "cycle " << cycle;
            // Whatever the read boundaries, a record is 34 12 or (after a dropped half) 12 34.
            const uint32_t straight = cycle % 2 == 0 ? 0x1234u : 0x3412u;
            const uint32_t shifted = cycle % 2 == 0 ? 0x3412u : 0x1234u;
            int wrong = 0;
            for (uint32_t v : gStreamValues) wrong += (v == straight || v == shifted) ? 0 : 1;
            EXPECT_EQ(wrong, 0) << "records decoded wrongly in cycle " << cycle;
        } else {
            EXPECT_EQ(gStreamBatches.load(), 0);
        }
    }
    feeding = false;
    feeder.join();
    EXPECT_LE(slowestStop, readBoundMs + kToleranceMs);
    std::printf(
        "[ figures  ] stream reader: %d start/stop cycles, slowest stop %lld ms (bound %lld)\n",
        kCycles, static_cast<long long>(slowestStop), static_cast<long long>(readBoundMs));
}

}  // namespace
