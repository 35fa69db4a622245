#include "groups.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "link_env.h"
#include "link_transfer.h"
#include "raw_pty.h"

namespace linkbench {

void WireGroup(const Options& options, Report& report) {
    std::fprintf(stderr, "wire: transfers on a line throttled to its baud\n");
    const std::vector<uint32_t> bauds =
        options.shortMode ? std::vector<uint32_t>{921600} : std::vector<uint32_t>{115200, 921600};
    const std::vector<uint32_t> sizes = options.shortMode
                                            ? std::vector<uint32_t>{16 * KiB}
                                            : std::vector<uint32_t>{64 * KiB, 512 * KiB};
    std::mt19937 rng(11);
    for (uint32_t baud : bauds) {
        ComDir dir;
        std::vector<uint8_t> image = RandomBytes(512 * KiB, rng);
        LinkedDevice link;
        if (!dir.ok() || !link.Start(TransferDevice(image), 5)) {
            report.Fail("wire set-up: " + link.error);
            return;
        }
        if (baud == 921600 && link.device->SetUSBBaud(qx::kSpeed921600, 0) != qx::VR_S_OK) {
            report.Fail("wire set-up: SetUSBBaud(921600) failed");
            return;
        }
        link.sim->SetThrottle(true);
        for (uint32_t size : sizes) {
            for (Op op : kOps) {
                // Short transfers: best of three, against the machine's load.
                const int repeats = WireSeconds(size, baud) < 2.0 ? 3 : 1;
                Measured m;
                for (int i = 0; i < repeats; ++i) {
                    const Measured run = RunTransfer(link, op, size, image, rng, report);
                    if (!run.ok) {
                        m.ok = false;
                        break;
                    }
                    if (!m.ok || run.seconds < m.seconds) m = run;
                }
                if (!m.ok) continue;
                const double wire = WireSeconds(m.traffic.bytes, baud);
                const double efficiency = wire / m.seconds;
                const double target = IsBulk(op) ? 0.97 : 0.90;
                report.Add({OpName(op), SizeText(size), std::to_string(baud), Duration(m.seconds),
                            Duration(wire) + " wire", AtLeast(efficiency), Format("≥ %.2f", target),
                            Met(efficiency >= target)});
                if (baud < 921600) continue;
                // What this machine allows at all: the same rounds between the two ends of a
                // raw pty paced exactly as the simulator paces them, with no protocol.
                qxbench::RawTiming paced;
                for (int i = 0; i < repeats; ++i) {
                    std::string error;
                    const qxbench::RawTiming run =
                        qxbench::RawExchange(m.traffic.rounds, &error, baud);
                    if (!run.ok) {
                        report.Fail(std::string("paced raw rounds for ") + OpName(op) + ": " +
                                    error);
                        paced.ok = false;
                        break;
                    }
                    if (!paced.ok || run.seconds < paced.seconds) paced = run;
                }
                if (!paced.ok) continue;
                report.Add({std::string(OpName(op)) + ": raw pty, same rounds and pacing",
                            SizeText(size), std::to_string(baud), Duration(paced.seconds),
                            Duration(wire) + " wire", AtLeast(wire / paced.seconds), "(machine)",
                            "-"});
            }
        }
        link.sim->SetThrottle(false);
    }
    report.Note(
        "wire rows: one run each, best of three where the transfer's wire time is under "
        "2 s; the simulator holds each reply until the request's wire time has passed "
        "and releases reply bytes no earlier than the line would deliver them. The 'raw pty, "
        "same rounds and pacing' rows move the same rounds with the same pacing and no "
        "protocol: what this machine reaches at all.");
}

}  // namespace linkbench
