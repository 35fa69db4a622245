#include "tools/qxtool/sync.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <vector>

#include "device/model_table.h"
#include "device/ranged_transfer.h"
#include "platform/file_watch.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/image_source.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/memory_window.h"
#include "tools/qxtool/placement.h"
#include "tools/qxtool/progress.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/sync_plan.h"
#include "tools/qxtool/sync_state.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Quiet time after the last change before a sync starts: an editor's save is several events.
constexpr uint32_t kDebounceMs = 50;
// How often an idle watch looks at Ctrl+C.
constexpr uint32_t kIdleSliceMs = 100;
// Smaller transfers show no progress bar (a watch prints one line per sync instead).
constexpr uint64_t kProgressFloor = 64 * 1024;

double Milliseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string FormatMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

// The file as the device should hold it: holes between records filled with --fill (0xFF), as
// `write` fills them; with one byte lane the other lane's bytes are the device's. Kept from
// one save to the next so its buffers are reused.
struct Target {
    std::vector<Source> sources;  // record files and lanes: for the line of a message
    Placement placed;
    bool keepDevice = false;  // bytes no file gives keep what the device holds
};

// The whole file into `out` (its capacity reused). A binary image is used as read, without
// the copies parsing makes: a watch reads it again on every save.
void ReadWhole(const std::string& path, std::vector<uint8_t>& out) {
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in) throw image::ImageError(0, "cannot open " + path);
    if (size > image::kMaxFileSize)
        throw image::ImageError(
            0, path + " is larger than " + std::to_string(image::kMaxFileSize) + " bytes");
    out.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
    // A file cut short between the size and the read (an editor mid-save) reads as it is.
    out.resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) throw image::ImageError(0, "cannot read " + path);
}

uint32_t AlignmentUnit(const QXVorrel& device) {
    const int32_t bytes = device.dataWidth / 8;
    return bytes > 1 ? static_cast<uint32_t>(bytes) : 1;
}

bool FastBinary(const SyncArgs& args) {
    if (args.file == kStandardStream || !args.split.empty() || !args.offset.empty()) return false;
    const image::Format other = image::Format::IntelHex;
    const image::Format format = args.format.empty()
                                     ? image::FormatFromName(args.file).value_or(other)
                                     : image::FormatFromOption(args.format).value_or(other);
    return format == image::Format::Binary;
}

// Reads and parses the file; everything wrong with it is a usage error naming it.
void LoadTarget(const SyncArgs& args, Target& target) {
    target.keepDevice = !args.split.empty();
    target.sources.clear();
    if (!FastBinary(args)) {
        target.sources.push_back(LoadSource(args.file, args.format));
        return;
    }
    // The common case of a watch: the bytes as read, without the copies of parsing.
    Placement& placed = target.placed;
    placed.given.clear();
    try {
        ReadWhole(args.file, placed.bytes);
    } catch (const image::ImageError& e) {
        throw FileError(args.file, e.what());
    }
    if (placed.bytes.empty()) throw FileError(args.file, "the file holds no data");
    const uint64_t address =
        args.address.empty() ? 0 : ParseNumber(args.address, 0xFFFFFFFFu, "--address");
    if (address + placed.bytes.size() > image::kAddressSpace)
        throw FileError(args.file, Bytes(placed.bytes.size()) + " at " + Address(address) +
                                       " run past the 32-bit address space");
    placed.address = static_cast<uint32_t>(address);
}

// Puts the loaded file where it goes in `window`: data past it is refused before anything is
// written, in the words `write` uses; a range that is not whole words is padded with --fill
// or refused.
void PlaceTarget(const SyncArgs& args, const QXVorrel& device, const MemoryWindow& window,
                 Target& target) {
    Layout layout;
    layout.lane = LaneFromOption(args.split.empty() ? "all" : args.split).value_or(Lane::All);
    if (!args.fill.empty()) {
        layout.fill = static_cast<uint8_t>(ParseNumber(args.fill, 0xFF, "--fill"));
        layout.fillGiven = true;
    }
    Placement& placed = target.placed;
    if (target.sources.empty()) {
        if (window.limit != 0 && placed.End() > window.limit) {
            const uint64_t first = std::max<uint64_t>(window.limit, placed.address);
            throw FileError(
                args.file,
                window.Refusal(
                    window.banked ? "the image (" + Range(placed.address, placed.bytes.size()) + ")"
                                  : "data at " + Address(first),
                    placed.bytes.size() > window.limit));
        }
    } else {
        const Source& source = target.sources[0];
        if (source.format == image::Format::Binary) {
            if (!args.offset.empty())
                throw UsageError(
                    "--offset moves the records of Intel HEX and S-record files; "
                    "a binary file is placed with --address");
            if (!args.address.empty())
                layout.shift =
                    static_cast<int64_t>(ParseNumber(args.address, 0xFFFFFFFFu, "--address"));
        } else {
            if (!args.address.empty())
                throw UsageError(std::string("--address places a binary file; ") +
                                 image::FormatOption(source.format) +
                                 " files carry their own addresses (--offset moves them)");
            if (!args.offset.empty()) layout.shift = ParseSignedNumber(args.offset, "--offset");
        }
        if (target.keepDevice && layout.shift % 2 != 0)
            throw UsageError(
                "with --split, --address and --offset count device bytes and must "
                "be even");
        placed = PlaceSources(target.sources, layout, window);
    }
    const uint32_t unit = std::max<uint32_t>(AlignmentUnit(device), target.keepDevice ? 2 : 1);
    if (placed.address % unit == 0 && placed.bytes.size() % unit == 0) return;
    if (!target.keepDevice && !layout.fillGiven)
        throw UsageError(args.file + " (" + Range(placed.address, placed.bytes.size()) +
                         ") does not cover whole words: the " + ModelWithoutVersion(device) +
                         " moves " + std::to_string(device.dataWidth) +
                         "-bit words, so a transfer starts at an even address and covers whole "
                         "words; --fill BYTE pads it");
    Pad(placed, unit, layout.fill);
    window.CheckFits(placed.address, placed.bytes.size(),
                     "the image (" + Range(placed.address, placed.bytes.size()) + ")");
}

struct SyncResult {
    std::vector<sync::SyncOp> ops;
    int64_t bytesChanged = -1;  // -1: not known (the state file stood in for the device)
    uint64_t bytesCompared = 0;
    bool readDevice = false;         // some of the range was read from the device
    bool trustedState = false;       // the state file said what the device holds
    Clock::time_point started;       // of the sync (when the file is read)
    Clock::time_point acknowledged;  // the last write's acknowledgement (or the plan, if none)
    Clock::time_point finished;      // verified and recorded
};

class Syncer {
  public:
    Syncer(Session& session, const SyncArgs& args, const MemoryWindow& window)
        : session_(session),
          device_(session.Device()),
          args_(args),
          window_(window),
          statePath_(sync::StatePath(args.file)) {
        flags_ = (args.space == "1" ? XferSpace1 : XferSpace2) | (args.plain ? XferPlain : 0);
        method_ = args.method == "bulk"    ? sync::Method::Bulk
                  : args.method == "block" ? sync::Method::Block
                                           : sync::Method::Auto;
        bulkCapable_ = (device_.capabilities & CapBulk) != 0;
        if (method_ == sync::Method::Bulk && !bulkCapable_)
            throw UsageError("--method bulk: the device has no bulk transfers");
        stateFile_ = args.file != kStandardStream;
        deviceKey_ = DeviceKey();
    }

    SyncResult Sync(const Target& target) {
        SyncResult result;
        result.started = Clock::now();
        const uint32_t base = target.placed.address;
        const uint64_t length = target.placed.bytes.size();
        const std::string key =
            deviceKey_ + " range=" + Hex(base, 6) + "+" + std::to_string(length);
        result.bytesCompared = length;
        std::span<const uint8_t> after(target.placed.bytes);
        std::vector<uint8_t> merged;

        std::vector<bool> changed;
        bool sameRange = false;  // compared with what the last sync left, over the same range
        std::optional<sync::SyncState> state;
        if (!known_ && args_.assumeWritten) {
            state = sync::LoadState(statePath_);
            if (!state) {
                Console::Get().Note("qxtool: no usable state file " + statePath_ +
                                    "; reading the device");
            } else if (state->key != key ||
                       state->pageHashes.size() != sync::PageCount(base, length)) {
                Console::Get().Note("qxtool: " + statePath_ +
                                    " records another device, bank or range; reading the device");
                state.reset();
            }
        }
        if (state) {
            const std::vector<uint64_t> now = sync::PageHashes(after, base);
            changed.resize(now.size());
            for (size_t i = 0; i < now.size(); ++i) changed[i] = now[i] != state->pageHashes[i];
            result.trustedState = true;
        } else {
            // Within what this run already knows (every save of a watch but one that grows
            // the file) the comparison needs no copy.
            std::vector<uint8_t> read;
            std::span<const uint8_t> before;
            if (known_ && knownBase_ <= base &&
                uint64_t{base} + length <= uint64_t{knownBase_} + knownBytes_.size()) {
                before = std::span<const uint8_t>(knownBytes_).subspan(base - knownBase_, length);
                sameRange = knownBase_ == base && knownBytes_.size() == length;
            } else {
                read = Before(base, length, result.readDevice);
                before = read;
            }
            if (target.keepDevice) {
                // One byte lane: the rest stays as the device holds it.
                merged.assign(after.begin(), after.end());
                for (size_t i = 0; i < merged.size(); ++i)
                    if (!target.placed.Given(i)) merged[i] = before[i];
                after = merged;
            }
            changed = sync::ChangedPages(before, after, base);
            result.bytesChanged = 0;
            for (uint32_t i = 0; i < changed.size(); ++i) {
                if (!changed[i]) continue;
                const uint64_t from = std::max<uint64_t>(
                    base, (uint64_t{base} / sync::kPage + i) * uint64_t{sync::kPage});
                const uint64_t to = std::min<uint64_t>(uint64_t{base} + length,
                                                       (from / sync::kPage + 1) * sync::kPage);
                for (uint64_t a = from; a < to; ++a)
                    result.bytesChanged += before[a - base] != after[a - base];
            }
        }

        result.ops = sync::PlanPages(changed, base, length, bulkCapable_, method_);
        result.acknowledged = Clock::now();
        if (!result.ops.empty()) {
            // From the first write until the new state is recorded the device may hold neither
            // version: no state file may claim one.
            if (stateFile_ && !stateDropped_ && !sync::DropState(statePath_))
                throw UsageError("cannot remove " + statePath_ +
                                 " before writing (it would claim what the device holds)");
            stateDropped_ = true;
            Write(after, base, result.ops);
            result.acknowledged = Clock::now();
            Verify(after, base, result.ops);
            recordPending_ = true;
        }
        if (!result.trustedState) recordPending_ = true;
        known_ = true;
        knownBase_ = base;
        if (sameRange) {
            // Only the pages written differ from what is kept.
            for (const sync::SyncOp& op : result.ops)
                std::copy_n(after.begin() + (op.address - base), op.length,
                            knownBytes_.begin() + (op.address - base));
        } else {
            knownBytes_.assign(after.begin(), after.end());
        }
        knownKey_ = key;
        result.finished = Clock::now();
        return result;
    }

    // Writes the state file for what the device now holds. A one-shot sync records at its
    // end; a watch when it stops cleanly, which keeps file writes out of each sync's latency
    // (while it runs the state file is absent once something was written).
    void Record() {
        if (!stateFile_ || !known_ || !recordPending_) return;
        if (!sync::SaveState(statePath_, {knownKey_, sync::PageHashes(knownBytes_, knownBase_)})) {
            Console::Get().Note("qxtool: warning: cannot write " + statePath_ +
                                " (--assume-written will read the device next time)");
            return;
        }
        recordPending_ = false;
        stateDropped_ = false;
    }

  private:
    // Hardware letter, firmware, serial, space and the bank mapping: what decides which bytes
    // an address reaches.
    std::string DeviceKey() {
        std::string key = std::string("device=") + (device_.hardwareId ? device_.hardwareId : '?') +
                          " firmware=" + std::to_string(device_.firmwareMajor) + "." +
                          std::to_string(device_.firmwareMinor);
        uint8_t serial[9] = {};
        // Not every model answers the serial request; the key then goes without it.
        if (device_.GetSerial(serial) == VR_S_OK) {
            key += " serial=" + HexBytes(serial, sizeof serial, "");
        } else {
            key += " serial=none";
        }
        Console::Get().DrainLog();
        key += std::string(" space=") + ((flags_ & XferSpace1) ? "1" : "2");
        key += " emulation=" + std::to_string(device_.emulationBank);
        // The bank the transfers reach (the read/write bank is pointed at it first).
        if (window_.bank >= 0) key += " bank=" + std::to_string(window_.bank);
        if (TraitsOf(device_.hardwareType).configBank)
            key += " mode=" + std::to_string(device_.tolliverMode);
        key += " memory=" + Hex(window_.limit);
        return key;
    }

    std::string Note(bool bulk) const {
        std::string note = bulk ? "bulk" : "block";
        if (flags_ & XferSpace1) note += ", space 1";
        return note;
    }

    bool BulkReadable(uint32_t address, uint64_t length) const {
        return bulkCapable_ && method_ != sync::Method::Block && address % sync::kPage == 0 &&
               length % sync::kPage == 0;
    }

    RangeOptions Options(bool bulk, std::optional<Progress>& progress, uint64_t before) const {
        RangeOptions options;
        options.flags = flags_;
        options.method = bulk ? RangeMethod::Bulk : RangeMethod::Block;
        options.canceled = &Interrupted;
        if (progress) {
            Progress* bar = &*progress;
            options.progress = [bar, before](const RangeStatus& status) {
                bar->Update(before + status.done);
            };
        }
        return options;
    }

    void Read(uint8_t* out, uint32_t address, uint32_t length, bool bulk, const char* label) {
        const std::string what = "reading " + Bytes(length) + " at " + Range(address, length) +
                                 " (" + Note(bulk) + ") from " + session_.PortLabel();
        session_.CheckInterrupted(what);
        std::optional<Progress> progress;
        if (length >= kProgressFloor) {
            progress.emplace(label, length);
            progress->Update(0);
        }
        session_.Check(
            ReadRange(device_, out, window_.base + address, length, Options(bulk, progress, 0)),
            what);
    }

    // What the device holds in the range: what this run wrote or read there before, the rest
    // read now (at most two pieces, before and after the part already known).
    std::vector<uint8_t> Before(uint32_t base, uint64_t length, bool& readDevice) {
        std::vector<uint8_t> before(length);
        const uint64_t end = base + length;
        uint64_t knownStart = end, knownEnd = end;
        if (known_) {
            knownStart = std::max<uint64_t>(base, knownBase_);
            knownEnd = std::min<uint64_t>(end, knownBase_ + knownBytes_.size());
            if (knownEnd <= knownStart) knownStart = knownEnd = end;
        }
        if (knownStart < knownEnd)
            std::copy(knownBytes_.begin() + static_cast<ptrdiff_t>(knownStart - knownBase_),
                      knownBytes_.begin() + static_cast<ptrdiff_t>(knownEnd - knownBase_),
                      before.begin() + static_cast<ptrdiff_t>(knownStart - base));
        const std::pair<uint64_t, uint64_t> pieces[] = {{base, knownStart}, {knownEnd, end}};
        for (const auto& [from, to] : pieces) {
            if (to <= from) continue;
            readDevice = true;
            const auto address = static_cast<uint32_t>(from);
            const auto n = static_cast<uint32_t>(to - from);
            Read(before.data() + (from - base), address, n, BulkReadable(address, n), "read");
        }
        return before;
    }

    void Write(std::span<const uint8_t> after, uint32_t base,
               const std::vector<sync::SyncOp>& ops) {
        const uint64_t total = sync::PlannedBytes(ops);
        std::optional<Progress> progress;
        if (total >= kProgressFloor) {
            progress.emplace("sync", total);
            progress->Update(0);
        }
        uint64_t done = 0;
        for (const sync::SyncOp& op : ops) {
            const bool bulk = op.kind == sync::OpKind::Bulk;
            const std::string what = "writing " + Bytes(op.length) + " at " +
                                     Range(op.address, op.length) + " (" + Note(bulk) + ") to " +
                                     session_.PortLabel();
            session_.CheckInterrupted(what);
            const uint8_t* data = after.data() + (op.address - base);
            RangeOptions options = Options(bulk, progress, done);
            // Without --method bulk a failed bulk write goes on on the block path, as the
            // library's own writes do.
            if (bulk && method_ == sync::Method::Auto) options.method = RangeMethod::Auto;
            options.fallingBack = [](int32_t result) {
                Console::Get().Note("qxtool: the bulk write failed with " + DescribeResult(result) +
                                    "; writing those pages again on "
                                    "the block path");
            };
            RangeStatus status;
            const int32_t rc =
                WriteRange(device_, data, window_.base + op.address, op.length, options, &status);
            if (rc < 0) {
                if (progress) progress->Finish();
                // The pages before this write are new, those after it as they were.
                WriteFailed(rc, what, op.address, op.length, status,
                            (flags_ & XferSpace1) ? "space 1" : "");
            }
            session_.Check(rc, what);
            done += op.length;
            if (progress) progress->Update(done);
        }
        if (progress) progress->Finish();
    }

    // Reads back exactly the pages written, each the way it was written.
    void Verify(std::span<const uint8_t> after, uint32_t base,
                const std::vector<sync::SyncOp>& ops) {
        for (const sync::SyncOp& op : ops) {
            std::vector<uint8_t> back(op.length);
            const bool bulk = op.kind == sync::OpKind::Bulk;
            Read(back.data(), op.address, op.length, bulk, "verify");
            const uint8_t* expected = after.data() + (op.address - base);
            for (uint32_t i = 0; i < op.length; ++i) {
                if (back[i] == expected[i]) continue;
                uint64_t differ = 0;
                for (uint32_t j = i; j < op.length; ++j) differ += back[j] != expected[j];
                ToolError error(kExitDeviceFailed,
                                "verify failed on " + session_.PortLabel() +
                                    ": first difference at " + Address(op.address + i) +
                                    " (device " + Hex(back[i], 2) + ", file " +
                                    Hex(expected[i], 2) + "), " +
                                    Plural(differ, "byte differs", "bytes differ") + " in " +
                                    Range(op.address, op.length),
                                "verify");
                error.Details().Object("difference",
                                       JsonObject()
                                           .Number("address", int64_t{op.address} + i)
                                           .Number("device", back[i])
                                           .Number("file", expected[i])
                                           .Number("count", static_cast<int64_t>(differ)));
                throw error;
            }
        }
    }

    Session& session_;
    QXVorrel& device_;
    const SyncArgs& args_;
    MemoryWindow window_;
    std::string statePath_;
    std::string deviceKey_;
    uint32_t flags_ = 0;
    sync::Method method_ = sync::Method::Auto;
    bool bulkCapable_ = false;
    bool stateFile_ = true;
    bool known_ = false;
    uint32_t knownBase_ = 0;
    std::vector<uint8_t> knownBytes_;
    std::string knownKey_;
    bool stateDropped_ = false;
    bool recordPending_ = false;
};

std::string Summary(const SyncResult& r) {
    if (r.ops.empty())
        return "no change (" + std::to_string(r.bytesCompared) + " bytes compared" +
               (r.trustedState ? " with the state file)" : ")");
    size_t bulk = 0;
    for (const sync::SyncOp& op : r.ops) bulk += op.kind == sync::OpKind::Bulk;
    const size_t block = r.ops.size() - bulk;
    std::string text = Plural(sync::PlannedPages(r.ops), "page", "pages") + ", " +
                       std::to_string(sync::PlannedBytes(r.ops)) + " bytes written (";
    if (r.bytesChanged >= 0)
        text += Plural(static_cast<uint64_t>(r.bytesChanged), "byte", "bytes") + " changed; ";
    if (bulk) text += Plural(bulk, "bulk write", "bulk writes") + (block ? " + " : "");
    if (block) text += Plural(block, "block write", "block writes");
    return text + "), verified";
}

// changedAt: the last change of the file (--watch); workFrom: when the work began (the end of
// the save, before the file is read).
JsonObject ResultJson(const Session& session, const SyncArgs& args, const MemoryWindow& window,
                      const Target& target, const SyncResult& r,
                      std::optional<Clock::time_point> changedAt, Clock::time_point workFrom) {
    const image::Format format =
        target.sources.empty() ? image::Format::Binary : target.sources[0].format;
    JsonArray ops;
    for (const sync::SyncOp& op : r.ops)
        ops.Object(JsonObject()
                       .String("method", op.kind == sync::OpKind::Bulk ? "bulk" : "block")
                       .Number("address", op.address)
                       .Number("length", op.length));
    JsonObject json;
    json.String("command", "sync")
        .String("port", session.PortLabel())
        .String("file", args.file)
        .String("format", image::FormatOption(format))
        .Number("address", target.placed.address)
        .Number("length", static_cast<int64_t>(target.placed.bytes.size()))
        .Number("pages", sync::PlannedPages(r.ops))
        .Number("bytesWritten", static_cast<int64_t>(sync::PlannedBytes(r.ops)))
        .Array("operations", ops)
        .Bool("readDevice", r.readDevice)
        .Bool("trustedState", r.trustedState)
        .Bool("verified", true)
        .Real("syncMilliseconds", Milliseconds(workFrom, r.acknowledged));
    AddBank(json, window);
    if (r.bytesChanged >= 0) {
        json.Number("bytesChanged", r.bytesChanged);
    } else {
        json.Null("bytesChanged");
    }
    if (changedAt) json.Real("changeToAckMilliseconds", Milliseconds(*changedAt, r.acknowledged));
    return json;
}

// Waits for the next change of the file and then until the save is over: at once when the
// watch saw it end (closed after writing, renamed onto the name), else after the quiet time.
// Returns the time of the last change, or nothing when Ctrl+C ended the wait.
std::optional<Clock::time_point> NextChange(platform::FileWatch& watch, const std::string& file) {
    using Event = platform::FileWatch::Event;
    uint32_t slice = kIdleSliceMs;
    std::optional<Clock::time_point> last;
    for (;;) {
        if (Interrupted()) return std::nullopt;
        const Event event = watch.Wait(slice);
        if (event == Event::Failed)
            throw ToolError(kExitDeviceFailed, "watching " + file + " failed");
        if (event == Event::Timeout) {
            if (last) return last;
            continue;
        }
        last = Clock::now();
        if (event == Event::Settled) return last;
        slice = kDebounceMs;
    }
}

}  // namespace

int RunSync(Session& session, const SyncArgs& args) {
    if (args.space == "both")
        throw UsageError("--space both: sync one space at a time (--space 1, then --space 2)");
    const bool standard = args.file == kStandardStream;
    if (standard && args.watch) throw UsageError("--watch follows a file: it cannot watch -");
    if (standard && args.assumeWritten)
        throw UsageError("--assume-written needs the state file beside a file, not -");
    if (!args.split.empty() && args.assumeWritten)
        throw UsageError(
            "--split keeps the device's other bytes: they must be read, which "
            "--assume-written skips");
    std::optional<uint32_t> bank;
    if (!args.bank.empty()) bank = static_cast<uint32_t>(ParseNumber(args.bank, 255, "--bank"));
    if (standard) UseBinaryStdio();
    platform::FileWatch watch;
    if (args.watch) {
        // Before the first load, so a save during the first sync is not missed.
        std::string error;
        if (!watch.Start(args.file, &error)) throw UsageError(args.file + ": " + error);
    }
    Target target;
    LoadTarget(args, target);

    session.Open();
    const MemoryWindow window = PlanWindow(session.Device(), bank);
    PlaceTarget(args, session.Device(), window, target);
    SelectWindow(session, window);
    Syncer syncer(session, args, window);
    const SyncResult first = syncer.Sync(target);
    if (!args.watch) syncer.Record();
    Console::Get().Result(
        "synced " + (standard ? std::string("standard input") : args.file) + " to " +
        session.PortLabel() + " at " + Range(target.placed.address, target.placed.bytes.size()) +
        ": " + Summary(first) + ", " + FormatMs(Milliseconds(first.started, first.finished)));
    Console::Get().JsonResult(
        ResultJson(session, args, window, target, first, std::nullopt, first.started).Text());
    if (!args.watch) return kExitOk;

    Console::Get().Note("qxtool: watching " + args.file + " (Ctrl+C stops)");
    for (;;) {
        const std::optional<Clock::time_point> changedAt = NextChange(watch, args.file);
        if (!changedAt) break;
        const Clock::time_point readAt = Clock::now();
        try {
            LoadTarget(args, target);
            PlaceTarget(args, session.Device(), window, target);
        } catch (const ToolError& error) {
            // A file caught half-written, or one that no longer fits: nothing is sent, and the
            // next save is synced.
            if (error.Status() != kExitUsage) throw;
            Console::Get().Error("qxtool: " + std::string(error.what()) + " (nothing written)");
            continue;
        }
        const SyncResult r = syncer.Sync(target);
        Console::Get().Result(
            Summary(r) + "; " + FormatMs(Milliseconds(*changedAt, r.acknowledged)) +
            " from the change to the acknowledgement (" +
            FormatMs(Milliseconds(readAt, r.acknowledged)) + " from reading the file)");
        Console::Get().JsonResult(
            ResultJson(session, args, window, target, r, changedAt, readAt).Text());
    }
    syncer.Record();
    Console::Get().Note("qxtool: stopped watching " + args.file);
    return kExitOk;
}

}  // namespace qx::tool
