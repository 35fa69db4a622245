#include "tools/qxtool/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <vector>

#include "device/model_table.h"
#include "device/ranged_transfer.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/image_source.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/memory_window.h"
#include "tools/qxtool/placement.h"
#include "tools/qxtool/progress.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

constexpr uint32_t kEepromSize = 0x10000;

class Stopwatch {
  public:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

bool PageAligned(uint64_t address, uint64_t length) {
    return address % 256 == 0 && length % 256 == 0;
}

uint32_t SpaceFlag(const std::string& space) {
    if (space == "1") return XferSpace1;
    if (space == "2") return XferSpace2;
    return 0;
}

std::string SpaceNote(uint32_t flags) {
    if (flags & XferSpace1) return ", space 1";
    if (flags & XferSpace2) return ", space 2";
    return "";
}

bool TwoSpaces(const QXVorrel& device) {
    return TraitsOf(device.hardwareType).twoMemorySpaces;
}

std::string ModelName(const QXVorrel& device) {
    const std::string model = ModelWithoutVersion(device);
    return model.empty() ? "device" : model;
}

// The space a failed write stopped in. A bulk write without a named space on the two-space
// models fills space 2 and then space 1 in one ranged transfer; --space both makes one call
// per space.
std::string FailedSpace(const RangeStatus& status, size_t call, size_t calls) {
    if (status.passes == 2)
        return status.pass == 1 ? "space 1 (space 2 is complete)"
                                : "space 2 (space 1 not yet written)";
    if (calls == 2 && call == 1) return "space 1 (space 2 is complete)";
    const std::string note = SpaceNote(status.space);
    return note.empty() ? "" : note.substr(2);
}

JsonObject CommandJson(const char* command, const Session& session) {
    JsonObject json;
    json.String("command", command).String("port", session.PortLabel());
    return json;
}

RangeMethod MethodOf(const std::string& method) {
    if (method == "bulk") return RangeMethod::Bulk;
    if (method == "block") return RangeMethod::Block;
    return RangeMethod::Auto;
}

// Whether the transfer goes the bulk way first; --method bulk where it cannot is a usage error.
bool ChooseBulk(const QXVorrel& device, const std::string& method, uint64_t address,
                uint64_t length, uint32_t flags, const char* direction) {
    if (method == "bulk") {
        if ((device.capabilities & CapBulk) == 0)
            throw UsageError("--method bulk: the " + ModelName(device) + " has no bulk transfers");
        if (!PageAligned(address, length))
            throw UsageError(std::string("--method bulk: bulk ") + direction +
                             " need address and length in multiples of 256 (" +
                             Range(address, length) + ")");
        return true;
    }
    RangeOptions options;
    options.flags = flags;
    options.method = MethodOf(method);
    return RangeUsesBulk(device, static_cast<uint32_t>(address), static_cast<uint32_t>(length),
                         options);
}

RangeOptions TransferOptions(uint32_t flags, bool bulk, Progress& progress) {
    RangeOptions options;
    options.flags = flags;
    options.method = bulk ? RangeMethod::Bulk : RangeMethod::Block;
    options.canceled = &Interrupted;
    options.progress = [&progress](const RangeStatus& status) { progress.Report(status); };
    return options;
}

std::string Method(bool bulk) {
    return bulk ? "bulk" : "block";
}

std::vector<uint8_t> ReadDevice(Session& session, const MemoryWindow& window, uint32_t address,
                                uint32_t length, uint32_t flags, bool bulk, const char* label) {
    QXVorrel& device = session.Device();
    std::vector<uint8_t> data(length);
    const std::string what = "reading " + Bytes(length) + " at " + Range(address, length) + " (" +
                             Method(bulk) + SpaceNote(flags) + ") from " + session.PortLabel();
    session.CheckInterrupted(what);
    Progress progress(label, length);
    progress.Update(0);
    const int32_t result = ReadRange(device, data.data(), window.base + address, length,
                                     TransferOptions(flags, bulk, progress), nullptr);
    session.Check(result, what, "the " + ModelName(device) + " has no bulk transfers");
    return data;
}

struct Difference {
    uint64_t address = 0;
    uint8_t device = 0;
    uint8_t file = 0;
    uint64_t count = 0;
};

[[noreturn]] void VerifyFailed(const Difference& d, const std::string& port,
                               const std::string& where = "") {
    ToolError error(kExitDeviceFailed,
                    "verify failed on " + port + ": first difference at " + Address(d.address) +
                        " (device " + Hex(d.device, 2) + ", file " + Hex(d.file, 2) + "), " +
                        Plural(d.count, "byte differs", "bytes differ") + where,
                    "verify");
    error.Details().Object("difference", JsonObject()
                                             .Number("address", static_cast<int64_t>(d.address))
                                             .Number("device", d.device)
                                             .Number("file", d.file)
                                             .Number("count", static_cast<int64_t>(d.count)));
    throw error;
}

// Compares what the device holds from `from` with the placed bytes a file gives (or all of
// them).
std::optional<Difference> Compare(const std::vector<uint8_t>& device, uint32_t from,
                                  const Placement& placed, bool givenOnly) {
    std::optional<Difference> first;
    const size_t skip = placed.address - from;
    for (size_t i = 0; i < placed.bytes.size(); ++i) {
        if (givenOnly && !placed.Given(i)) continue;
        if (device[skip + i] == placed.bytes[i]) continue;
        if (!first) first = Difference{placed.address + i, device[skip + i], placed.bytes[i], 0};
        ++first->count;
    }
    return first;
}

std::optional<uint32_t> ParseBank(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return static_cast<uint32_t>(ParseNumber(text, 255, "--bank"));
}

// --split and the files it needs: one file, or two with --split both.
Layout ParseLayout(const TransferArgs& args, bool fill) {
    Layout layout;
    if (args.split == "both") {
        layout.bothLanes = true;
        if (args.files.size() != 2)
            throw UsageError("--split both takes two files: the even bytes' and the odd bytes'");
    } else {
        layout.lane = LaneFromOption(args.split.empty() ? "all" : args.split).value_or(Lane::All);
        if (args.files.size() != 1)
            throw UsageError("a second FILE goes with --split both (the odd bytes' file)");
    }
    if (std::count(args.files.begin(), args.files.end(), std::string(kStandardStream)) > 1)
        throw UsageError("only one of the files can be standard input or output (-)");
    if (fill && !args.fill.empty()) {
        layout.fill = static_cast<uint8_t>(ParseNumber(args.fill, 0xFF, "--fill"));
        layout.fillGiven = true;
    }
    return layout;
}

bool Split(const Layout& layout) {
    return layout.bothLanes || layout.lane != Lane::All;
}

// Where the files land: a binary file at --address, record files moved by --offset.
int64_t ShiftOf(const TransferArgs& args, const std::vector<Source>& sources,
                const Layout& layout) {
    const bool binary = sources[0].format == image::Format::Binary;
    for (const Source& source : sources)
        if ((source.format == image::Format::Binary) != binary)
            throw UsageError(
                "the two files of --split both must both be binary or both record "
                "files");
    int64_t shift = 0;
    if (binary) {
        if (!args.offset.empty())
            throw UsageError(
                "--offset moves the records of Intel HEX and S-record files; a "
                "binary file is placed with --address");
        if (!args.address.empty())
            shift = static_cast<int64_t>(ParseNumber(args.address, 0xFFFFFFFFu, "--address"));
    } else {
        if (!args.address.empty())
            throw UsageError(std::string("--address places a binary file; ") +
                             image::FormatOption(sources[0].format) +
                             " files carry their own addresses (--offset moves them)");
        if (!args.offset.empty()) shift = ParseSignedNumber(args.offset, "--offset");
    }
    if (Split(layout) && shift % 2 != 0)
        throw UsageError(
            "with --split, --address and --offset count device bytes and must be "
            "even");
    return shift;
}

std::vector<Source> LoadSources(const TransferArgs& args) {
    std::vector<Source> sources;
    for (const std::string& file : args.files) sources.push_back(LoadSource(file, args.format));
    return sources;
}

std::string FileNames(const std::vector<Source>& sources) {
    std::string names;
    for (const Source& source : sources) names += (names.empty() ? "" : " + ") + source.label;
    return names;
}

uint32_t AlignmentUnit(const QXVorrel& device) {
    const int32_t bytes = device.dataWidth / 8;
    return bytes > 1 ? static_cast<uint32_t>(bytes) : 1;
}

std::string WordNote(const QXVorrel& device) {
    return "the " + ModelName(device) + " moves " + std::to_string(device.dataWidth) +
           "-bit words, so a transfer starts at an even address and covers whole words";
}

// A range the device cannot take on its word boundaries, in words.
std::string Misalignment(const QXVorrel& device, uint64_t address, uint64_t length,
                         const std::string& what) {
    const std::string fault =
        address % 2 != 0 ? "starts at an odd address" : "has an odd length (" + Bytes(length) + ")";
    return what + " (" + Range(address, length) + ") " + fault + ": " + WordNote(device);
}

}  // namespace

void WriteFailed(int32_t result, const std::string& what, uint32_t address, uint32_t length,
                 const RangeStatus& status, const std::string& space) {
    // Which part of the target holds the new bytes for certain and which part may hold old
    // bytes, new bytes or a mix (the packet in flight may be half stored). Not progress but
    // the error itself: shown with --quiet too.
    const uint32_t acknowledged = status.done;
    std::string note = "qxtool: ";
    if (!space.empty()) note += "in " + space + ", ";
    if (acknowledged != 0) note += Range(address, acknowledged) + " was written and acknowledged; ";
    note += Range(address + acknowledged, length - acknowledged) + " (" +
            Bytes(length - acknowledged) + ") may be incomplete";
    Console::Get().Error(note);
    DeviceError error(result, what);
    JsonObject incomplete;
    incomplete.Number("address", int64_t{address} + acknowledged)
        .Number("length", int64_t{length} - acknowledged)
        .Number("acknowledged", acknowledged);
    if (!space.empty()) incomplete.String("space", space);
    incomplete.Bool("fellBack", status.fellBack);
    error.Details().Object("incomplete", incomplete);
    Console::Get().DrainLog();
    throw error;
}

JsonObject& AddBank(JsonObject& json, const MemoryWindow& window) {
    if (window.bank < 0) return json.Null("bank");
    return json.Number("bank", window.bank);
}

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 16 ||
        digits.find_first_not_of(allowed) != std::string::npos)
        throw UsageError(what + ": '" + text + "' is not a number (decimal or 0x hexadecimal)");
    const uint64_t value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > max) throw UsageError(what + ": " + text + " is above " + std::to_string(max));
    return value;
}

int64_t ParseSignedNumber(const std::string& text, const std::string& what) {
    const bool negative = !text.empty() && text[0] == '-';
    const uint64_t magnitude = ParseNumber(negative ? text.substr(1) : text, 0xFFFFFFFFu, what);
    return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

int RunInfo(Session& session) {
    session.Open();
    QXVorrel& device = session.Device();
    Console::Get().Result(DeviceText(device, session.PortLabel()));
    Console::Get().JsonResult(DeviceJson(device, session.PortLabel()).Text());
    return kExitOk;
}

int RunDetect(Session& session) {
    session.Open();
    QXVorrel& device = session.Device();
    Console::Get().Result(DeviceLine(device, session.PortLabel()));
    Console::Get().JsonResult(DeviceJson(device, session.PortLabel()).Text());
    return kExitOk;
}

int RunRead(Session& session, const TransferArgs& args) {
    const Layout layout = ParseLayout(args, false);
    std::vector<image::Format> formats;
    for (const std::string& file : args.files) {
        formats.push_back(args.format.empty()
                              ? image::FormatFromName(file).value_or(image::Format::Binary)
                              : *image::FormatFromOption(args.format));
        if (file == kStandardStream && Console::Get().Json())
            throw UsageError("read -: standard output carries the image; leave out --json");
    }
    const bool binary = formats[0] == image::Format::Binary;
    for (const image::Format format : formats)
        if ((format == image::Format::Binary) != binary)
            throw UsageError(
                "the two files of --split both must both be binary or both record "
                "files");
    const uint64_t address =
        args.address.empty() ? 0 : ParseNumber(args.address, 0xFFFFFFFFu, "--address");
    std::optional<uint64_t> length;
    if (!args.length.empty()) {
        length = ParseNumber(args.length, 0xFFFFFFFFu, "--length");
        if (*length == 0) throw UsageError("--length must not be 0");
    }
    int64_t offset = 0;
    if (!args.offset.empty()) {
        if (binary)
            throw UsageError(
                "--offset moves the records of Intel HEX and S-record files; a "
                "binary file starts at --address");
        offset = ParseSignedNumber(args.offset, "--offset");
    }
    const std::optional<uint32_t> bank = ParseBank(args.bank);
    const uint32_t flags = SpaceFlag(args.space) | (args.plain ? XferPlain : 0);
    // Before the device is touched: a file that cannot be written would lose the read.
    for (const std::string& file : args.files) CheckWritable(file);
    if (std::find(args.files.begin(), args.files.end(), kStandardStream) != args.files.end()) {
        UseBinaryStdio();
        Console::Get().StdoutCarriesData();
    }

    session.Open();
    QXVorrel& device = session.Device();
    const MemoryWindow window = PlanWindow(device, bank);
    if (!length) {
        if (window.limit == 0) throw UsageError("the device reports no memory size: give --length");
        window.CheckFits(address, 1, "--address " + Address(address));
        length = window.limit - address;
    }
    window.CheckFits(address, *length, "the range " + Range(address, *length));
    if (address + *length > 0x100000000ull)
        throw UsageError("the range runs past the 32-bit address space");
    const uint32_t unit = AlignmentUnit(device);
    if (address % unit != 0 || *length % unit != 0)
        throw UsageError(Misalignment(device, address, *length, "the range"));
    if (Split(layout) && (address % 2 != 0 || *length % 2 != 0 || offset % 2 != 0))
        throw UsageError(
            "with --split, --address, --length and --offset cover whole byte pairs "
            "(even numbers)");
    const bool bulk = ChooseBulk(device, args.method, address, *length, flags, "reads");
    SelectWindow(session, window);

    const Stopwatch stopwatch;
    const std::vector<uint8_t> data =
        ReadDevice(session, window, static_cast<uint32_t>(address), static_cast<uint32_t>(*length),
                   flags, bulk, "read");
    const double seconds = stopwatch.Seconds();
    for (size_t i = 0; i < args.files.size(); ++i) {
        const Lane lane = SourceLane(layout, i);
        // A binary file starts with the first byte read; records carry device addresses.
        const int64_t shift = binary ? static_cast<int64_t>(address) : offset;
        image::Image out;
        try {
            out = Extract(data, static_cast<uint32_t>(address), lane, shift);
        } catch (const PlacementError& e) {
            throw FileError(args.files[i], e.what());
        }
        image::WriteOptions options;
        options.sRecordAddressBytes = image::SRecordAddressBytesFromName(args.files[i]);
        WriteOutput(args.files[i], image::Write(out, formats[i], options));
    }
    std::string files;
    for (const std::string& file : args.files)
        files +=
            (files.empty() ? "" : " + ") + (file == kStandardStream ? "standard output" : file);
    Console::Get().Result("read " + Bytes(*length) + " at " + Range(address, *length) + " from " +
                          session.PortLabel() + " into " + files + " (" +
                          image::FormatOption(formats[0]) + ", " + Method(bulk) + SpaceNote(flags) +
                          (Split(layout) ? ", split " + args.split : "") + ")");
    JsonObject json = CommandJson("read", session);
    json.String("file", args.files[0]);
    if (args.files.size() == 2) json.String("oddFile", args.files[1]);
    json.String("format", image::FormatOption(formats[0]))
        .Number("address", static_cast<int64_t>(address))
        .Number("length", static_cast<int64_t>(*length))
        .String("method", Method(bulk))
        .String("split", args.split.empty() ? "none" : args.split)
        .Real("seconds", seconds);
    Console::Get().JsonResult(AddBank(json, window).Text());
    return kExitOk;
}

int RunWrite(Session& session, const TransferArgs& args) {
    if (args.method == "bulk" && (args.alt || args.lower))
        throw UsageError(
            "--alt and --lower choose block write commands; they do not go with "
            "--method bulk");
    Layout layout = ParseLayout(args, true);
    const std::optional<uint32_t> bank = ParseBank(args.bank);
    if (std::find(args.files.begin(), args.files.end(), kStandardStream) != args.files.end())
        UseBinaryStdio();
    const std::vector<Source> sources = LoadSources(args);
    layout.shift = ShiftOf(args, sources, layout);

    session.Open();
    QXVorrel& device = session.Device();
    const MemoryWindow window = PlanWindow(device, bank);
    Placement placed = PlaceSources(sources, layout, window);
    // One byte lane: the other lane's bytes (and the file's holes) keep what the device holds.
    const bool keepDevice = layout.lane != Lane::All;
    const uint32_t unit = AlignmentUnit(device);
    if (keepDevice) {
        Pad(placed, std::max<uint32_t>(unit, 2), layout.fill);
    } else if (placed.address % unit != 0 || placed.bytes.size() % unit != 0) {
        if (!layout.fillGiven)
            throw UsageError(
                Misalignment(device, placed.address, placed.bytes.size(), "the image") +
                "; --fill BYTE pads it to whole words");
        Pad(placed, unit, layout.fill);
    }
    window.CheckFits(placed.address, placed.bytes.size(),
                     "the image (" + Range(placed.address, placed.bytes.size()) + ")");
    if (placed.bytes.size() > 0xFFFFFFFFu) throw UsageError("the image spans 4 GiB");
    const uint32_t address = placed.address;
    const auto length = static_cast<uint32_t>(placed.bytes.size());

    uint32_t common = args.plain ? XferPlain : 0;
    if (args.alt) common |= XferAltWrite;
    if (args.lower) common |= XferWriteLower;
    const bool bulk = ChooseBulk(device, args.method, address, length, common, "writes");
    // Without --space the library's own choice: on the two-space models a bulk write fills
    // both spaces, a block write sends no space bits. Keeping the device's bytes needs each
    // space read apart.
    std::vector<uint32_t> spaces = {SpaceFlag(args.space)};
    if (args.space == "both" || (keepDevice && bulk && args.space.empty() && TwoSpaces(device)))
        spaces = {XferSpace2, XferSpace1};
    SelectWindow(session, window);

    const Stopwatch stopwatch;
    std::vector<std::vector<uint8_t>> written;
    for (size_t call = 0; call < spaces.size(); ++call) {
        const uint32_t flags = common | spaces[call];
        std::vector<uint8_t> data = placed.bytes;
        if (keepDevice) {
            const std::vector<uint8_t> before =
                ReadDevice(session, window, address, length, (common & XferPlain) | spaces[call],
                           bulk, "read");
            for (size_t i = 0; i < data.size(); ++i)
                if (!placed.Given(i)) data[i] = before[i];
        }
        const std::string what = "writing " + Bytes(length) + " at " + Range(address, length) +
                                 " (" + Method(bulk) + SpaceNote(flags) + ") to " +
                                 session.PortLabel();
        session.CheckInterrupted(what);
        Progress progress("write", length);
        RangeOptions options = TransferOptions(flags, bulk, progress);
        // Without --method the library's rule: a failed bulk write goes on on the block path.
        if (bulk && args.method.empty()) options.method = RangeMethod::Auto;
        options.fallingBack = [](int32_t result) {
            Console::Get().Note("qxtool: the bulk write failed with " + DescribeResult(result) +
                                "; writing the whole range again on the block path in " +
                                std::to_string(kRangeFallbackPauseMs) + " ms");
        };
        RangeStatus status;
        const int32_t result =
            WriteRange(device, data.data(), window.base + address, length, options, &status);
        if (result < 0) {
            progress.Finish();
            WriteFailed(result, what, address, length, status,
                        FailedSpace(status, call, spaces.size()));
        }
        session.Check(result, what);
        written.push_back(std::move(data));
    }

    if (!args.noVerify) {
        const uint32_t readFlags = args.plain ? XferPlain : 0;
        for (size_t call = 0; call < spaces.size(); ++call) {
            const std::vector<uint8_t> back = ReadDevice(session, window, address, length,
                                                         readFlags | spaces[call], bulk, "verify");
            Placement expected;
            expected.address = address;
            expected.bytes = written[call];
            if (const auto first = Compare(back, address, expected, false))
                VerifyFailed(*first, session.PortLabel());
        }
    }
    const double seconds = stopwatch.Seconds();
    Console::Get().Result(
        "wrote " + Bytes(length) + " at " + Range(address, length) + " to " + session.PortLabel() +
        " from " + FileNames(sources) + " (" + image::FormatOption(sources[0].format) + ", " +
        Method(bulk) + (args.space.empty() ? "" : ", space " + args.space) +
        (Split(layout) ? ", split " + args.split : "") + ")" + (args.noVerify ? "" : ", verified"));
    JsonObject json = CommandJson("write", session);
    json.String("file", sources[0].label);
    if (sources.size() == 2) json.String("oddFile", sources[1].label);
    json.String("format", image::FormatOption(sources[0].format))
        .Number("address", int64_t{address})
        .Number("length", int64_t{length})
        .String("method", Method(bulk))
        .String("split", args.split.empty() ? "none" : args.split)
        .Bool("verified", !args.noVerify)
        .Real("seconds", seconds);
    Console::Get().JsonResult(AddBank(json, window).Text());
    return kExitOk;
}

int RunVerify(Session& session, const TransferArgs& args) {
    Layout layout = ParseLayout(args, false);
    const std::optional<uint32_t> bank = ParseBank(args.bank);
    if (std::find(args.files.begin(), args.files.end(), kStandardStream) != args.files.end())
        UseBinaryStdio();
    const std::vector<Source> sources = LoadSources(args);
    layout.shift = ShiftOf(args, sources, layout);

    session.Open();
    QXVorrel& device = session.Device();
    const MemoryWindow window = PlanWindow(device, bank);
    const Placement placed = PlaceSources(sources, layout, window);
    // The device is read in whole words; only the bytes the files hold are compared.
    const uint32_t unit = AlignmentUnit(device);
    const uint32_t address = placed.address - placed.address % unit;
    const uint64_t end = (placed.End() + unit - 1) / unit * unit;
    window.CheckFits(address, end - address, "the image (" + Range(address, end - address) + ")");
    if (end - address > 0xFFFFFFFFu) throw UsageError("the image spans 4 GiB");
    const auto length = static_cast<uint32_t>(end - address);
    const uint32_t plain = args.plain ? XferPlain : 0;
    const bool bulk = ChooseBulk(device, args.method, address, length, plain, "reads");
    std::vector<uint32_t> spaces = {SpaceFlag(args.space)};
    if (args.space == "both") spaces = {XferSpace2, XferSpace1};
    SelectWindow(session, window);

    for (const uint32_t space : spaces) {
        const std::vector<uint8_t> back =
            ReadDevice(session, window, address, length, space | plain, bulk, "verify");
        if (const auto first = Compare(back, address, placed, true))
            VerifyFailed(*first, session.PortLabel());
    }
    const uint64_t compared = placed.GivenCount();
    Console::Get().Result("verified " + Bytes(compared) + " of " + FileNames(sources) + " in " +
                          Range(placed.address, placed.bytes.size()) + " on " +
                          session.PortLabel());
    JsonObject json = CommandJson("verify", session);
    json.String("file", sources[0].label)
        .Number("address", int64_t{placed.address})
        .Number("length", static_cast<int64_t>(placed.bytes.size()))
        .Number("bytes", static_cast<int64_t>(compared))
        .Bool("match", true);
    Console::Get().JsonResult(AddBank(json, window).Text());
    return kExitOk;
}

int RunEepromRead(Session& session, const EepromArgs& args) {
    const auto address = static_cast<uint16_t>(ParseNumber(args.address, 0xFFFF, "ADDR"));
    const auto length =
        static_cast<uint16_t>(args.value.empty() ? 1 : ParseNumber(args.value, 256, "LEN"));
    if (length == 0) throw UsageError("LEN must be 1 to 256");
    if (uint32_t{address} + length > kEepromSize)
        throw UsageError("eeprom read " + Hex(address, 4) + " " + std::to_string(length) + ": " +
                         Bytes(length) + " at " + Hex(address, 4) +
                         " run past the end of the EEPROM (addresses 0x0000 to 0xFFFF)");
    session.Open();
    std::vector<uint8_t> data(length);
    session.Check(
        session.Device().ReadEEPROM(data.data(), address, length),
        "reading " + Plural(length, "EEPROM byte", "EEPROM bytes") + " at " + Hex(address, 4));
    std::string text;
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        const size_t n = std::min<size_t>(16, data.size() - offset);
        text +=
            Hex((address + offset) & 0xFFFF, 4) + ": " + HexBytes(data.data() + offset, n) + "\n";
    }
    Console::Get().Result(text);
    JsonArray bytes;
    for (const uint8_t b : data) bytes.Number(b);
    Console::Get().JsonResult(CommandJson("eeprom read", session)
                                  .Number("address", address)
                                  .Number("length", length)
                                  .Array("data", bytes)
                                  .Text());
    return kExitOk;
}

int RunEepromWrite(Session& session, const EepromArgs& args) {
    const auto address = static_cast<uint16_t>(ParseNumber(args.address, 0xFFFF, "ADDR"));
    const auto value = static_cast<uint8_t>(ParseNumber(args.value, 0xFF, "BYTE"));
    session.Open();
    session.Check(session.Device().WriteEEPROM(&value, address, 1),
                  "writing EEPROM byte " + Hex(value, 2) + " at " + Hex(address, 4));
    Console::Get().Result("EEPROM " + Hex(address, 4) + " = " + Hex(value, 2));
    Console::Get().JsonResult(CommandJson("eeprom write", session)
                                  .Number("address", address)
                                  .Number("value", value)
                                  .Text());
    return kExitOk;
}

int RunBankGet(Session& session, const BankArgs& args) {
    session.Open();
    const char* which = args.readWrite ? "read/write" : "emulation";
    uint8_t bank = 0;
    session.Check(session.Device().QueryBank(&bank, args.readWrite ? 1 : 0),
                  std::string("asking for the ") + which + " bank", "this model has no banks");
    Console::Get().Result(std::string(which) + " bank: " + std::to_string(bank));
    Console::Get().JsonResult(CommandJson("bank get", session)
                                  .String("selector", args.readWrite ? "rw" : "emulation")
                                  .Number("bank", bank)
                                  .Text());
    return kExitOk;
}

int RunBankSet(Session& session, const BankArgs& args) {
    const auto bank = static_cast<uint32_t>(ParseNumber(args.bank, 255, "N"));
    if (args.persistent && args.readWrite)
        throw UsageError("--persistent applies to the emulation bank, not to --rw");
    session.Open();
    QXVorrel& device = session.Device();
    const char* which = args.readWrite ? "read/write" : "emulation";
    const std::string what = std::string("setting the ") + which + " bank to " +
                             std::to_string(bank) + (args.persistent ? " (persistent)" : "");
    // Refused here, before anything is sent: the library would send some numbers the device
    // has no bank for.
    if ((device.capabilities & CapBanks) != 0 && bank >= BankLimit(device))
        throw UsageError("bank set " + std::to_string(bank) + ": this " + ModelName(device) +
                         " has banks 0 to " + std::to_string(BankLimit(device) - 1) +
                         WholeMemoryNote(device));
    if (TraitsOf(device.hardwareType).configBank) {
        // The Tolliver keeps one bank byte for both selectors, in its configuration bytes.
        session.Check(device.SetTolliverBank(bank), what, "this model has no banks");
    } else {
        session.Check(device.SetBank(bank, args.readWrite ? 1 : 0, args.persistent ? 1 : 0, 0),
                      what, "this model has no banks");
    }
    Console::Get().Result(std::string(which) + " bank set to " + std::to_string(bank) +
                          (args.persistent ? " (persistent)" : ""));
    Console::Get().JsonResult(CommandJson("bank set", session)
                                  .String("selector", args.readWrite ? "rw" : "emulation")
                                  .Number("bank", bank)
                                  .Bool("persistent", args.persistent)
                                  .Text());
    return kExitOk;
}

int RunSpeed(Session& session, const std::string& baudText) {
    const auto baud = static_cast<uint32_t>(ParseNumber(baudText, 0xFFFFFFFFu, "BAUD"));
    const auto index = SpeedIndexOfBaud(baud);
    if (!index) throw UsageError("BAUD must be 921600, 460800, 230400 or 115200");
    session.Open();
    QXVorrel& device = session.Device();
    const uint32_t before = LineBaud(device);
    session.Check(device.SetUSBBaud(*index, 0), "setting the link to " + baudText + " baud");
    // Proof that the link works at the new speed: the device answers there.
    session.Check(device.GetFirmwareVersion(nullptr),
                  "asking for the firmware version at " + baudText + " baud");
    Console::Get().Result("link at " + std::to_string(LineBaud(device)) + " baud (was " +
                          std::to_string(before) +
                          "); the device answers. It goes back to 115200 baud when qxtool "
                          "closes the port.");
    Console::Get().JsonResult(CommandJson("speed", session)
                                  .Number("baud", int64_t{LineBaud(device)})
                                  .Number("previousBaud", int64_t{before})
                                  .Text());
    return kExitOk;
}

int RunFlashInfo(Session& session) {
    session.Open();
    uint8_t info[kFlashInfoSize] = {};
    session.Check(session.Device().GetFlashInfo(info), "asking for the flash information",
                  "this model has no flash information");
    Console::Get().Result("flash information: " + HexBytes(info, sizeof info));
    JsonArray bytes;
    for (const uint8_t b : info) bytes.Number(b);
    Console::Get().JsonResult(CommandJson("flashinfo", session)
                                  .String("flashInfo", HexBytes(info, sizeof info, ""))
                                  .Array("data", bytes)
                                  .Text());
    return kExitOk;
}

int RunSerial(Session& session) {
    session.Open();
    uint8_t serial[9] = {};
    session.Check(session.Device().GetSerial(serial), "asking for the serial number");
    std::string text;
    for (const uint8_t b : serial) text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    // Byte 0 tells whether the link cipher is on (0 or 'n': off).
    const bool encryption = serial[0] != 0 && serial[0] != 'n';
    Console::Get().Result("serial: " + HexBytes(serial, sizeof serial) + "  \"" + text +
                          "\"  (encryption " + (encryption ? "enabled" : "disabled") + ")");
    Console::Get().JsonResult(CommandJson("serial", session)
                                  .String("serial", HexBytes(serial, sizeof serial, ""))
                                  .String("text", text)
                                  .Bool("encryptionEnabled", encryption)
                                  .Text());
    return kExitOk;
}

int RunTolliverMode(Session& session) {
    session.Open();
    QXVorrel& device = session.Device();
    session.Check(device.GetTolliverMode(), "asking for the Tolliver mode",
                  "only the Tolliver has a mode");
    Console::Get().Result("tolliver mode " + std::to_string(device.tolliverMode) + ": " +
                          Plural(static_cast<uint64_t>(device.bankCount), "bank", "banks") +
                          " of " + Hex(device.bankSize) + " bytes");
    Console::Get().JsonResult(CommandJson("tolliver mode", session)
                                  .Number("tolliverMode", int64_t{device.tolliverMode})
                                  .Number("bankCount", int64_t{device.bankCount})
                                  .Number("bankSize", int64_t{device.bankSize})
                                  .Text());
    return kExitOk;
}

int RunModels() {
    std::string text =
        "ID  model                 family type memory    banks          width capabilities\n";
    JsonArray models;
    for (const ModelRow& row : ModelTable()) {
        std::string name = row.name;
        if (row.step == ModelStep::NameString) name = "(named by the device)";
        if (name.empty()) name = "(no model)";
        if (row.majorFrom != 0) name += " (fw " + std::to_string(row.majorFrom) + "+)";
        if (row.majorTo != 255) name += " (fw <" + std::to_string(row.majorTo + 1) + ")";
        std::string capabilities = Hex(row.capabilities, 4);
        if (const std::string named = CapabilityNames(row.capabilities); !named.empty())
            capabilities += " " + named;
        std::string optional;
        JsonArray features;
        for (const FeatureCapability& feature : row.features) {
            if (feature.feature == 0) break;
            const uint32_t bits = feature.withFeature & ~feature.withoutFeature;
            const std::string named = CapabilityNames(bits);
            if (!optional.empty()) optional += ' ';
            optional += named.empty() ? Hex(bits, 2) : named;
            if (feature.withoutFeature != 0)
                optional += " (else " + Hex(feature.withoutFeature, 2) + ")";
            features.Object(JsonObject()
                                .Number("feature", feature.feature)
                                .Number("with", feature.withFeature)
                                .Number("without", feature.withoutFeature));
        }
        if (!optional.empty()) capabilities += "; by firmware: " + optional;
        const bool geometry = row.dataWidth != 0;
        const std::string banks =
            row.step == ModelStep::TolliverMode
                ? "by mode"
                : (geometry ? std::to_string(row.bankCount) + " x " + Hex(row.bankSize) : "-");
        char line[240];
        std::snprintf(line, sizeof line, "%c   %-21s %-6d %-4d %-9s %-14s %-5s %s\n", row.letter,
                      name.c_str(), row.family, row.type,
                      geometry ? Hex(row.memorySize).c_str() : "-", banks.c_str(),
                      geometry ? std::to_string(row.dataWidth).c_str() : "-", capabilities.c_str());
        text += line;
        models.Object(JsonObject()
                          .String("hardwareId", std::string(1, row.letter))
                          .String("model", row.name)
                          .Number("firmwareMajorFrom", row.majorFrom)
                          .Number("firmwareMajorTo", row.majorTo)
                          .Number("protocolFamily", row.family)
                          .Number("hardwareType", row.type)
                          .Number("capabilities", row.capabilities)
                          .Array("featureCapabilities", features)
                          .Number("dataWidth", row.dataWidth)
                          .Number("bankCount", row.bankCount)
                          .Number("memorySize", row.memorySize)
                          .Number("bankSize", row.bankSize)
                          .Bool("bankSizeByMode", row.step == ModelStep::TolliverMode));
    }
    Console::Get().Result(text);
    Console::Get().JsonResult(JsonObject().Array("models", models).Text());
    return kExitOk;
}

}  // namespace qx::tool
