#include "tools/qxtool/command_table.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

#include "tools/qxtool/commands.h"
#include "tools/qxtool/detect_all.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/ports.h"
#include "tools/qxtool/sync.h"

namespace qx::tool {
namespace {

// Options whose empty value would otherwise read as "not given".
const CLI::Validator kNonEmpty(
    [](std::string& text) { return text.empty() ? std::string("the value is empty") : ""; }, "",
    "non-empty");

std::string FormatHelp(bool contentFallback) {
    using image::Format;
    return "file format: bin, ihex (Intel HEX) or srec (Motorola S-record); default: bin for " +
           image::ExtensionsOf(Format::Binary) + ", ihex for " +
           image::ExtensionsOf(Format::IntelHex) + ", srec for " +
           image::ExtensionsOf(Format::SRecord) +
           (contentFallback ? ", else from the content" : ", else bin");
}

enum class Shared { Address, Format, Method, Plain, Offset, Split, Bank, Space, Fill };

// A transfer option as every command declares it: name, field, value name and values.
struct SharedOption {
    Shared which;
    const char* name;
    std::string SharedTransferArgs::*field;  // null: the --plain flag
    const char* typeName;                    // null: CLI11's own
    std::vector<std::string> values;         // the values it takes; empty: any non-empty text
};

const SharedOption kSharedOptions[] = {
    {Shared::Address, "--address", &SharedTransferArgs::address, nullptr, {}},
    {Shared::Format, "--format", &SharedTransferArgs::format, nullptr, {"bin", "ihex", "srec"}},
    {Shared::Method, "--method", &SharedTransferArgs::method, nullptr, {"bulk", "block"}},
    {Shared::Plain, "--plain", nullptr, nullptr, {}},
    {Shared::Offset, "--offset", &SharedTransferArgs::offset, "N", {}},
    {Shared::Split, "--split", &SharedTransferArgs::split, nullptr, {"even", "odd", "both"}},
    {Shared::Bank, "--bank", &SharedTransferArgs::bank, "N", {}},
    {Shared::Space, "--space", &SharedTransferArgs::space, nullptr, {"1", "2", "both"}},
    {Shared::Fill, "--fill", &SharedTransferArgs::fill, "BYTE", {}},
};

// One shared option on one command: its help there and, when narrower, the values it takes.
struct SharedUse {
    Shared which;
    std::string help;
    std::vector<std::string> values = {};
};

void AddShared(CLI::App& command, SharedTransferArgs& args, const std::vector<SharedUse>& uses) {
    for (const SharedUse& use : uses) {
        for (const SharedOption& option : kSharedOptions) {
            if (option.which != use.which) continue;
            if (option.field == nullptr) {
                command.add_flag(option.name, args.plain, use.help);
                continue;
            }
            CLI::Option* added = command.add_option(option.name, args.*option.field, use.help);
            if (option.typeName != nullptr) added->type_name(option.typeName);
            const std::vector<std::string>& values =
                use.values.empty() ? option.values : use.values;
            if (values.empty())
                added->check(kNonEmpty);
            else
                added->check(CLI::IsMember(values));
        }
    }
}

// The options read, write and verify take alike (write and verify: the image is written).
std::vector<SharedUse> FileTransferOptions(bool write) {
    return {
        {Shared::Format, FormatHelp(write)},
        {Shared::Method,
         "bulk or block transfers; default: bulk when the device has them and address and "
         "length are multiples of 256, else block" +
             std::string(write ? " (a failed bulk write is written again on the block path; "
                                 "not with --method bulk)"
                               : "")},
        {Shared::Plain,
         "send the transfer unencrypted even when the device has the link cipher on"},
        {Shared::Offset,
         "add N (may be negative) to the addresses of an Intel HEX or S-record file to get "
         "device addresses (a BIOS linked at 0xF0000: --offset=-0xF0000)" +
             std::string(write ? "" : "; read subtracts it")},
        {Shared::Split,
         "one byte lane of a 16-bit image: even (bytes 0, 2, 4...), odd (1, 3, 5...), or both "
         "with two FILEs (even, then odd); file address f is device address 2f (even) or 2f+1 "
         "(odd)" +
             std::string(write ? "; writing one lane keeps the other lane's bytes" : "")},
        {Shared::Bank, "reach this bank instead of the one the device emulates (banked models)"},
    };
}

CommandRunner SetupPorts(CLI::App&) {
    return [](CommandContext&) { return RunPorts(); };
}

CommandRunner SetupDetect(CLI::App& command) {
    auto all = std::make_shared<bool>(false);
    command.add_flag("--all", *all,
                     "probe every serial port at once, one device object per port, and list "
                     "every device found (a machine with many silent ports takes the time of "
                     "one probe)");
    return [all](CommandContext& context) {
        return *all ? RunDetectAll(context.Device()) : RunDetect(context.Device());
    };
}

CommandRunner SetupInfo(CLI::App&) {
    return [](CommandContext& context) { return RunInfo(context.Device()); };
}

CommandRunner SetupRead(CLI::App& command) {
    auto args = std::make_shared<TransferArgs>();
    command
        .add_option("FILE", args->files,
                    "the file to write (replaced; checked before the device is read), - for "
                    "standard output; with --split both the even bytes' file, then the odd's")
        ->required();
    AddShared(command, *args, {{Shared::Address, "device address to start at (default 0)"}});
    command
        .add_option("--length", args->length,
                    "bytes to read; default: the rest of the active bank (the image the "
                    "device emulates now, GetActiveBankSize)")
        ->check(kNonEmpty);
    AddShared(command, *args, FileTransferOptions(false));
    AddShared(command, *args,
              {{Shared::Space,
                "memory space of the two-space models: 1 or 2 (default: the library's, 2)",
                {"1", "2"}}});
    return [args](CommandContext& context) { return RunRead(context.Device(), *args); };
}

CommandRunner SetupWrite(CLI::App& command) {
    auto args = std::make_shared<TransferArgs>();
    command
        .add_option("FILE", args->files,
                    "the image file to write, - for standard input; with --split both the "
                    "even bytes' file, then the odd's")
        ->required();
    std::vector<SharedUse> options{
        {Shared::Address,
         "device address of the first byte of a binary file (default 0); Intel "
         "HEX and S-record files carry their own addresses"}};
    for (SharedUse& use : FileTransferOptions(true)) options.push_back(std::move(use));
    options.push_back({Shared::Space,
                       "memory space of the two-space models: 1, 2 or both (default: the "
                       "library's; a bulk write fills both spaces, a block write sends no space "
                       "bits)"});
    AddShared(command, *args, options);
    command.add_flag("--alt", args->alt,
                     "block writes with command X, checked by the device's 16-bit sum (implies "
                     "--method block)");
    command.add_flag("--lower", args->lower,
                     "block writes with command w (ignored by the library for the common "
                     "command set; implies --method block)");
    command.add_flag("--no-verify", args->noVerify, "do not read the image back");
    AddShared(command, *args,
              {{Shared::Fill,
                "byte for the holes between the records of the file (default 0xFF); given, it "
                "also pads an image to the whole 16-bit words a 16-bit model needs"}});
    return [args](CommandContext& context) { return RunWrite(context.Device(), *args); };
}

CommandRunner SetupVerify(CLI::App& command) {
    auto args = std::make_shared<TransferArgs>();
    command
        .add_option("FILE", args->files,
                    "the image file to compare with, - for standard input; with --split both "
                    "the even bytes' file, then the odd's")
        ->required();
    std::vector<SharedUse> options{
        {Shared::Address, "device address of the first byte of a binary file (default 0)"}};
    for (SharedUse& use : FileTransferOptions(true)) options.push_back(std::move(use));
    options.push_back({Shared::Space, "memory space of the two-space models: 1, 2 or both"});
    AddShared(command, *args, options);
    return [args](CommandContext& context) { return RunVerify(context.Device(), *args); };
}

CommandRunner SetupSync(CLI::App& command) {
    auto args = std::make_shared<SyncArgs>();
    command.add_option("FILE", args->file, "the image file, - for standard input")->required();
    AddShared(
        command, *args,
        {
            {Shared::Address, "device address of the first byte of a binary file (default 0)"},
            {Shared::Format, FormatHelp(true)},
            {Shared::Offset,
             "add N (may be negative) to the addresses of an Intel HEX or S-record file"},
            {Shared::Split,
             "FILE is one byte lane of a 16-bit image: even or odd (file address f is device "
             "address 2f or 2f+1); the other lane keeps the device's bytes",
             {"even", "odd"}},
            {Shared::Fill,
             "byte for holes (default 0xFF); given, it also pads to whole 16-bit words"},
            {Shared::Bank,
             "reach this bank instead of the one the device emulates (banked models)"},
            {Shared::Method,
             "bulk: every changed page the bulk way; block: block writes only; default: bulk "
             "for whole 4096-byte blocks of changed pages when the device has bulk transfers, "
             "block writes for the rest"},
            {Shared::Space, "memory space of the two-space models: 1 or 2 (default 2)", {"1", "2"}},
            {Shared::Plain,
             "send the transfers unencrypted even when the device has the link cipher on"},
        });
    command.add_flag("--watch", args->watch,
                     "keep the port open and sync again each time FILE is saved");
    command.add_flag("--assume-written", args->assumeWritten,
                     "trust FILE.qxsync, left by the last sync of FILE, for what the device "
                     "holds instead of reading it (read anyway when it names another device, "
                     "bank or range)");
    return [args](CommandContext& context) { return RunSync(context.Device(), *args); };
}

CommandRunner SetupEepromRead(CLI::App& command) {
    auto args = std::make_shared<EepromArgs>();
    command.add_option("ADDR", args->address, "EEPROM address, 0 to 0xFFFF")->required();
    command.add_option("LEN", args->value, "number of bytes, 1 to 256 (default 1)");
    return [args](CommandContext& context) { return RunEepromRead(context.Device(), *args); };
}

CommandRunner SetupEepromWrite(CLI::App& command) {
    auto args = std::make_shared<EepromArgs>();
    command.add_option("ADDR", args->address, "EEPROM address, 0 to 0xFFFF")->required();
    command.add_option("BYTE", args->value, "the value, 0 to 0xFF")->required();
    return [args](CommandContext& context) { return RunEepromWrite(context.Device(), *args); };
}

// The selector flags both bank commands take.
void AddBankSelector(CLI::App& command, BankArgs& args) {
    CLI::Option* rw = command.add_flag("--rw", args.readWrite,
                                       "the read/write bank (the one reads and writes reach)");
    CLI::Option* emulation =
        command.add_flag("--emulation", args.emulation, "the active emulation bank (the default)");
    rw->excludes(emulation);
}

CommandRunner SetupBankGet(CLI::App& command) {
    auto args = std::make_shared<BankArgs>();
    AddBankSelector(command, *args);
    return [args](CommandContext& context) { return RunBankGet(context.Device(), *args); };
}

CommandRunner SetupBankSet(CLI::App& command) {
    auto args = std::make_shared<BankArgs>();
    command.add_option("N", args->bank, "bank number, 0 to the device's last bank ('info')")
        ->required();
    AddBankSelector(command, *args);
    command.add_flag("--persistent", args->persistent,
                     "keep the emulation bank over a power cycle");
    return [args](CommandContext& context) { return RunBankSet(context.Device(), *args); };
}

CommandRunner SetupSpeed(CLI::App& command) {
    auto baud = std::make_shared<std::string>();
    command.add_option("BAUD", *baud, "921600, 460800, 230400 or 115200")->required();
    return [baud](CommandContext& context) { return RunSpeed(context.Device(), *baud); };
}

CommandRunner SetupFlashInfo(CLI::App&) {
    return [](CommandContext& context) { return RunFlashInfo(context.Device()); };
}

CommandRunner SetupSerial(CLI::App&) {
    return [](CommandContext& context) { return RunSerial(context.Device()); };
}

CommandRunner SetupTolliverMode(CLI::App&) {
    return [](CommandContext& context) { return RunTolliverMode(context.Device()); };
}

CommandRunner SetupModels(CLI::App&) {
    return [](CommandContext&) { return RunModels(); };
}

const CommandSpec kCommands[] = {
    {nullptr, "ports",
     "list the serial ports of this machine with the COM-number map in use, the adapter "
     "behind each and whether it opens now",
     "On POSIX systems COMn resolves to $QX_COM_DIR/COMn when QX_COM_DIR is set, else through "
     "the built-in map (COM1-COM32: /dev/ttyS0-31, COM33-COM64: /dev/ttyUSB0-31, COM65-COM96: "
     "/dev/ttyACM0-31); tty nodes of USB, ACM and Bluetooth adapters that no COM name reaches "
     "are listed by path (use them with --port PATH). On Windows the ports come from the "
     "registry (SERIALCOMM) and the COMn device names, plus any other of COM1..COM255 that "
     "opens.\n\n"
     "Per port: the USB adapter behind it (vendor and product id, manufacturer, product, "
     "serial number; from sysfs on Linux, SetupAPI on Windows, with the friendly name and "
     "hardware id), its stable names (/dev/serial/by-id/..., which --port accepts), and "
     "whether it opens now or why not (no such port, permission denied, in use by another "
     "program, not a serial device). A warning when QX_COM_DIR names a folder that does not "
     "exist. JSON keys per port: name, com, path, source, present, opens, problem, reason, "
     "usb, description, hardwareId, stableNames.",
     SetupPorts},
    {nullptr, "detect", "find a device as the launcher does (FindDevice) and name it",
     "Exit status 3 when no device answers. With --json: the identification block as 'info' "
     "gives it; with --all {\"devices\": [...]} holding one such object per device found.",
     SetupDetect},
    {nullptr, "info", "identify the device and print its identification block",
     "JSON keys: port, model, name, hardwareId, firmware, protocolFamily, hardwareType, "
     "interfaceType, capabilities, memorySize, bankSize, bankCount, activeBankSize, dataWidth, "
     "emulationBank, readWriteBank, baud, encryption (and tolliverMode on the Tolliver).",
     SetupInfo},
    {nullptr, "read", "read device memory into FILE",
     "A range past the bank (or the memory) is refused before anything is sent. In an Intel "
     "HEX or S-record file the records carry the device addresses (less --offset); an "
     "S-record file's type follows its extension (.s19 S1, .s28 S2, .s37 S3) or the range. On "
     "a 16-bit model (the Sarnet) address and length must be even.",
     SetupRead},
    {nullptr, "write", "write FILE into device memory and verify it",
     "The range from the file's lowest to its highest address is written in one transfer, "
     "holes filled with --fill, then read back with the same method and compared; the first "
     "differing address is reported (exit status 1). A malformed file (bad checksum, bad hex "
     "digit, overlapping records) or data past the bank (or the memory) is refused with its "
     "line number, exit status 2, before anything is sent to the device. After a failed write "
     "stderr names the range that was acknowledged and the range that may be incomplete (with "
     "--quiet too).",
     SetupWrite},
    {nullptr, "verify", "compare device memory with FILE",
     "Only the bytes the file holds are compared (holes between records are not). Exit status "
     "1 and the first differing address when they differ.",
     SetupVerify},
    {nullptr, "sync",
     "write only what differs between FILE and device memory (--watch: on every save)",
     "The device's range is read once (or, with --assume-written, taken from the state file "
     "FILE.qxsync that a sync leaves beside FILE when it ends), compared with the file page by "
     "page (256 bytes), and only the pages that differ are written and read back. Holes "
     "between the records of a file are 0xFF, as 'write' fills them. Data past the device's "
     "memory is refused before anything is written (exit status 2).\n\n"
     "--watch: after the first sync qxtool watches FILE's folder (an editor that saves by "
     "renaming a new file over FILE is seen too) and syncs 50 ms after the last change, one "
     "line per sync: pages, bytes, and the milliseconds from the change to the device's "
     "acknowledgement. A file that cannot be read, is malformed or no longer fits is reported "
     "and skipped until the next save. Ctrl+C while waiting closes the port and exits with "
     "status 0; during a sync it stops the transfer as for 'write' (status 1, "
     "VR_E_OPERATION_CANCELED). With --json: one JSON object per sync.",
     SetupSync},
    {nullptr, "eeprom", "read or write the device's EEPROM", nullptr, nullptr},
    {"eeprom", "read", "read LEN EEPROM bytes at ADDR", nullptr, SetupEepromRead},
    {"eeprom", "write", "write one EEPROM byte", nullptr, SetupEepromWrite},
    {nullptr, "bank", "read or select the memory banks",
     "On the Tolliver one bank byte serves both selectors. A bank the device does not have is "
     "refused before anything is sent.",
     nullptr},
    {"bank", "get", "print the emulation (or R/W) bank", nullptr, SetupBankGet},
    {"bank", "set", "select the emulation (or R/W) bank", nullptr, SetupBankSet},
    {nullptr, "speed", "set the link speed and check that the device answers at it",
     "The speed lasts for this one command: qxtool closes the port when it ends, which brings "
     "the device back to 115200 baud (a port cannot stay open across processes). To run "
     "another command faster, give it --baud.",
     SetupSpeed},
    {nullptr, "flashinfo", "print the 16 flash information bytes", nullptr, SetupFlashInfo},
    {nullptr, "serial", "print the 9 serial bytes", nullptr, SetupSerial},
    {nullptr, "tolliver", "Tolliver configuration", nullptr, nullptr},
    {"tolliver", "mode", "read the Tolliver mode and the bank geometry it sets", nullptr,
     SetupTolliverMode},
    {nullptr, "models", "list the models the library knows (no device needed)",
     "One line per hardware-ID letter: model, command-set family, type, memory, banks, data "
     "width and capabilities (those marked 'by firmware' depend on the firmware version). With "
     "--json: {\"models\": [...]}.",
     SetupModels},
};

}  // namespace

std::span<const CommandSpec> Commands() {
    return kCommands;
}

}  // namespace qx::tool
