#include "tools/qxtool/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "resources/version_text.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/detect_all.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/ports.h"
#include "tools/qxtool/session.h"
#include "tools/qxtool/sync.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

const char* const kFooter = R"qx(
Ports:
  Without --port, qxtool scans COM0 to COM253 as the launcher does and takes the first
  device that answers. --port COMn probes that one port the same way (the version request
  at 115200, then 921600, then 19200 baud). --port PATH opens a device path such as
  /dev/ttyUSB0 and tries the same three rates. On Linux and other POSIX systems COMn is
  $QX_COM_DIR/COMn (a link to a tty) when QX_COM_DIR is set, else the built-in map
  (COM1-COM32: /dev/ttyS0-31, COM33-COM64: /dev/ttyUSB0-31, COM65-COM96: /dev/ttyACM0-31);
  'qxtool ports' shows the map in use.

Link speed:
  Every run opens the port, works and closes it, and closing brings the device back to
  115200 baud. A speed set with 'speed' or --baud therefore lasts for that one command: a
  port cannot stay open from one process to the next. Use --baud to run a command (a large
  read or write) at a higher speed.

Ctrl+C:
  stops a running transfer before its next packet; qxtool closes the port properly (the
  device returns to 115200 baud) and exits with status 1, naming VR_E_OPERATION_CANCELED.
  A second Ctrl+C ends qxtool at once.

Banks:
  On models with banks the device emulates one bank (the image the target sees) while the
  PC's reads and writes reach the read/write bank. read, write, verify and sync point the
  read/write bank at the emulated bank first, so they reach what the target sees; --bank N
  reaches bank N instead (prepare bank 2 while the target runs bank 1). The whole-memory bank
  (8 on the Kelby) emulates all of the memory: select it with 'bank set 8' to write an image
  larger than one bank.

Exit status:
  0  success
  1  a device operation failed: stderr names the result code and its number, e.g.
     "VR_E_COMM_READ_TIMEOUT (-17)", and what was being done; or a verify found a difference
  2  usage error or bad input file (nothing is sent to the device)
  3  no device found

Numbers are decimal or 0x-hexadecimal (--offset may be negative); an empty value is an error.
FILE '-' is standard input (write, verify, sync) or standard output (read: the image's bytes
and nothing else). With --json the result is one JSON object on stdout; a failure gives
{"error": {"status", "kind", "code", "name", "message", ...}} with the details a script
needs (a verify's first difference, a file's line and column, the range a failed write may
have left incomplete). Messages and the progress bar go to stderr.
)qx";

// Options whose empty value would otherwise read as "not given".
const CLI::Validator kNonEmpty(
    [](std::string& text) { return text.empty() ? std::string("the value is empty") : ""; }, "",
    "non-empty");

std::string FormatHelp(bool contentFallback) {
    using image::Format;
    return "file format: bin, ihex (Intel HEX) or srec (Motorola S-record); default: bin for " +
           image::extensionsOf(Format::Binary) + ", ihex for " +
           image::extensionsOf(Format::IntelHex) + ", srec for " +
           image::extensionsOf(Format::SRecord) +
           (contentFallback ? ", else from the content" : ", else bin");
}

// Optimal string alignment distance: a swapped pair of letters counts as one edit.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string UnknownCommand(const std::string& word, const CLI::App& parent) {
    std::vector<std::string> names;
    for (const CLI::App* command : parent.get_subcommands({})) names.push_back(command->get_name());
    std::string best;
    size_t distance = 3;
    for (const std::string& name : names) {
        const size_t d = EditDistance(word, name);
        if (d < distance && d < name.size()) {
            distance = d;
            best = name;
        }
    }
    std::string text = "unknown command '" + word + "'";
    if (!best.empty()) return text + "; did you mean '" + best + "'?";
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    return text + " (commands: " + list + ")";
}

bool TakesValue(const std::string& option) {
    static const char* const kWithValue[] = {"-p", "-P", "--port", "--log", "--baud"};
    return std::find(std::begin(kWithValue), std::end(kWithValue), option) != std::end(kWithValue);
}

// Finds a command word that is not a command, before parsing: the first argument that is not
// an option (or a global option's value) names the command, and for the command groups the
// next one names the subcommand.
std::optional<std::string> MisnamedCommand(int argc, char** argv, CLI::App& app) {
    CLI::App* parent = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return std::nullopt;
        if (word.size() > 1 && word[0] == '-') {
            if (parent != &app) return std::nullopt;  // a command's own options follow
            if (word.find('=') == std::string::npos && TakesValue(word)) ++i;
            continue;
        }
        CLI::App* command = nullptr;
        for (CLI::App* candidate : parent->get_subcommands({}))
            if (candidate->get_name() == word) command = candidate;
        if (command == nullptr) return UnknownCommand(word, *parent);
        if (command->get_subcommands({}).empty()) return std::nullopt;
        parent = command;
    }
    return std::nullopt;
}

void AddTransferOptions(CLI::App* command, TransferArgs& args, bool write) {
    command->add_option("--format", args.format, FormatHelp(write))
        ->check(CLI::IsMember({"bin", "ihex", "srec"}));
    command
        ->add_option("--method", args.method,
                     "bulk or block transfers; default: bulk when the device has them and "
                     "address and length are multiples of 256, else block" +
                         std::string(write ? " (a failed bulk write is written again on the "
                                             "block path; not with --method bulk)"
                                           : ""))
        ->check(CLI::IsMember({"bulk", "block"}));
    command->add_flag("--plain", args.plain,
                      "send the transfer unencrypted even when the device has the link cipher on");
    command
        ->add_option("--offset", args.offset,
                     "add N (may be negative) to the addresses of an Intel HEX or S-record file "
                     "to get device addresses (a BIOS linked at 0xF0000: --offset=-0xF0000)" +
                         std::string(write ? "" : "; read subtracts it"))
        ->type_name("N")
        ->check(kNonEmpty);
    command
        ->add_option(
            "--split", args.split,
            "one byte lane of a 16-bit image: even (bytes 0, 2, 4...), odd (1, 3, "
            "5...), or both with two FILEs (even, then odd); file address f is device "
            "address 2f (even) or 2f+1 (odd)" +
                std::string(write ? "; writing one lane keeps the other lane's bytes" : ""))
        ->check(CLI::IsMember({"even", "odd", "both"}));
    command
        ->add_option("--bank", args.bank,
                     "reach this bank instead of the one the device emulates (banked models)")
        ->type_name("N")
        ->check(kNonEmpty);
}

void ReportFailure(const ToolError& error) {
    Console::Get().Error("qxtool: " + std::string(error.what()));
    if (!Console::Get().Json()) return;
    JsonObject detail;
    detail.Number("status", error.Status()).String("kind", error.Kind());
    if (const auto* device = dynamic_cast<const DeviceError*>(&error)) {
        detail.Number("code", device->Code())
            .String("name", ResultCodeName(device->Code()))
            .String("during", device->During());
    } else {
        detail.Null("code").Null("name");
    }
    detail.String("message", error.what()).Merge(error.Details());
    Console::Get().JsonResult(JsonObject().Object("error", detail).Text());
}

bool JsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (word == "--json") return true;
    }
    return false;
}

int UsageFailure(int argc, char** argv, const std::string& message) {
    Console::Get().Configure(false, false, JsonAsked(argc, argv));
    std::fprintf(stderr, "qxtool: %s\nRun with --help for more information.\n", message.c_str());
    if (Console::Get().Json())
        Console::Get().JsonResult(JsonObject()
                                      .Object("error", JsonObject()
                                                           .Number("status", kExitUsage)
                                                           .String("kind", "usage")
                                                           .Null("code")
                                                           .Null("name")
                                                           .String("message", message))
                                      .Text());
    return kExitUsage;
}

}  // namespace

int Run(int argc, char** argv) {
    GlobalOptions global;
    TransferArgs transfer;
    EepromArgs eeprom;
    BankArgs bank;
    SyncArgs syncArgs;
    std::string baud;
    bool all = false;

    CLI::App app("qxtool: every operation of the Quillon device library from a shell.", "qxtool");
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionLine("qxtool"), "print the version and exit");
    app.fallthrough();
    app.add_option("-p,-P,--port", global.port,
                   "the device's port: COMn or a device path; without it qxtool scans the COM "
                   "ports as the launcher does")
        ->type_name("PORT");
    app.add_option("--log", global.logFile,
                   "write the device log to FILE, exactly the lines the debug window shows "
                   "(messages and the QXSerial: Write/Read dumps), one per line")
        ->type_name("FILE");
    app.add_option("--baud", global.baud,
                   "raise the link to this speed after opening, for this command only "
                   "(921600, 460800, 230400 or 115200)")
        ->type_name("BAUD")
        ->check(CLI::IsMember({"921600", "460800", "230400", "115200"}));
    app.add_flag("--json", global.json, "print the result as one JSON object on stdout");
    app.add_flag("-q,--quiet", global.quiet,
                 "no progress bar and no messages on stderr "
                 "(errors are still shown)");
    app.add_flag("-v,--verbose", global.verbose, "also print the device log on stderr");

    CLI::App* ports = app.add_subcommand(
        "ports",
        "list the serial ports of this machine with the COM-number map in use, the adapter "
        "behind each and whether it opens now");
    ports->footer(
        "On POSIX systems COMn resolves to $QX_COM_DIR/COMn when QX_COM_DIR is set, "
        "else through the built-in map (COM1-COM32: /dev/ttyS0-31, COM33-COM64: "
        "/dev/ttyUSB0-31, COM65-COM96: /dev/ttyACM0-31); tty nodes of USB, ACM and "
        "Bluetooth adapters that no COM name reaches are listed by path (use them with "
        "--port PATH). On Windows the ports come from the registry (SERIALCOMM) and the "
        "COMn device names, plus any other of COM1..COM255 that opens.\n\n"
        "Per port: the USB adapter behind it (vendor and product id, manufacturer, product, "
        "serial number; from sysfs on Linux, SetupAPI on Windows, with the friendly name and "
        "hardware id), its stable names (/dev/serial/by-id/..., which --port accepts), and "
        "whether it opens now or why not (no such port, permission denied, in use by another "
        "program, not a serial device). A warning when QX_COM_DIR names a folder that does "
        "not exist. JSON keys per port: name, com, path, source, present, opens, problem, "
        "reason, usb, description, hardwareId, stableNames.");

    CLI::App* detect =
        app.add_subcommand("detect", "find a device as the launcher does (FindDevice) and name it");
    detect->add_flag("--all", all,
                     "probe every serial port at once, one device object per port, and list "
                     "every device found (a machine with many silent ports takes the time of "
                     "one probe)");
    detect->footer(
        "Exit status 3 when no device answers. With --json: the identification "
        "block as 'info' gives it; with --all {\"devices\": [...]} holding one such "
        "object per device found.");

    CLI::App* info =
        app.add_subcommand("info", "identify the device and print its identification block");
    info->footer(
        "JSON keys: port, model, name, hardwareId, firmware, protocolFamily, "
        "hardwareType, interfaceType, capabilities, memorySize, bankSize, bankCount, "
        "activeBankSize, dataWidth, emulationBank, readWriteBank, baud, encryption "
        "(and tolliverMode on the Tolliver).");

    CLI::App* read = app.add_subcommand("read", "read device memory into FILE");
    read->add_option("FILE", transfer.files,
                     "the file to write (replaced; checked before the device is read), - for "
                     "standard output; with --split both the even bytes' file, then the odd's")
        ->required();
    read->add_option("--address", transfer.address, "device address to start at (default 0)")
        ->check(kNonEmpty);
    read->add_option("--length", transfer.length,
                     "bytes to read; default: the rest of the active bank (the image the "
                     "device emulates now, GetActiveBankSize)")
        ->check(kNonEmpty);
    AddTransferOptions(read, transfer, false);
    read->add_option("--space", transfer.space,
                     "memory space of the two-space models: 1 or 2 (default: the library's, 2)")
        ->check(CLI::IsMember({"1", "2"}));
    read->footer(
        "A range past the bank (or the memory) is refused before anything is sent. In an "
        "Intel HEX or S-record file the records carry the device addresses (less --offset); "
        "an S-record file's type follows its extension (.s19 S1, .s28 S2, .s37 S3) or the "
        "range. On a 16-bit model (the Sarnet) address and length must be even.");

    CLI::App* write = app.add_subcommand("write", "write FILE into device memory and verify it");
    write
        ->add_option("FILE", transfer.files,
                     "the image file to write, - for standard input; with --split both the "
                     "even bytes' file, then the odd's")
        ->required();
    write
        ->add_option("--address", transfer.address,
                     "device address of the first byte of a binary file (default 0); Intel "
                     "HEX and S-record files carry their own addresses")
        ->check(kNonEmpty);
    AddTransferOptions(write, transfer, true);
    write
        ->add_option("--space", transfer.space,
                     "memory space of the two-space models: 1, 2 or both (default: the "
                     "library's; a bulk write fills both spaces, a block write sends no space "
                     "bits)")
        ->check(CLI::IsMember({"1", "2", "both"}));
    write->add_flag("--alt", transfer.alt,
                    "block writes with command X, checked by the device's 16-bit sum (implies "
                    "--method block)");
    write->add_flag("--lower", transfer.lower,
                    "block writes with command w (ignored by the library for the common command "
                    "set; implies --method block)");
    write->add_flag("--no-verify", transfer.noVerify, "do not read the image back");
    write
        ->add_option("--fill", transfer.fill,
                     "byte for the holes between the records of the file (default 0xFF); given, "
                     "it also pads an image to the whole 16-bit words a 16-bit model needs")
        ->type_name("BYTE")
        ->check(kNonEmpty);
    write->footer(
        "The range from the file's lowest to its highest address is written in one "
        "transfer, holes filled with --fill, then read back with the same method "
        "and compared; the first differing address is reported (exit status 1). A "
        "malformed file (bad checksum, bad hex digit, overlapping records) or data "
        "past the bank (or the memory) is refused with its line number, exit status 2, "
        "before anything is sent to the device. After a failed write stderr names the range "
        "that was acknowledged and the range that may be incomplete (with --quiet too).");

    CLI::App* verify = app.add_subcommand("verify", "compare device memory with FILE");
    verify
        ->add_option("FILE", transfer.files,
                     "the image file to compare with, - for standard input; with --split "
                     "both the even bytes' file, then the odd's")
        ->required();
    verify
        ->add_option("--address", transfer.address,
                     "device address of the first byte of a binary file (default 0)")
        ->check(kNonEmpty);
    AddTransferOptions(verify, transfer, true);
    verify
        ->add_option("--space", transfer.space,
                     "memory space of the two-space models: 1, 2 or both")
        ->check(CLI::IsMember({"1", "2", "both"}));
    verify->footer(
        "Only the bytes the file holds are compared (holes between records are "
        "not). Exit status 1 and the first differing address when they differ.");

    CLI::App* syncCommand = app.add_subcommand(
        "sync", "write only what differs between FILE and device memory (--watch: on every save)");
    syncCommand->add_option("FILE", syncArgs.file, "the image file, - for standard input")
        ->required();
    syncCommand
        ->add_option("--address", syncArgs.address,
                     "device address of the first byte of a binary file (default 0)")
        ->check(kNonEmpty);
    syncCommand->add_option("--format", syncArgs.format, FormatHelp(true))
        ->check(CLI::IsMember({"bin", "ihex", "srec"}));
    syncCommand
        ->add_option("--offset", syncArgs.offset,
                     "add N (may be negative) to the addresses of an Intel HEX or S-record file")
        ->type_name("N")
        ->check(kNonEmpty);
    syncCommand
        ->add_option("--split", syncArgs.split,
                     "FILE is one byte lane of a 16-bit image: even or odd (file address f is "
                     "device address 2f or 2f+1); the other lane keeps the device's bytes")
        ->check(CLI::IsMember({"even", "odd"}));
    syncCommand
        ->add_option("--fill", syncArgs.fill,
                     "byte for holes (default 0xFF); given, it also pads to whole 16-bit words")
        ->type_name("BYTE")
        ->check(kNonEmpty);
    syncCommand
        ->add_option("--bank", syncArgs.bank,
                     "reach this bank instead of the one the device emulates (banked models)")
        ->type_name("N")
        ->check(kNonEmpty);
    syncCommand
        ->add_option("--method", syncArgs.method,
                     "bulk: every changed page the bulk way; block: block writes only; default: "
                     "bulk for whole 4096-byte blocks of changed pages when the device has bulk "
                     "transfers, block writes for the rest")
        ->check(CLI::IsMember({"bulk", "block"}));
    syncCommand
        ->add_option("--space", syncArgs.space,
                     "memory space of the two-space models: 1 or 2 (default 2)")
        ->check(CLI::IsMember({"1", "2"}));
    syncCommand->add_flag("--plain", syncArgs.plain,
                          "send the transfers unencrypted even when the device has the link "
                          "cipher on");
    syncCommand->add_flag("--watch", syncArgs.watch,
                          "keep the port open and sync again each time FILE is saved");
    syncCommand->add_flag("--assume-written", syncArgs.assumeWritten,
                          "trust FILE.qxsync, left by the last sync of FILE, for what the device "
                          "holds instead of reading it (read anyway when it names another "
                          "device, bank or range)");
    syncCommand->footer(
        "The device's range is read once (or, with --assume-written, taken from the state "
        "file FILE.qxsync that a sync leaves beside FILE when it ends), compared with the file "
        "page by page (256 bytes), and only the pages that differ are written and read back. "
        "Holes "
        "between the records of a file are 0xFF, as 'write' fills them. Data past the "
        "device's memory is refused before anything is written (exit status 2).\n\n"
        "--watch: after the first sync qxtool watches FILE's folder (an editor that saves "
        "by renaming a new file over FILE is seen too) and syncs 50 ms after the last change, "
        "one line per sync: pages, bytes, and the milliseconds from the change to the "
        "device's acknowledgement. A file that cannot be read, is malformed or no longer fits "
        "is reported and skipped until the next save. Ctrl+C while waiting closes the port "
        "and exits with status 0; during a sync it stops the transfer as for 'write' "
        "(status 1, VR_E_OPERATION_CANCELED). With --json: one JSON object per sync.");

    CLI::App* eepromCommand = app.add_subcommand("eeprom", "read or write the device's EEPROM");
    eepromCommand->require_subcommand(1);
    CLI::App* eepromRead = eepromCommand->add_subcommand("read", "read LEN EEPROM bytes at ADDR");
    eepromRead->add_option("ADDR", eeprom.address, "EEPROM address, 0 to 0xFFFF")->required();
    eepromRead->add_option("LEN", eeprom.value, "number of bytes, 1 to 256 (default 1)");
    CLI::App* eepromWrite = eepromCommand->add_subcommand("write", "write one EEPROM byte");
    eepromWrite->add_option("ADDR", eeprom.address, "EEPROM address, 0 to 0xFFFF")->required();
    eepromWrite->add_option("BYTE", eeprom.value, "the value, 0 to 0xFF")->required();

    CLI::App* bankCommand = app.add_subcommand("bank", "read or select the memory banks");
    bankCommand->require_subcommand(1);
    CLI::App* bankGet = bankCommand->add_subcommand("get", "print the emulation (or R/W) bank");
    CLI::App* bankSet = bankCommand->add_subcommand("set", "select the emulation (or R/W) bank");
    bankSet->add_option("N", bank.bank, "bank number, 0 to the device's last bank ('info')")
        ->required();
    for (CLI::App* command : {bankGet, bankSet}) {
        CLI::Option* rw = command->add_flag("--rw", bank.readWrite,
                                            "the read/write bank (the one reads and writes reach)");
        CLI::Option* emulation = command->add_flag("--emulation", bank.emulation,
                                                   "the active emulation bank (the default)");
        rw->excludes(emulation);
    }
    bankSet->add_flag("--persistent", bank.persistent,
                      "keep the emulation bank over a power cycle");
    bankCommand->footer(
        "On the Tolliver one bank byte serves both selectors. A bank the device does not have "
        "is refused before anything is sent.");

    CLI::App* speed = app.add_subcommand("speed",
                                         "set the link speed and check that the device "
                                         "answers at it");
    speed->add_option("BAUD", baud, "921600, 460800, 230400 or 115200")->required();
    speed->footer(
        "The speed lasts for this one command: qxtool closes the port when it ends, "
        "which brings the device back to 115200 baud (a port cannot stay open across "
        "processes). To run another command faster, give it --baud.");

    CLI::App* flashinfo = app.add_subcommand("flashinfo", "print the 16 flash information bytes");
    CLI::App* serial = app.add_subcommand("serial", "print the 9 serial bytes");
    CLI::App* tolliver = app.add_subcommand("tolliver", "Tolliver configuration");
    tolliver->require_subcommand(1);
    CLI::App* tolliverMode =
        tolliver->add_subcommand("mode", "read the Tolliver mode and the bank geometry it sets");
    CLI::App* models =
        app.add_subcommand("models", "list the models the library knows (no device needed)");
    models->footer(
        "One line per hardware-ID letter: model, command-set family, type, memory, banks, data "
        "width and capabilities (those marked 'by firmware' depend on the firmware version). "
        "With --json: {\"models\": [...]}.");
    app.footer(kFooter);

    if (const auto misnamed = MisnamedCommand(argc, argv, app))
        return UsageFailure(argc, argv, *misnamed);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return UsageFailure(argc, argv, e.what());
    }

    Console::Get().Configure(global.quiet, global.verbose, global.json);
    try {
        if (ports->parsed()) return RunPorts();
        if (models->parsed()) return RunModels();
        Session session(global);
        if (detect->parsed()) return all ? RunDetectAll(session) : RunDetect(session);
        if (info->parsed()) return RunInfo(session);
        if (read->parsed()) return RunRead(session, transfer);
        if (write->parsed()) return RunWrite(session, transfer);
        if (verify->parsed()) return RunVerify(session, transfer);
        if (syncCommand->parsed()) return RunSync(session, syncArgs);
        if (eepromRead->parsed()) return RunEepromRead(session, eeprom);
        if (eepromWrite->parsed()) return RunEepromWrite(session, eeprom);
        if (bankGet->parsed()) return RunBankGet(session, bank);
        if (bankSet->parsed()) return RunBankSet(session, bank);
        if (speed->parsed()) return RunSpeed(session, baud);
        if (flashinfo->parsed()) return RunFlashInfo(session);
        if (serial->parsed()) return RunSerial(session);
        if (tolliverMode->parsed()) return RunTolliverMode(session);
        throw UsageError("no command given");
    } catch (const ToolError& error) {
        ReportFailure(error);
        return error.Status();
    } catch (const std::exception& error) {
        ReportFailure(ToolError(kExitDeviceFailed, error.what()));
        return kExitDeviceFailed;
    }
}

}  // namespace qx::tool
