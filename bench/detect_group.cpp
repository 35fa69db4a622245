#include "groups.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link_env.h"
#include "pty_peer.h"
#include "sim.h"

namespace linkbench {

void DetectGroup(const Options& options, Report& report) {
    std::fprintf(stderr, "detect: qxtool detect --all over 8 silent ports and 1 live one\n");
    const std::string tool = options.qxtool.empty() ? DefaultQxtool() : options.qxtool;
    const std::string what = "qxtool detect --all, 8 silent + 1 live";
    ComDir dir;
    const std::string out = dir.path() + "/out.txt";
    const ProcessRun help = RunProcess({tool, "detect", "--help"}, out);
    if (!help.started || help.out.find("--all") == std::string::npos) {
        report.Add({what, "-", "-", "not measured yet", "-", "-", "≤ 1.10", "-"});
        report.Note(tool + " has no 'detect --all' (or is missing): that row was not measured.");
        return;
    }

    // Ports with nothing behind them: pseudo-terminals whose far end never reads or answers.
    std::vector<std::unique_ptr<qxtest::PtyPeer>> silent;
    for (int n = 1; n <= 8; ++n) {
        auto port = std::make_unique<qxtest::PtyPeer>();
        const std::string com = "COM" + std::to_string(n);
        if (!port->ok() || !dir.Link(com, port->slavePath())) {
            report.Fail("silent port: " + (port->ok() ? "cannot link " + com : port->error()));
            return;
        }
        silent.push_back(std::move(port));
    }
    qxsim::Config live = SimConfig('O', 10, 15);
    live.throttle = true;
    qxsim::Simulator sim(live);
    std::string error;
    if (!sim.Start(&error) || !sim.LinkAsCom(9, {}, &error)) {
        report.Fail("live port: " + error);
        return;
    }

    const int repeats = options.shortMode ? 1 : 2;
    double one = 1e9;
    double all = 1e9;
    for (int i = 0; i < repeats; ++i) {
        const ProcessRun single = RunProcess({tool, "--quiet", "--port", "COM1", "detect"}, out);
        if (!single.started || single.status != 3) {
            report.Fail("qxtool --port COM1 detect (silent) exited " +
                        std::to_string(single.status) + ", expected 3");
            return;
        }
        const ProcessRun every = RunProcess({tool, "--quiet", "--json", "detect", "--all"}, out);
        const long probed = JsonNumber(every.out, "probed");
        if (!every.started || every.status != 0 || probed != 9 ||
            every.out.find("Kelby") == std::string::npos) {
            report.Fail("qxtool detect --all exited " + std::to_string(every.status) +
                        " having probed " + std::to_string(probed) + " port(s): " + every.out);
            return;
        }
        one = std::min(one, single.seconds);
        all = std::min(all, every.seconds);
    }
    sim.Stop();

    const double probeBudgetMs =
        kProbePausesMs + 3 * kFailedVersionRequestMs + 2 * kSpeedChangePauseMs;
    report.Add({"qxtool --port COM1 detect, 1 silent port", "-", "-", Duration(one),
                Format("%.0f ms budget (3 time-outs)", probeBudgetMs),
                AtMost(one * 1000.0 / probeBudgetMs), "≤ 1.10",
                Met(one * 1000.0 / probeBudgetMs <= 1.10)});
    report.Add({what, "-", "-", Duration(all), Duration(one) + " one silent probe",
                AtMost(all / one), "≤ 1.10", Met(all / one <= 1.10)});
    if (repeats > 1)
        report.Note("qxtool rows: best of " + std::to_string(repeats) +
                    " runs, process start included in both.");
}

}  // namespace linkbench
