#include "tools/qxtool/memory_window.h"

#include "device/model_table.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/session.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

std::string SizeText(uint32_t bytes) {
    return Hex(bytes) + " bytes";
}

std::string ModelName(const QXVorrel& device) {
    const std::string model = ModelWithoutVersion(device);
    return model.empty() ? "device" : model;
}

}  // namespace

uint32_t BankLimit(const QXVorrel& device) {
    if (TraitsOf(device.hardwareType).configBank) {
        const uint32_t size = device.GetActiveBankSize();
        return size == 0 ? 1 : device.memorySize / size;
    }
    return device.GetBankCount();
}

std::string WholeMemoryNote(const QXVorrel& device) {
    const int32_t large = device.GetLargeBinBank();
    if ((device.capabilities & CapBanks) == 0 || large < 0) return "";
    return " (" + std::to_string(large) + ": the whole memory)";
}

std::string MemoryWindow::Refusal(const std::string& what, bool larger) const {
    if (!banked) return what + " lies past the end of memory (" + SizeText(limit) + ")";
    if (!larger) return what + " lies past the end of " + name;
    return what + " is larger than " + name + (hint.empty() ? "" : "; " + hint);
}

void MemoryWindow::CheckFits(uint64_t address, uint64_t length, const std::string& what) const {
    if (limit == 0 || address + length <= limit) return;
    throw UsageError(Refusal(what, length > limit));
}

MemoryWindow PlanWindow(const QXVorrel& device, std::optional<uint32_t> bank) {
    MemoryWindow window;
    window.limit = device.GetActiveBankSize();
    if ((device.capabilities & CapBanks) == 0) {
        if (bank) throw UsageError("--bank: the " + ModelName(device) + " has no banks");
        window.name = "memory (" + SizeText(window.limit) + ")";
        return window;
    }
    window.banked = true;
    const uint32_t count = BankLimit(device);
    if (bank && *bank >= count)
        throw UsageError("--bank " + std::to_string(*bank) + ": this " + ModelName(device) +
                         " has banks 0 to " + std::to_string(count - 1) + WholeMemoryNote(device));
    const uint32_t emulated = device.emulationBank;
    if (TraitsOf(device.hardwareType).configBank) {
        // One bank byte serves both selectors: reads and writes reach the emulated bank.
        if (bank && *bank != emulated)
            throw UsageError(
                "--bank: the Tolliver's reads and writes reach the bank it emulates (" +
                std::to_string(emulated) + "); 'qxtool bank set " + std::to_string(*bank) +
                "' selects bank " + std::to_string(*bank));
        window.bank = static_cast<int32_t>(emulated);
        window.name = "the active bank (bank " + std::to_string(emulated) + ": " +
                      SizeText(window.limit) + ")";
        window.hint = "the Tolliver's mode sets its bank size (mode 0: the whole memory, " +
                      SizeText(device.memorySize) + "; 'qxtool tolliver mode' shows it)";
        return window;
    }
    const int32_t large = device.GetLargeBinBank();
    const std::string wholeHint = large < 0 ? ""
                                            : "'qxtool bank set " + std::to_string(large) +
                                                  "' selects the whole memory (" +
                                                  SizeText(device.memorySize) + ")";
    if (device.InLargeBinMode()) {
        // The library moves the read/write bank itself; another bank is a part of the whole.
        if (!bank || static_cast<int32_t>(*bank) == large) {
            // The whole memory: nothing larger to select, so the words of a bankless model.
            window.bank = large;
            window.banked = false;
            window.name = "memory (" + SizeText(window.limit) + ")";
            return window;
        }
        window.bank = static_cast<int32_t>(*bank);
        window.base = *bank * device.bankSize;
        window.limit = device.bankSize;
        window.name = "bank " + std::to_string(*bank) + " (" + SizeText(window.limit) + ")";
        return window;
    }
    const uint32_t target = bank.value_or(emulated);
    if (static_cast<int32_t>(target) == large)
        throw UsageError("--bank " + std::to_string(target) +
                         " is the whole memory, which transfers reach only while the device "
                         "emulates it: " +
                         wholeHint);
    window.bank = static_cast<int32_t>(target);
    window.limit = device.bankSize;
    window.selectReadWrite = device.readWriteBank != target;
    window.name = target == emulated
                      ? "the active bank (bank " + std::to_string(target) + ": " +
                            SizeText(window.limit) + ")"
                      : "bank " + std::to_string(target) + " (" + SizeText(window.limit) + ")";
    window.hint = wholeHint;
    return window;
}

void SelectWindow(Session& session, const MemoryWindow& window) {
    if (!window.selectReadWrite) return;
    const auto bank = static_cast<uint32_t>(window.bank);
    session.Check(session.Device().SetBank(bank, 1, 0, 0),
                  "pointing the read/write bank at bank " + std::to_string(bank));
}

}  // namespace qx::tool
