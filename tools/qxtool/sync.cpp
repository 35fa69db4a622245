#include "tools/qxtool/sync.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <vector>

#include "platform/file_watch.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/image_file.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/progress.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/sync_plan.h"
#include "tools/qxtool/sync_state.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReadChunk = 4096;
// Quiet time after the last change before a sync starts: an editor's save is several events.
constexpr uint32_t kDebounceMs = 50;
// How often an idle watch looks at Ctrl+C.
constexpr uint32_t kIdleSliceMs = 100;
// Smaller transfers show no progress bar (a watch prints one line per sync instead).
constexpr uint64_t kProgressFloor = 64 * 1024;
constexpr int32_t kTolliverType = 14;

double Milliseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string Range(uint64_t address, uint64_t length) {
    return Hex(address, 6) + "-" + Hex(address + length - 1, 6);
}

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string FormatMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

// The file as the device should hold it: holes between records filled with 0xFF, as
// `write` fills them. Kept from one save to the next so its buffers are reused.
struct Target {
    std::string content;  // record files only: the text, to name a line in messages
    image::Format format = image::Format::Binary;
    uint32_t binaryAddress = 0;
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

std::string Hex8(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

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

// Reads and parses the file; everything wrong with it is a usage error naming it.
void LoadTarget(const SyncArgs& args, Target& target) {
    try {
        ReadWhole(args.file, target.bytes);
        const std::string_view view(reinterpret_cast<const char*>(target.bytes.data()),
                                    target.bytes.size());
        target.format = args.format.empty() ? image::detectFormat(args.file, view)
                                            : *image::formatFromOption(args.format);
        target.binaryAddress = 0;
        if (!args.address.empty()) {
            if (target.format != image::Format::Binary)
                throw UsageError(std::string("--address places a binary file; ") +
                                 image::formatOption(target.format) +
                                 " files carry their own addresses");
            target.binaryAddress =
                static_cast<uint32_t>(ParseNumber(args.address, 0xFFFFFFFFu, "--address"));
        }
        if (target.format == image::Format::Binary) {
            target.content.clear();
            target.address = target.binaryAddress;
            if (target.bytes.empty()) throw UsageError(args.file + ": the file holds no data");
            if (uint64_t{target.address} + target.bytes.size() > image::kAddressSpace)
                throw image::ImageError(0, "file of " + std::to_string(target.bytes.size()) +
                                               " bytes at " + Hex8(target.address) +
                                               " runs past the 32-bit address space");
            return;
        }
        target.content.assign(view);
        image::ReadOptions options;
        const image::Image parsed = image::parse(target.content, target.format, options);
        if (parsed.empty()) throw UsageError(args.file + ": the file holds no data");
        const image::Extent extent = *parsed.extent();
        target.address = extent.lowest;
        target.bytes =
            parsed.flatten(extent.lowest, uint64_t{extent.highest} - extent.lowest + 1, 0xFF);
    } catch (const image::ImageError& e) {
        throw UsageError(args.file + ": " + e.what());
    }
}

// Data past the device's memory is refused before anything is written, naming the line of a
// record file, in the words `write` uses.
void CheckFits(const Target& target, const std::string& file, uint32_t limit) {
    if (limit == 0) return;
    const uint64_t highest = uint64_t{target.address} + target.bytes.size() - 1;
    if (highest < limit) return;
    if (target.format == image::Format::Binary)
        throw UsageError(file + ": file of " + std::to_string(target.bytes.size()) + " bytes at " +
                         Hex8(target.address) + " runs past the end of memory (" + Hex8(limit) +
                         " bytes)");
    image::ReadOptions options;
    options.memoryLimit = limit;
    try {
        image::parse(target.content, target.format, options);
    } catch (const image::ImageError& e) {
        throw UsageError(file + ": " + e.what());
    }
    throw UsageError(file + ": data at " + Hex(highest, 6) + " lies past the end of memory (" +
                     Hex(limit) + " bytes)");
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
    Syncer(Session& session, const SyncArgs& args)
        : session_(session),
          device_(session.Device()),
          args_(args),
          statePath_(sync::StatePath(args.file)) {
        flags_ = (args.space == "1" ? XferSpace1 : XferSpace2) | (args.plain ? XferPlain : 0);
        method_ = args.method == "bulk"    ? sync::Method::Bulk
                  : args.method == "block" ? sync::Method::Block
                                           : sync::Method::Auto;
        bulkCapable_ = (device_.capabilities & CapBulk) != 0;
        if (method_ == sync::Method::Bulk && !bulkCapable_)
            throw UsageError("--method bulk: the device has no bulk transfers");
        deviceKey_ = DeviceKey();
    }

    uint32_t Limit() const { return device_.GetActiveBankSize(); }

    SyncResult Sync(const Target& target) {
        SyncResult result;
        result.started = Clock::now();
        const uint32_t base = target.address;
        const uint64_t length = target.bytes.size();
        const std::string key =
            deviceKey_ + " range=" + Hex(base, 6) + "+" + std::to_string(length);
        result.bytesCompared = length;

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
            const std::vector<uint64_t> now = sync::PageHashes(target.bytes, base);
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
            changed = sync::ChangedPages(before, target.bytes, base);
            result.bytesChanged = 0;
            for (uint32_t i = 0; i < changed.size(); ++i) {
                if (!changed[i]) continue;
                const uint64_t from = std::max<uint64_t>(
                    base, (uint64_t{base} / sync::kPage + i) * uint64_t{sync::kPage});
                const uint64_t to = std::min<uint64_t>(uint64_t{base} + length,
                                                       (from / sync::kPage + 1) * sync::kPage);
                for (uint64_t a = from; a < to; ++a)
                    result.bytesChanged += before[a - base] != target.bytes[a - base];
            }
        }

        result.ops = sync::PlanPages(changed, base, length, bulkCapable_, method_);
        result.acknowledged = Clock::now();
        if (!result.ops.empty()) {
            // From the first write until the new state is recorded the device may hold neither
            // version: no state file may claim one.
            if (!stateDropped_ && !sync::DropState(statePath_))
                throw UsageError("cannot remove " + statePath_ +
                                 " before writing (it would claim what the device holds)");
            stateDropped_ = true;
            Write(target, result.ops);
            result.acknowledged = Clock::now();
            Verify(target, result.ops);
            recordPending_ = true;
        }
        if (!result.trustedState) recordPending_ = true;
        known_ = true;
        knownBase_ = base;
        if (sameRange) {
            // Only the pages written differ from what is kept.
            for (const sync::SyncOp& op : result.ops)
                std::copy_n(target.bytes.begin() + (op.address - base), op.length,
                            knownBytes_.begin() + (op.address - base));
        } else {
            knownBytes_.assign(target.bytes.begin(), target.bytes.end());
        }
        knownKey_ = key;
        result.finished = Clock::now();
        return result;
    }

    // Writes the state file for what the device now holds. A one-shot sync records at its
    // end; a watch when it stops cleanly, which keeps file writes out of each sync's latency
    // (while it runs the state file is absent once something was written).
    void Record() {
        if (!known_ || !recordPending_) return;
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
        if (!device_.InLargeBinMode()) key += " rw=" + std::to_string(device_.readWriteBank);
        if (device_.hardwareType == kTolliverType)
            key += " mode=" + std::to_string(device_.tolliverMode);
        key += " memory=" + Hex(Limit());
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

    void Read(uint8_t* out, uint32_t address, uint32_t length, bool bulk, const char* label) {
        const std::string what = "reading " + std::to_string(length) + " bytes at " +
                                 Range(address, length) + " (" + Note(bulk) + ") from " +
                                 session_.PortLabel();
        session_.CheckInterrupted(what);
        std::optional<Progress> progress;
        if (length >= kProgressFloor) progress.emplace(label, length, kReadChunk);
        if (bulk) {
            session_.Check(device_.BulkRead(out, length, address, flags_,
                                            progress ? Progress::Callback() : nullptr),
                           what);
            return;
        }
        if (progress) progress->Update(0);
        for (uint32_t offset = 0; offset < length;) {
            session_.CheckInterrupted(what);
            const uint32_t n = std::min(kReadChunk, length - offset);
            session_.Check(device_.ReadBlock(out + offset, n, address + offset, flags_, nullptr),
                           what);
            offset += n;
            if (progress) progress->Update(offset);
        }
        if (progress) progress->Finish();
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

    void Write(const Target& target, const std::vector<sync::SyncOp>& ops) {
        const uint64_t total = sync::PlannedBytes(ops);
        std::optional<Progress> progress;
        if (total >= kProgressFloor) {
            progress.emplace("sync", total, sync::kPage);
            progress->Update(0);
        }
        uint64_t done = 0;
        for (const sync::SyncOp& op : ops) {
            const bool bulk = op.kind == sync::OpKind::Bulk;
            const std::string what = "writing " + std::to_string(op.length) + " bytes at " +
                                     Range(op.address, op.length) + " (" + Note(bulk) + ") to " +
                                     session_.PortLabel();
            session_.CheckInterrupted(what);
            const uint8_t* data = target.bytes.data() + (op.address - target.address);
            // Block writes say XferNoBulk: WriteBlock would otherwise send whole pages the
            // bulk way itself.
            const int32_t rc =
                bulk
                    ? device_.BulkWrite(data, op.length, op.address, flags_, nullptr)
                    : device_.WriteBlock(data, op.length, op.address, flags_ | XferNoBulk, nullptr);
            session_.Check(rc, what);
            done += op.length;
            if (progress) progress->Update(done);
        }
        if (progress) progress->Finish();
    }

    // Reads back exactly the pages written, each the way it was written.
    void Verify(const Target& target, const std::vector<sync::SyncOp>& ops) {
        for (const sync::SyncOp& op : ops) {
            std::vector<uint8_t> back(op.length);
            const bool bulk = op.kind == sync::OpKind::Bulk;
            Read(back.data(), op.address, op.length, bulk, "verify");
            const uint8_t* expected = target.bytes.data() + (op.address - target.address);
            for (uint32_t i = 0; i < op.length; ++i) {
                if (back[i] == expected[i]) continue;
                uint64_t differ = 0;
                for (uint32_t j = i; j < op.length; ++j) differ += back[j] != expected[j];
                throw ToolError(kExitDeviceFailed,
                                "verify failed on " + session_.PortLabel() +
                                    ": first difference at " + Hex(op.address + i, 6) +
                                    " (device " + Hex(back[i], 2) + ", file " +
                                    Hex(expected[i], 2) + "), " + std::to_string(differ) +
                                    " byte(s) differ in " + Range(op.address, op.length));
            }
        }
    }

    Session& session_;
    QXVorrel& device_;
    const SyncArgs& args_;
    std::string statePath_;
    std::string deviceKey_;
    uint32_t flags_ = 0;
    sync::Method method_ = sync::Method::Auto;
    bool bulkCapable_ = false;
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
JsonObject ResultJson(const Session& session, const SyncArgs& args, const Target& target,
                      const SyncResult& r, std::optional<Clock::time_point> changedAt,
                      Clock::time_point workFrom) {
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
        .String("format", image::formatOption(target.format))
        .Number("address", target.address)
        .Number("length", static_cast<int64_t>(target.bytes.size()))
        .Number("pages", sync::PlannedPages(r.ops))
        .Number("bytesWritten", static_cast<int64_t>(sync::PlannedBytes(r.ops)))
        .Array("operations", ops)
        .Bool("readDevice", r.readDevice)
        .Bool("trustedState", r.trustedState)
        .Bool("verified", true)
        .Real("syncMilliseconds", Milliseconds(workFrom, r.acknowledged));
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
    platform::FileWatch watch;
    if (args.watch) {
        // Before the first load, so a save during the first sync is not missed.
        std::string error;
        if (!watch.Start(args.file, &error)) throw UsageError(args.file + ": " + error);
    }
    Target target;
    LoadTarget(args, target);

    session.Open();
    Syncer syncer(session, args);
    CheckFits(target, args.file, syncer.Limit());
    const SyncResult first = syncer.Sync(target);
    if (!args.watch) syncer.Record();
    Console::Get().Result("synced " + args.file + " to " + session.PortLabel() + " at " +
                          Range(target.address, target.bytes.size()) + ": " + Summary(first) +
                          ", " + FormatMs(Milliseconds(first.started, first.finished)));
    Console::Get().JsonResult(
        ResultJson(session, args, target, first, std::nullopt, first.started).Text());
    if (!args.watch) return kExitOk;

    Console::Get().Note("qxtool: watching " + args.file + " (Ctrl+C stops)");
    for (;;) {
        const std::optional<Clock::time_point> changedAt = NextChange(watch, args.file);
        if (!changedAt) break;
        const Clock::time_point readAt = Clock::now();
        try {
            LoadTarget(args, target);
            CheckFits(target, args.file, syncer.Limit());
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
        Console::Get().JsonResult(ResultJson(session, args, target, r, changedAt, readAt).Text());
    }
    syncer.Record();
    Console::Get().Note("qxtool: stopped watching " + args.file);
    return kExitOk;
}

}  // namespace qx::tool
