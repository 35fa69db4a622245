#include "tools/qxtool/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_codes.h"
#include "resources/version_text.h"
#include "tools/qxtool/command_table.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/session.h"
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

// Whether a command belongs to a group (null: is a top-level one).
bool InGroup(const CommandSpec& command, const char* group) {
    if (group == nullptr || command.group == nullptr) return group == command.group;
    return std::string_view(group) == command.group;
}

std::string UnknownCommand(const std::string& word, const char* group) {
    std::vector<std::string> names;
    for (const CommandSpec& command : Commands())
        if (InGroup(command, group)) names.push_back(command.name);
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
std::optional<std::string> MisnamedCommand(int argc, char** argv) {
    const CommandSpec* group = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return std::nullopt;
        if (word.size() > 1 && word[0] == '-') {
            if (group != nullptr) return std::nullopt;  // a command's own options follow
            if (word.find('=') == std::string::npos && TakesValue(word)) ++i;
            continue;
        }
        const CommandSpec* command = nullptr;
        for (const CommandSpec& candidate : Commands())
            if (candidate.name == word && InGroup(candidate, group ? group->name : nullptr))
                command = &candidate;
        if (command == nullptr) return UnknownCommand(word, group ? group->name : nullptr);
        if (command->setup != nullptr) return std::nullopt;
        group = command;
    }
    return std::nullopt;
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

    struct Declared {
        CLI::App* app;
        CommandRunner run;
    };
    std::vector<Declared> declared;  // in the table's order
    std::map<std::string_view, CLI::App*> groups;
    for (const CommandSpec& spec : Commands()) {
        CLI::App* parent = spec.group == nullptr ? &app : groups.at(spec.group);
        CLI::App* command = parent->add_subcommand(spec.name, spec.help);
        CommandRunner run;
        if (spec.setup != nullptr) {
            run = spec.setup(*command);
        } else {
            command->require_subcommand(1);
            groups[spec.name] = command;
        }
        declared.push_back({command, std::move(run)});
    }
    // Footers last: a command created later would take its parent's as its own.
    for (size_t i = 0; i < declared.size(); ++i)
        if (Commands()[i].footer != nullptr) declared[i].app->footer(Commands()[i].footer);
    app.footer(kFooter);

    if (const auto misnamed = MisnamedCommand(argc, argv))
        return UsageFailure(argc, argv, *misnamed);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return UsageFailure(argc, argv, e.what());
    }

    Console::Get().Configure(global.quiet, global.verbose, global.json);
    try {
        CommandContext context(global);
        for (const Declared& command : declared)
            if (command.run && command.app->parsed()) return command.run(context);
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
