// qx_link_bench: the device library on a simulated serial line, measured against the wire's
// limit, against a raw pseudo-terminal and against the scan's fixed budget. Every figure is a
// ratio of two times taken in the same run; nothing is asserted about absolute times. The
// exit status is 1 only when an operation failed or moved the wrong bytes.
//
//   qx_link_bench [--short] [--markdown] [--only wire,host,scan,detect,sync,net] [--qxtool PATH]
//
//   wire    transfers on a simulator throttled to the line's baud: efficiency = wire time of
//           every byte that crossed the line (requests and replies, 10 bits a byte) / time
//   host    the same transfers unthrottled vs. the same request/reply sizes on a raw pty
//   scan    FindDevice vs. its fixed pauses plus the exchanges it makes; the empty walk
//   detect  qxtool detect --all over 8 silent ports and 1 live one vs. one silent probe
//   sync    qxtool sync --watch: a one-byte edit from save to acknowledgement vs. the upload
//           of the whole image
//   net     transfers through ser2net (rfc2217://127.0.0.1) vs. the same transfers directly
//           on the simulator's pseudo-terminal, the line throttled to 921600 baud
//
// Each group is in <group>_group.cpp; what they share in link_env (devices, traffic,
// processes), link_transfer (one checked, timed transfer) and link_report (the table).
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "groups.h"
#include "link_report.h"

namespace {

using linkbench::Clock;
using linkbench::Duration;

int Usage() {
    std::fprintf(stderr,
                 "usage: qx_link_bench [--short] [--markdown] "
                 "[--only wire,host,scan,detect,sync,net] [--qxtool PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    linkbench::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--short") {
            options.shortMode = true;
        } else if (arg == "--markdown") {
            options.markdown = true;
        } else if (arg == "--only" && i + 1 < argc) {
            options.groups.clear();
            std::stringstream list(argv[++i]);
            for (std::string group; std::getline(list, group, ',');) {
                if (group != "wire" && group != "host" && group != "scan" && group != "detect" &&
                    group != "sync" && group != "net")
                    return Usage();
                options.groups.insert(group);
            }
        } else if (arg == "--qxtool" && i + 1 < argc) {
            options.qxtool = argv[++i];
        } else {
            return Usage();
        }
    }

    linkbench::Report report;
    const auto start = Clock::now();
    if (options.groups.count("wire")) linkbench::WireGroup(options, report);
    if (options.groups.count("host")) linkbench::HostGroup(options, report);
    if (options.groups.count("scan")) linkbench::ScanGroup(options, report);
    if (options.groups.count("detect")) linkbench::DetectGroup(options, report);
    if (options.groups.count("sync")) linkbench::SyncGroup(options, report);
    if (options.groups.count("net")) linkbench::NetGroup(options, report);
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    if (options.shortMode)
        report.Note("--short: smaller transfers, 921600 baud only; figures are indicative.");
    report.Note("run took " + Duration(total) + " on " +
                std::to_string(std::thread::hardware_concurrency()) + " hardware thread(s).");
    report.Print(options.markdown);
    return report.Failed() ? 1 : 0;
}
