// The part of device memory a transfer reaches. On a banked model that is the image of the
// bank the device emulates (or, with --bank, of another bank): the read/write bank is set to
// it before the transfer, because the device leaves it wherever the last transfer put it. In
// whole-memory mode (the large-bin bank) the library switches banks itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/qx_vorrel.h"

namespace qx::tool {

class Session;

struct MemoryWindow {
    uint32_t limit = 0;   // bytes from address 0; 0: the model reports no memory size
    uint32_t base = 0;    // added to every address on the wire (a bank inside the whole memory)
    int32_t bank = -1;    // the bank reached; -1: the model has no banks
    bool banked = false;  // one bank of several: refusals name it (not the whole memory)
    bool selectReadWrite = false;  // the read/write bank must be set to `bank` first
    std::string name;              // "the active bank (bank 0: 0x10000 bytes)"
    std::string hint;              // "'qxtool bank set 8' selects the whole memory (...)"

    // Throws the usage error for `what` ("the image (0x000000-0x07FFFF)") when
    // [address, address + length) does not fit.
    void CheckFits(uint64_t address, uint64_t length, const std::string& what) const;
    // The words for data that does not fit: `larger` when it could not fit anywhere in the
    // window (a banked model then names the command that selects the whole memory).
    std::string Refusal(const std::string& what, bool larger) const;
};

// The banks `bank set` accepts: 0 to BankLimit - 1 (on the Tolliver by its mode).
uint32_t BankLimit(const QXVorrel& device);
// " (8: the whole memory)" on the models that have a whole-memory bank, else "".
std::string WholeMemoryNote(const QXVorrel& device);

// What a transfer reaches with --bank `bank` (nothing: the emulated bank). Sends nothing;
// throws a usage error for a bank the device does not have.
MemoryWindow PlanWindow(const QXVorrel& device, std::optional<uint32_t> bank);

// Points the read/write bank at the window's bank when it is elsewhere.
void SelectWindow(Session& session, const MemoryWindow& window);

}  // namespace qx::tool
