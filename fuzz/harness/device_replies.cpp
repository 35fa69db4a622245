// Device replies: one device operation against a scripted device.
//
// Input: a 13-byte header, then the device's side of the line (scripted_line.h).
//   h[0]      operation (kOps)
//   h[1]      model row of the table (one past the end: an unlisted hardware-ID letter)
//   h[2] h[3] firmware major, minor
//   h[4]      transfer flags
//   h[5]      bit 0 CapEncryption on, bit 1 attach a log window, bits 2-3 emulation bank
//             (0, the large-bin bank, h[12], 255), bits 4-7 cancel after that many writes
//   h[6] h[7] length (little-endian, 14 bits)
//   h[8..10]  address (24 bits, most significant first)
//   h[11]     operation detail: selector bits, speed index, scan options, stream settings
//   h[12]     bank / mode / text capacity; bit 7 with h[11] bit 7: leave the port closed
//
// Checks on every run: the result is a code the operation may return; the port lock is free
// again; the long transfers cleared cancelRequested, restored the 300 ms read time-out and
// gave their finished report last; every request on the wire is closed by its checksum
// (the version request 'V' 'V' has none); model and text buffers stay terminated; no handle
// leaks. Buffers are exactly as large as the call may use, so AddressSanitizer catches any
// byte beyond them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "harness.h"
#include "log/log_sink.h"
#include "log/text_sink.h"
#include "scripted_line.h"

namespace qxfuzz {
namespace {

using namespace qx;

enum class Op : uint8_t {
    GetFirmwareVersion,
    GetNameString,
    GetSerial,
    Identify,
    OpenDeviceOnPort,
    FindDevice,
    ReadEEPROM,
    WriteEEPROM,
    GetEEPROMInfo,
    GetFlashInfo,
    GetBank,
    SetBank,
    QueryBank,
    SetReadWriteBank,
    Tolliver,
    SetUSBBaud,
    ReadBlock,
    WriteBlock,
    BulkRead,
    BulkWrite,
    BulkWriteBoth,
    StreamReader,
    Count,
};

constexpr size_t kHeaderSize = 13;
constexpr int kPort = 9;
constexpr uint32_t kMaxRequest = 4096 + 8 + 1;

bool IsTransfer(Op op) {
    return op == Op::ReadBlock || op == Op::WriteBlock || op == Op::BulkRead ||
           op == Op::BulkWrite || op == Op::BulkWriteBoth;
}

bool ReportsProgress(Op op) {
    return op == Op::WriteBlock || op == Op::BulkRead || op == Op::BulkWrite ||
           op == Op::BulkWriteBoth;
}

bool KnownCode(int32_t code) {
    if (code == kStatusFail || code == kStatusDeviceNotConnected) return true;
    return code == VR_E_INVALID_ALIGNMENT || (code <= 0 && code >= VR_E_INVALID_REQUEST_PARAM);
}

// --- progress and stream callbacks (plain functions: they see the run through these)
std::vector<TransferProgress> gReports;
std::string gCallbackFault;
int32_t gStreamRecordCount = 0;
uint32_t gStreamRecordLength = 0;

void OnProgress(TransferProgress* progress) {
    if (progress == nullptr) {
        gCallbackFault = "null progress record";
        return;
    }
    if (progress->size != sizeof(TransferProgress) || progress->spare1 != 0 ||
        progress->spare2 != 0 || progress->state > kProgressFinished) {
        gCallbackFault = "malformed progress record";
    }
    gReports.push_back(*progress);
}

void OnStream(uint32_t* values, int32_t count, int32_t /*bigEndian*/) {
    if (values == nullptr || count <= 0 || count > gStreamRecordCount) {
        gCallbackFault = "stream batch of " + std::to_string(count) + " records";
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t v = values[i];
        // Either byte order carries exactly the record's L bytes.
        const bool fits =
            gStreamRecordLength >= 4 || v < (uint32_t{1} << (8 * gStreamRecordLength));
        if (!fits) gCallbackFault = "stream value wider than its record";
    }
}

std::string CheckRequest(const std::vector<uint8_t>& request) {
    if (request.size() == 2 && request[0] == 'V' && request[1] == 'V') return "";
    if (request.size() < 2 || request.size() > kMaxRequest) {
        return "request of " + std::to_string(request.size()) + " bytes";
    }
    const uint8_t sum = PacketChecksum(request.data(), static_cast<int32_t>(request.size() - 1));
    if (sum != request.back()) return "request not closed by its checksum";
    return "";
}

struct Run {
    uint8_t h[kHeaderSize] = {};
    Op op = Op::GetFirmwareVersion;
    uint32_t length = 0;
    uint32_t address = 0;
    uint32_t flags = 0;
};

int32_t Perform(QXVorrel& d, const Run& r) {
    const uint8_t detail = r.h[11];
    const uint8_t extra = r.h[12];
    switch (r.op) {
        case Op::GetFirmwareVersion: {
            auto version = std::make_unique<uint8_t[]>(3);
            return d.GetFirmwareVersion((detail & 1) != 0 ? nullptr : version.get());
        }
        case Op::GetNameString: {
            auto name = std::make_unique<uint8_t[]>(255);
            return d.GetNameString(name.get());
        }
        case Op::GetSerial: {
            auto serial = std::make_unique<uint8_t[]>(9);
            return d.GetSerial(serial.get());
        }
        case Op::Identify:
            return d.Identify();
        case Op::OpenDeviceOnPort:
        case Op::FindDevice: {
            const uint32_t capacity = extra & 0x7F;
            auto text = std::make_unique<char[]>(capacity == 0 ? 1 : capacity);
            auto version = std::make_unique<uint8_t[]>(3);
            const uint32_t options = detail & 0x03;
            int32_t found = 0;
            if (r.op == Op::FindDevice) {
                d.lastPortNumber = r.h[8];
                Line().openablePort = (detail & 0x04) != 0 ? -1 : r.h[9];
                found = d.FindDevice(capacity == 0 ? nullptr : text.get(), capacity,
                                     (detail & 0x08) != 0 ? nullptr : version.get(), options);
            } else {
                found = d.OpenDeviceOnPort(kPort, capacity == 0 ? nullptr : text.get(), capacity,
                                           version.get(), options);
            }
            if (found != 0 && found != 1) return VR_E_GENERAL_ERROR - 1000;
            if (capacity != 0 && strnlen(text.get(), capacity) >= capacity) {
                gCallbackFault = "scan text not terminated";
            }
            return VR_S_OK;
        }
        case Op::ReadEEPROM: {
            const uint16_t length = static_cast<uint16_t>(1 + (r.length % 256));
            auto buffer = std::make_unique<uint8_t[]>(length);
            return d.ReadEEPROM(buffer.get(), static_cast<uint16_t>(r.address), length);
        }
        case Op::WriteEEPROM: {
            const uint8_t byte = extra;
            return d.WriteEEPROM(&byte, static_cast<uint16_t>(r.address), detail);
        }
        case Op::GetEEPROMInfo: {
            auto record = std::make_unique<EEPROMInfo>();
            return d.GetEEPROMInfo(record.get());
        }
        case Op::GetFlashInfo: {
            auto info = std::make_unique<uint8_t[]>(kFlashInfoSize);
            return d.GetFlashInfo(info.get());
        }
        case Op::GetBank: {
            auto out = std::make_unique<uint8_t[]>(1);
            return d.GetBank((detail & 2) != 0 ? nullptr : out.get(), detail & 1);
        }
        case Op::SetBank: {
            const int32_t lockHeld = (detail >> 2) & 1;
            if (lockHeld != 0 && AcquirePort(d) != VR_S_OK) return VR_E_GENERAL_ERROR - 1000;
            const int32_t result =
                d.SetBank(r.address & 0x1FF, detail & 1, (detail >> 1) & 1, lockHeld);
            if (lockHeld != 0) ReleasePort(d);
            return result;
        }
        case Op::QueryBank: {
            auto out = std::make_unique<uint8_t[]>(1);
            return d.QueryBank(out.get(), detail & 1);
        }
        case Op::SetReadWriteBank: {
            // The transfers call it holding the lock; the Tolliver route takes it itself.
            const bool hold = !TraitsOf(d.hardwareType).configBank;
            if (hold && AcquirePort(d) != VR_S_OK) return VR_E_GENERAL_ERROR - 1000;
            const int32_t result = d.SetReadWriteBank(static_cast<int32_t>(r.address & 0x1FF));
            if (hold) ReleasePort(d);
            return result;
        }
        case Op::Tolliver: {
            auto out = std::make_unique<uint8_t[]>(1);
            switch (detail % 5) {
                case 0:
                    return d.GetTolliverMode();
                case 1:
                    return d.GetTolliverBank(out.get());
                case 2:
                    return d.SetTolliverBank(r.address & 0x1FF);
                case 3:
                    return d.GetTolliverMarker((detail & 0x80) != 0 ? nullptr : out.get());
                default:
                    return d.EnsureTolliverMarker();
            }
        }
        case Op::SetUSBBaud:
            return d.SetUSBBaud(detail & 0x0F, (detail >> 4) & 1);
        case Op::ReadBlock: {
            auto buffer = std::make_unique<uint8_t[]>(r.length);
            return d.ReadBlock(buffer.get(), r.length, r.address, r.flags, OnProgress);
        }
        case Op::WriteBlock:
        case Op::BulkWrite:
        case Op::BulkWriteBoth: {
            auto buffer = std::make_unique<uint8_t[]>(r.length);
            for (uint32_t i = 0; i < r.length; ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 1);
            const TransferCallback callback = (detail & 1) != 0 ? nullptr : OnProgress;
            if (r.op == Op::WriteBlock) {
                return d.WriteBlock(buffer.get(), r.length, r.address, r.flags, callback);
            }
            if (r.op == Op::BulkWrite) {
                return d.BulkWrite(buffer.get(), r.length, r.address, r.flags, callback);
            }
            return d.BulkWriteBoth(buffer.get(), r.length, r.address, r.flags, callback);
        }
        case Op::BulkRead: {
            auto buffer = std::make_unique<uint8_t[]>(r.length);
            const TransferCallback callback = (detail & 1) != 0 ? nullptr : OnProgress;
            return d.BulkRead(buffer.get(), r.length, r.address, r.flags, callback);
        }
        case Op::StreamReader: {
            d.streamRecordCount = 1 + (extra & 0x3F);
            d.streamRecordLength = static_cast<uint8_t>(detail % 6);
            d.streamBigEndian = (detail >> 3) & 1;
            d.streamCallback = (detail & 0x40) != 0 ? nullptr : OnStream;
            gStreamRecordCount = d.streamRecordCount;
            gStreamRecordLength = d.streamRecordLength;
            d.streamActive.store(1);
            // The holder stops the reader; here the end of the script does, or (port closed,
            // nothing to read) a number of idle pauses.
            Line().onExhausted = [&d] { d.streamActive.store(0); };
            Line().onSleep = [&d] {
                if (Line().sleeps >= 64) d.streamActive.store(0);
            };
            const uint32_t rc = QXVorrel::StreamReader(&d);
            return rc == 0 ? VR_S_OK : VR_E_GENERAL_ERROR - 1000;
        }
        case Op::Count:
            break;
    }
    return VR_E_GENERAL_ERROR - 1000;
}

std::string CheckAfter(QXVorrel& d, const Run& r, int32_t result) {
    if (!KnownCode(result)) return "result " + std::to_string(result) + " is no result code";
    if (!gCallbackFault.empty()) return gCallbackFault;
    if (d.portFree.load() != 1) return "port lock left taken";
    if (d.portLock == nullptr || AcquirePort(d) != VR_S_OK) return "port lock not free";
    ReleasePort(d);
    if (IsTransfer(r.op)) {
        if (d.cancelRequested.load() != 0) return "cancelRequested left set";
        if (d.port->IsOpen()) {
            if (!d.port->GetTimeouts()) return "time-outs unreadable";
            if (d.port->timeouts.ReadTotalTimeoutConstant != kDefaultReadTimeoutMs) {
                return "read time-out left at " +
                       std::to_string(d.port->timeouts.ReadTotalTimeoutConstant) + " ms";
            }
        }
    }
    if (r.op == Op::ReadBlock && !gReports.empty()) return "ReadBlock reported progress";
    if (ReportsProgress(r.op) && (r.h[11] & 1) == 0) {
        if (gReports.empty()) return "no progress report";
        if (gReports.back().state != kProgressFinished) return "last report is not the finish";
    }
    if (strnlen(d.modelName, kModelNameCapacity) >= kModelNameCapacity) {
        return "model name not terminated";
    }
    for (const std::vector<uint8_t>& request : Line().writes) {
        if (std::string bad = CheckRequest(request); !bad.empty()) return bad;
    }
    return "";
}

}  // namespace

std::string RunDeviceReplies(const uint8_t* data, size_t size, int32_t* resultOut) {
    Run r;
    std::memcpy(r.h, data, std::min(size, kHeaderSize));
    const size_t scriptOffset = std::min(size, kHeaderSize);
    ResetLine(data + scriptOffset, size - scriptOffset);
    gReports.clear();
    gCallbackFault.clear();

    r.op = static_cast<Op>(r.h[0] % static_cast<uint8_t>(Op::Count));
    r.flags = r.h[4] & 0x7F;
    r.length = (r.h[6] | (r.h[7] << 8)) & 0x3FFF;
    r.address = (static_cast<uint32_t>(r.h[8]) << 16) | (r.h[9] << 8) | r.h[10];

    const int portsBefore = OpenPortHandles();
    const int eventsBefore = OpenEventHandles();
    std::string verdict;
    {
        TextSink sink(true);
        LogWindow log;
        AttachTextSink(log, sink);
        QXVorrel d;
        if ((r.h[5] & 0x02) != 0) d.AttachLogWindow(&log);

        const std::span<const ModelRow> table = ModelTable();
        const size_t row = r.h[1] % (table.size() + 1);
        d.firmwareMajor = r.h[2];
        d.firmwareMinor = r.h[3];
        if (row == table.size()) {
            d.hardwareId = '~';  // no model has it
        } else {
            d.hardwareId = table[row].letter;
            if (r.op != Op::Identify) ApplyModelRow(d, table[row]);
        }
        if ((r.h[5] & 0x01) != 0) d.capabilities |= CapEncryption;
        switch ((r.h[5] >> 2) & 0x03) {
            case 1:
                d.emulationBank = static_cast<uint8_t>(d.GetLargeBinBank());
                break;
            case 2:
                d.emulationBank = r.h[12];
                break;
            case 3:
                d.emulationBank = 255;
                break;
            default:
                break;
        }
        d.readWriteBank = static_cast<uint8_t>(r.h[12] & 0x1F);
        d.tolliverMode = r.h[12] & 0x07;

        const bool leaveClosed = (r.h[11] & 0x80) != 0 && (r.h[12] & 0x80) != 0;
        if (!leaveClosed && d.OpenPortByName("COM9") != VR_S_OK) {
            verdict = "scripted port did not open";
        }

        const uint32_t cancelAfter = r.h[5] >> 4;
        if (cancelAfter != 0) {
            Line().afterWrite = [&d, cancelAfter] {
                if (Line().writeCalls == cancelAfter) d.cancelRequested.store(1);
            };
        }
        // A failing or short write at a chosen call (second header nibble pair).
        if (IsTransfer(r.op) && (r.h[12] & 0x80) != 0) {
            Line().failWriteAt = 1 + (r.h[11] & 0x03);
        }

        if (verdict.empty()) {
            const int32_t result = Perform(d, r);
            if (resultOut != nullptr) *resultOut = result;
            verdict = CheckAfter(d, r, result);
        }
        Line().afterWrite = nullptr;
        Line().onExhausted = nullptr;
        Line().onSleep = nullptr;
        d.AttachLogWindow(nullptr);
    }
    if (verdict.empty() && OpenPortHandles() != portsBefore) verdict = "port handle leaked";
    if (verdict.empty() && OpenEventHandles() != eventsBefore) verdict = "event handle leaked";
    ResetLine(nullptr, 0);
    return verdict;
}

}  // namespace qxfuzz
