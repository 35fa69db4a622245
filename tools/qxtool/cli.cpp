#include "tools/qxtool/cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "device/result_codes.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/detect_all.h"
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

Exit status:
  0  success
  1  a device operation failed: stderr names the result code and its number, e.g.
     "VR_E_COMM_READ_TIMEOUT (-17)", and what was being done; or a verify found a difference
  2  usage error or bad input file (nothing is sent to the device)
  3  no device found

Numbers are decimal or 0x-hexadecimal. With --json the result is one JSON object on stdout
(on failure: {"error": {...}}); messages and the progress bar go to stderr.
)qx";

void AddTransferOptions(CLI::App* command, TransferArgs& args, bool write) {
    command
        ->add_option("--format", args.format,
                     "file format: bin, ihex (Intel HEX) or srec (Motorola S-record); "
                     "default: from the file name (.bin, .hex/.ihx, .s19/.s28/.s37/.srec), " +
                         std::string(write ? "else from the content" : "else bin"))
        ->check(CLI::IsMember({"bin", "ihex", "srec"}));
    command
        ->add_option("--method", args.method,
                     "bulk or block transfers; default: bulk when the device has them and "
                     "address and length are multiples of 256, else block")
        ->check(CLI::IsMember({"bulk", "block"}));
    command->add_flag("--plain", args.plain,
                      "send the transfer unencrypted even when the device has the link cipher on");
}

void ReportFailure(const ToolError& error) {
    Console::Get().Error("qxtool: " + std::string(error.what()));
    if (!Console::Get().Json()) return;
    JsonObject detail;
    detail.Number("status", error.Status()).String("message", error.what());
    if (const auto* device = dynamic_cast<const DeviceError*>(&error)) {
        detail.Number("code", device->Code())
            .String("name", ResultCodeName(device->Code()))
            .String("during", device->During());
    }
    Console::Get().JsonResult(JsonObject().Object("error", detail).Text());
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
    app.fallthrough();
    app.add_option("-p,--port", global.port,
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
    read->add_option("FILE", transfer.file, "the file to write (replaced)")->required();
    read->add_option("--address", transfer.address, "device address to start at (default 0)");
    read->add_option("--length", transfer.length,
                     "bytes to read; default: the rest of the active bank (the image the "
                     "device emulates now, GetActiveBankSize)");
    AddTransferOptions(read, transfer, false);
    read->add_option("--space", transfer.space,
                     "memory space of the two-space models: 1 or 2 (default: the library's, 2)")
        ->check(CLI::IsMember({"1", "2"}));
    read->footer(
        "A range past the device's memory is refused before anything is sent. In an "
        "Intel HEX or S-record file the records carry the device addresses.");

    CLI::App* write = app.add_subcommand("write", "write FILE into device memory and verify it");
    write->add_option("FILE", transfer.file, "the image file to write")->required();
    write->add_option("--address", transfer.address,
                      "device address of the first byte of a binary file (default 0); Intel "
                      "HEX and S-record files carry their own addresses");
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
    write->add_option("--fill", transfer.fill,
                      "byte for the holes between the records of the file (default 0xFF)");
    write->footer(
        "The range from the file's lowest to its highest address is written in one "
        "transfer, holes filled with --fill, then read back with the same method "
        "and compared; the first differing address is reported (exit status 1). A "
        "malformed file (bad checksum, bad hex digit, overlapping records) or data "
        "past the device's memory is refused with its line number, exit status 2, "
        "before anything is sent to the device.");

    CLI::App* verify = app.add_subcommand("verify", "compare device memory with FILE");
    verify->add_option("FILE", transfer.file, "the image file to compare with")->required();
    verify->add_option("--address", transfer.address,
                       "device address of the first byte of a binary file (default 0)");
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
    syncCommand->add_option("FILE", syncArgs.file, "the image file")->required();
    syncCommand->add_option("--address", syncArgs.address,
                            "device address of the first byte of a binary file (default 0)");
    syncCommand
        ->add_option("--format", syncArgs.format,
                     "file format: bin, ihex or srec; default: from the file name, else from "
                     "the content")
        ->check(CLI::IsMember({"bin", "ihex", "srec"}));
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
    bankSet->add_option("N", bank.bank, "bank number, 0 to 255")->required();
    for (CLI::App* command : {bankGet, bankSet}) {
        CLI::Option* rw = command->add_flag("--rw", bank.readWrite,
                                            "the read/write bank (the one reads and writes reach)");
        CLI::Option* emulation = command->add_flag("--emulation", bank.emulation,
                                                   "the active emulation bank (the default)");
        rw->excludes(emulation);
    }
    bankSet->add_flag("--persistent", bank.persistent,
                      "keep the emulation bank over a power cycle");
    bankCommand->footer("On the Tolliver one bank byte serves both selectors.");

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
    app.footer(kFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "qxtool: %s\nRun with --help for more information.\n", e.what());
        return kExitUsage;
    }

    Console::Get().Configure(global.quiet, global.verbose, global.json);
    try {
        if (ports->parsed()) return RunPorts();
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
