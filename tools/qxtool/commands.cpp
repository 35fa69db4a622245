#include "tools/qxtool/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <vector>

#include "tools/qxtool/console.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/progress.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

// Block reads run in pieces of this size so the progress bar moves (ReadBlock reports only
// its end) and Ctrl+C is seen between them as well.
constexpr uint32_t kBlockChunk = 4096;
constexpr uint32_t kBulkUnit = 4096;
constexpr uint32_t kBlockUnit = 256;
constexpr int32_t kSarnetType = 9;
constexpr int32_t kTolliverType = 14;

class Stopwatch {
  public:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string Range(uint64_t address, uint64_t length) {
    return Hex(address, 6) + "-" + Hex(address + length - 1, 6);
}

// Bytes of a write the device has acknowledged after `packets` accepted packets. Block packets
// stop at every 64 KiB boundary in large-bin mode; walking them that way is exact there and
// never more than what was acknowledged otherwise.
uint64_t AcknowledgedBytes(uint32_t address, uint32_t length, uint64_t packets, bool bulk) {
    if (bulk) return std::min<uint64_t>(packets * kBulkUnit, length);
    uint64_t done = 0;
    for (uint64_t i = 0; i < packets && done < length; ++i) {
        const uint64_t toBoundary = 0x10000 - (address + done) % 0x10000;
        done += std::min({uint64_t{kBlockUnit}, length - done, toBoundary});
    }
    return done;
}

// After a failed write: which part of the target holds the new image for certain and which
// part may hold old bytes, new bytes or a mix (the packet in flight may be half stored).
std::string IncompleteNote(uint32_t address, uint32_t length, uint64_t acknowledged,
                           const std::string& space) {
    std::string note = "qxtool: ";
    if (!space.empty()) note += "in " + space + ", ";
    if (acknowledged != 0) note += Range(address, acknowledged) + " was written and acknowledged; ";
    note += Range(address + acknowledged, length - acknowledged) + " (" +
            std::to_string(length - acknowledged) + " bytes) may be incomplete";
    return note;
}

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

// The space a failed write stopped in, for that note. Without a named space a bulk write on
// the two-space models fills space 2 and then space 1, one progress pass each; so does
// --space both, one call each.
std::string FailedSpace(const QXVorrel& device, uint32_t flags, bool bulk, bool bothSpaces,
                        int passes) {
    const bool twoSpaces =
        device.hardwareType == kSarnetType || device.hardwareType == kTolliverType;
    const bool bothInOne = bulk && (flags & (XferSpace1 | XferSpace2)) == 0 && twoSpaces;
    if ((bothInOne && passes >= 2) || (bothSpaces && (flags & XferSpace1) != 0))
        return "space 1 (space 2 is complete)";
    if (bothInOne) return "space 2 (space 1 not yet written)";
    const std::string note = SpaceNote(flags);
    return note.empty() ? "" : note.substr(2);
}

JsonObject CommandJson(const char* command, const Session& session) {
    JsonObject json;
    json.String("command", command).String("port", session.PortLabel());
    return json;
}

// An image file as loaded, kept with its text so that a second parse against the device's
// memory can name the offending line.
struct LoadedImage {
    std::string content;
    image::Format format = image::Format::Binary;
    uint32_t binaryAddress = 0;
    image::Image image;
};

LoadedImage LoadImage(const TransferArgs& args) {
    LoadedImage loaded;
    try {
        loaded.content = image::readFile(args.file);
        loaded.format = args.format.empty() ? image::detectFormat(args.file, loaded.content)
                                            : *image::formatFromOption(args.format);
        if (!args.address.empty()) {
            if (loaded.format != image::Format::Binary)
                throw UsageError(std::string("--address places a binary file; ") +
                                 image::formatOption(loaded.format) +
                                 " files carry their own addresses");
            loaded.binaryAddress =
                static_cast<uint32_t>(ParseNumber(args.address, 0xFFFFFFFFu, "--address"));
        }
        image::ReadOptions options;
        options.binaryAddress = loaded.binaryAddress;
        loaded.image = image::parse(loaded.content, loaded.format, options);
    } catch (const image::ImageError& e) {
        throw UsageError(args.file + ": " + e.what());
    }
    if (loaded.image.empty()) throw UsageError(args.file + ": the file holds no data");
    return loaded;
}

// The memory a transfer may reach: the image the device emulates now. 0 for models that
// report no memory size.
uint32_t MemoryLimit(const QXVorrel& device) {
    return device.GetActiveBankSize();
}

// Refuses data past the device's memory, naming the line, before anything is sent.
void CheckFits(const LoadedImage& loaded, const std::string& file, uint32_t limit) {
    if (limit == 0) return;
    const image::Extent extent = *loaded.image.extent();
    if (extent.highest < limit) return;
    image::ReadOptions options;
    options.binaryAddress = loaded.binaryAddress;
    options.memoryLimit = limit;
    try {
        image::parse(loaded.content, loaded.format, options);
    } catch (const image::ImageError& e) {
        throw UsageError(file + ": " + e.what());
    }
    throw UsageError(file + ": data at " + Hex(extent.highest, 6) +
                     " lies past the end of memory (" + Hex(limit) + " bytes)");
}

std::vector<uint8_t> ReadRange(Session& session, uint32_t address, uint32_t length, uint32_t flags,
                               bool bulk, const char* label) {
    QXVorrel& device = session.Device();
    std::vector<uint8_t> data(length);
    const std::string what = std::string("reading ") + std::to_string(length) + " bytes at " +
                             Range(address, length) + " (" + (bulk ? "bulk" : "block") +
                             SpaceNote(flags) + ") from " + session.PortLabel();
    session.CheckInterrupted(what);
    if (bulk) {
        Progress progress(label, length, kBulkUnit);
        session.Check(device.BulkRead(data.data(), length, address, flags, Progress::Callback()),
                      what);
        return data;
    }
    Progress progress(label, length, kBlockUnit);
    progress.Update(0);
    for (uint32_t offset = 0; offset < length;) {
        session.CheckInterrupted(what);
        const uint32_t n = std::min(kBlockChunk, length - offset);
        session.Check(device.ReadBlock(data.data() + offset, n, address + offset, flags, nullptr),
                      what);
        offset += n;
        progress.Update(offset);
    }
    progress.Finish();
    return data;
}

struct Difference {
    uint64_t address = 0;
    uint8_t device = 0;
    uint8_t file = 0;
    uint64_t count = 0;
};

// Compares what the device holds with what it should hold at `address`.
void Compare(const std::vector<uint8_t>& device, const uint8_t* expected, uint64_t offset,
             uint64_t length, uint64_t address, std::optional<Difference>& first) {
    for (uint64_t i = 0; i < length; ++i) {
        if (device[offset + i] == expected[i]) continue;
        if (!first) first = Difference{address + i, device[offset + i], expected[i], 0};
        ++first->count;
    }
}

[[noreturn]] void VerifyFailed(const Difference& d, const std::string& port) {
    throw ToolError(kExitDeviceFailed, "verify failed on " + port + ": first difference at " +
                                           Hex(d.address, 6) + " (device " + Hex(d.device, 2) +
                                           ", file " + Hex(d.file, 2) + "), " +
                                           std::to_string(d.count) + " byte(s) differ");
}

bool ChooseBulk(const QXVorrel& device, const std::string& method, uint64_t address,
                uint64_t length, const char* direction) {
    const bool capable = (device.capabilities & CapBulk) != 0;
    if (method == "block") return false;
    if (method == "bulk") {
        if (!capable) throw UsageError("--method bulk: the device has no bulk transfers");
        if (!PageAligned(address, length))
            throw UsageError(std::string("--method bulk: bulk ") + direction +
                             " need address and length in multiples of 256 (" +
                             Range(address, length) + ")");
        return true;
    }
    return capable && PageAligned(address, length);
}

}  // namespace

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
    const image::Format format =
        args.format.empty() ? image::formatFromName(args.file).value_or(image::Format::Binary)
                            : *image::formatFromOption(args.format);
    const uint64_t address =
        args.address.empty() ? 0 : ParseNumber(args.address, 0xFFFFFFFFu, "--address");
    std::optional<uint64_t> length;
    if (!args.length.empty()) {
        length = ParseNumber(args.length, 0xFFFFFFFFu, "--length");
        if (*length == 0) throw UsageError("--length must not be 0");
    }
    const uint32_t flags = SpaceFlag(args.space) | (args.plain ? XferPlain : 0);

    session.Open();
    QXVorrel& device = session.Device();
    const uint32_t limit = MemoryLimit(device);
    if (!length) {
        if (limit == 0) throw UsageError("the device reports no memory size: give --length");
        if (address >= limit)
            throw UsageError("--address " + Hex(address) + " lies past the end of memory (" +
                             Hex(limit) + " bytes)");
        length = limit - address;
    }
    if (limit != 0 && address + *length > limit)
        throw UsageError("the range " + Range(address, *length) + " runs past the end of memory (" +
                         Hex(limit) + " bytes)");
    if (address + *length > 0x100000000ull)
        throw UsageError("the range runs past the 32-bit address space");
    const bool bulk = ChooseBulk(device, args.method, address, *length, "reads");

    const Stopwatch stopwatch;
    const std::vector<uint8_t> data =
        ReadRange(session, static_cast<uint32_t>(address), static_cast<uint32_t>(*length), flags,
                  bulk, "read");
    const double seconds = stopwatch.Seconds();
    try {
        image::Image out;
        out.add(static_cast<uint32_t>(address), data);
        image::WriteOptions options;
        options.binaryAddress = static_cast<uint32_t>(address);
        image::writeFile(args.file, image::write(out, format, options));
    } catch (const image::ImageError& e) {
        throw UsageError(args.file + ": " + e.what());
    }
    Console::Get().Result("read " + std::to_string(*length) + " bytes at " +
                          Range(address, *length) + " from " + session.PortLabel() + " into " +
                          args.file + " (" + image::formatOption(format) + ", " +
                          (bulk ? "bulk" : "block") + SpaceNote(flags) + ")");
    Console::Get().JsonResult(CommandJson("read", session)
                                  .String("file", args.file)
                                  .String("format", image::formatOption(format))
                                  .Number("address", static_cast<int64_t>(address))
                                  .Number("length", static_cast<int64_t>(*length))
                                  .String("method", bulk ? "bulk" : "block")
                                  .Real("seconds", seconds)
                                  .Text());
    return kExitOk;
}

int RunWrite(Session& session, const TransferArgs& args) {
    const uint8_t fill =
        static_cast<uint8_t>(args.fill.empty() ? 0xFF : ParseNumber(args.fill, 0xFF, "--fill"));
    if (args.method == "bulk" && (args.alt || args.lower))
        throw UsageError(
            "--alt and --lower choose block write commands; they do not go with "
            "--method bulk");
    const LoadedImage loaded = LoadImage(args);

    session.Open();
    QXVorrel& device = session.Device();
    CheckFits(loaded, args.file, MemoryLimit(device));
    const image::Extent extent = *loaded.image.extent();
    const uint32_t address = extent.lowest;
    const uint64_t length64 = uint64_t{extent.highest} - extent.lowest + 1;
    if (length64 > 0xFFFFFFFFu) throw UsageError(args.file + ": the image spans 4 GiB");
    const auto length = static_cast<uint32_t>(length64);
    const std::vector<uint8_t> data = loaded.image.flatten(address, length, fill);
    const bool bulk =
        ChooseBulk(device, args.method, address, length, "writes") && !args.alt && !args.lower;

    uint32_t common = args.plain ? XferPlain : 0;
    if (args.alt) common |= XferAltWrite;
    if (args.lower) common |= XferWriteLower;
    // Without --space the library's own choice: on the two-space models a bulk write fills
    // both spaces (BulkWriteBoth), a block write sends no space bits.
    std::vector<uint32_t> spaces;
    if (args.space == "both") {
        spaces = {XferSpace2, XferSpace1};
    } else {
        spaces = {SpaceFlag(args.space)};
    }

    const Stopwatch stopwatch;
    for (const uint32_t space : spaces) {
        const uint32_t flags = common | space;
        const std::string what = "writing " + std::to_string(length) + " bytes at " +
                                 Range(address, length) + " (" + (bulk ? "bulk" : "block") +
                                 SpaceNote(flags) + ") to " + session.PortLabel();
        session.CheckInterrupted(what);
        Progress progress("write", length, bulk ? kBulkUnit : kBlockUnit);
        int32_t result;
        if (bulk && space == 0) {
            result =
                device.BulkWriteBoth(data.data(), length, address, flags, Progress::Callback());
        } else if (bulk) {
            result = device.BulkWrite(data.data(), length, address, flags, Progress::Callback());
        } else {
            result = device.WriteBlock(data.data(), length, address, flags | XferNoBulk,
                                       Progress::Callback());
        }
        if (result < 0) {
            Console::Get().Note(IncompleteNote(
                address, length,
                AcknowledgedBytes(address, length, progress.PacketsAccepted(), bulk),
                FailedSpace(device, flags, bulk, spaces.size() == 2, progress.Passes())));
        }
        session.Check(result, what);
    }

    if (!args.noVerify) {
        const uint32_t readFlags = args.plain ? XferPlain : 0;
        std::optional<Difference> first;
        for (const uint32_t space : spaces) {
            const std::vector<uint8_t> back =
                ReadRange(session, address, length, readFlags | space, bulk, "verify");
            Compare(back, data.data(), 0, length, address, first);
            if (first) VerifyFailed(*first, session.PortLabel());
        }
    }
    const double seconds = stopwatch.Seconds();
    Console::Get().Result(
        "wrote " + std::to_string(length) + " bytes at " + Range(address, length) + " to " +
        session.PortLabel() + " from " + args.file + " (" + image::formatOption(loaded.format) +
        ", " + (bulk ? "bulk" : "block") + (args.space.empty() ? "" : ", space " + args.space) +
        ")" + (args.noVerify ? "" : ", verified"));
    Console::Get().JsonResult(CommandJson("write", session)
                                  .String("file", args.file)
                                  .String("format", image::formatOption(loaded.format))
                                  .Number("address", int64_t{address})
                                  .Number("length", int64_t{length})
                                  .String("method", bulk ? "bulk" : "block")
                                  .Bool("verified", !args.noVerify)
                                  .Real("seconds", seconds)
                                  .Text());
    return kExitOk;
}

int RunVerify(Session& session, const TransferArgs& args) {
    const LoadedImage loaded = LoadImage(args);

    session.Open();
    QXVorrel& device = session.Device();
    CheckFits(loaded, args.file, MemoryLimit(device));
    const image::Extent extent = *loaded.image.extent();
    const uint32_t address = extent.lowest;
    const uint64_t length64 = uint64_t{extent.highest} - extent.lowest + 1;
    if (length64 > 0xFFFFFFFFu) throw UsageError(args.file + ": the image spans 4 GiB");
    const auto length = static_cast<uint32_t>(length64);
    const bool bulk = ChooseBulk(device, args.method, address, length, "reads");
    std::vector<uint32_t> spaces;
    if (args.space == "both") {
        spaces = {XferSpace2, XferSpace1};
    } else {
        spaces = {SpaceFlag(args.space)};
    }

    // Only the bytes the file holds are compared; its holes say nothing.
    std::optional<Difference> first;
    for (const uint32_t space : spaces) {
        const std::vector<uint8_t> back = ReadRange(
            session, address, length, space | (args.plain ? XferPlain : 0), bulk, "verify");
        for (const image::Segment& segment : loaded.image.segments())
            Compare(back, segment.bytes.data(), segment.address - address, segment.bytes.size(),
                    segment.address, first);
        if (first) VerifyFailed(*first, session.PortLabel());
    }
    Console::Get().Result("verified " + std::to_string(loaded.image.byteCount()) + " bytes of " +
                          args.file + " in " + Range(address, length) + " on " +
                          session.PortLabel());
    Console::Get().JsonResult(CommandJson("verify", session)
                                  .String("file", args.file)
                                  .Number("address", int64_t{address})
                                  .Number("length", int64_t{length})
                                  .Number("bytes", static_cast<int64_t>(loaded.image.byteCount()))
                                  .Bool("match", true)
                                  .Text());
    return kExitOk;
}

int RunEepromRead(Session& session, const EepromArgs& args) {
    const auto address = static_cast<uint16_t>(ParseNumber(args.address, 0xFFFF, "ADDR"));
    const auto length =
        static_cast<uint16_t>(args.value.empty() ? 1 : ParseNumber(args.value, 256, "LEN"));
    if (length == 0) throw UsageError("LEN must be 1 to 256");
    session.Open();
    std::vector<uint8_t> data(length);
    session.Check(session.Device().ReadEEPROM(data.data(), address, length),
                  "reading " + std::to_string(length) + " EEPROM byte(s) at " + Hex(address, 4));
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
                  std::string("asking for the ") + which + " bank");
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
    if (device.hardwareType == kTolliverType) {
        // The Tolliver keeps one bank byte for both selectors, in its configuration bytes.
        session.Check(device.SetTolliverBank(bank), what);
    } else {
        session.Check(device.SetBank(bank, args.readWrite ? 1 : 0, args.persistent ? 1 : 0, 0),
                      what);
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
    const auto index = SpeedIndex(baud);
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
    session.Check(session.Device().GetFlashInfo(info), "asking for the flash information");
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
    session.Check(device.GetTolliverMode(), "asking for the Tolliver mode");
    Console::Get().Result("tolliver mode " + std::to_string(device.tolliverMode) + ": " +
                          std::to_string(device.bankCount) + " bank(s) of " + Hex(device.bankSize) +
                          " bytes");
    Console::Get().JsonResult(CommandJson("tolliver mode", session)
                                  .Number("tolliverMode", int64_t{device.tolliverMode})
                                  .Number("bankCount", int64_t{device.bankCount})
                                  .Number("bankSize", int64_t{device.bankSize})
                                  .Text());
    return kExitOk;
}

}  // namespace qx::tool
