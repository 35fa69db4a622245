// The commands of qxtool. Each one returns the exit status or throws ToolError; none has
// device logic of its own beyond choosing which library operations to call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/ranged_transfer.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/memory_window.h"
#include "tools/qxtool/session.h"

namespace qx::tool {

// The options read, write, verify and sync share (declared once, in the command table).
struct SharedTransferArgs {
    std::string address;  // binary files: device address of byte 0; empty: 0
    std::string format;   // bin, ihex, srec; empty: from the file name (or content)
    std::string method;   // bulk, block; empty: chosen from the device and the sizes
    std::string space;    // 1, 2 (write, verify also: both); empty: the default space
    std::string fill;     // byte for holes and padding; empty: 0xFF (and no padding)
    std::string offset;   // record files: added to their addresses (may be negative)
    std::string split;    // even, odd (read, write, verify also: both); empty: every byte
    std::string bank;     // the bank to reach; empty: the emulated one
    bool plain = false;   // XferPlain
};

struct TransferArgs : SharedTransferArgs {
    std::vector<std::string> files;  // FILE, and the odd bytes' file with --split both
    std::string length;              // read only
    bool alt = false;                // write: XferAltWrite
    bool lower = false;              // write: XferWriteLower
    bool noVerify = false;
};

struct EepromArgs {
    std::string address;
    std::string value;  // read: length (optional); write: the byte
};

struct BankArgs {
    std::string bank;  // set only
    bool readWrite = false;
    bool emulation = false;
    bool persistent = false;
};

int RunInfo(Session& session);
int RunDetect(Session& session);
int RunRead(Session& session, const TransferArgs& args);
int RunWrite(Session& session, const TransferArgs& args);
int RunVerify(Session& session, const TransferArgs& args);
int RunEepromRead(Session& session, const EepromArgs& args);
int RunEepromWrite(Session& session, const EepromArgs& args);
int RunBankGet(Session& session, const BankArgs& args);
int RunBankSet(Session& session, const BankArgs& args);
int RunSpeed(Session& session, const std::string& baud);
int RunFlashInfo(Session& session);
int RunSerial(Session& session);
int RunTolliverMode(Session& session);
// The library's model table (no device needed).
int RunModels();

// After a failed write of [address, address + length): names on stderr (with --quiet too)
// what was acknowledged and what may be incomplete, and throws the DeviceError carrying the
// same for --json. `space` names the memory space it stopped in ("" when none).
[[noreturn]] void WriteFailed(int32_t result, const std::string& what, uint32_t address,
                              uint32_t length, const RangeStatus& status, const std::string& space);
// "bank": the bank a transfer reached, null on models without banks.
JsonObject& AddBank(JsonObject& json, const MemoryWindow& window);

// Decimal or 0x-hexadecimal, at most max; throws a usage error naming `what`.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what);
// The same with an optional leading '-', magnitude at most 0xFFFFFFFF.
int64_t ParseSignedNumber(const std::string& text, const std::string& what);

}  // namespace qx::tool
