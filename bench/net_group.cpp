#include "groups.h"

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "link_env.h"
#include "link_transfer.h"
#include "ser2net_process.h"
#include "sim.h"

namespace linkbench {

namespace {

// A device object opened by name and identified as qxtool does it, the link raised to 921600.
std::unique_ptr<qx::QXVorrel> OpenAt921600(const std::string& name, std::string* error) {
    auto device = std::make_unique<qx::QXVorrel>();
    uint8_t version[3] = {};
    if (device->OpenPortByName(name.c_str()) != qx::VR_S_OK ||
        device->GetFirmwareVersion(version) != qx::VR_S_OK || device->Identify() != qx::VR_S_OK ||
        device->capabilities == 0) {
        *error = "no device identified on " + name;
        return nullptr;
    }
    if (device->SetUSBBaud(qx::kSpeed921600, 0) != qx::VR_S_OK) {
        *error = "SetUSBBaud(921600) failed on " + name;
        return nullptr;
    }
    return device;
}

}  // namespace

// The same transfers on one simulated device throttled to 921600 baud, directly on its
// pseudo-terminal and through ser2net on 127.0.0.1 (rfc2217://, the README's configuration),
// the two alternating operation by operation.
void NetGroup(const Options& options, Report& report) {
    std::fprintf(stderr, "net: transfers through ser2net vs. directly on the pty, 921600 baud\n");
    const uint32_t size = options.shortMode ? 16 * KiB : 512 * KiB;
    const uint32_t baud = 921600;
    ComDir dir;
    std::mt19937 rng(29);
    std::vector<uint8_t> image = RandomBytes(512 * KiB, rng);
    // Half the image is the Telnet escape byte, which travels doubled on the network.
    for (size_t i = 0; i < image.size(); i += 2) image[i] = 0xFF;
    LinkedDevice link;
    link.sim = std::make_unique<qxsim::Simulator>(TransferDevice(image));
    const std::string tty = dir.path() + "/far-tty";
    std::string error;
    if (!dir.ok() || !link.sim->Start(&error) || !link.sim->LinkAt(tty, &error)) {
        report.Fail("net set-up: " + error);
        return;
    }
    qxtest::Ser2net server;
    if (!server.Start(tty)) {
        report.Fail("net set-up: " + server.error());
        return;
    }
    link.sim->SetThrottle(true);
    for (Op op : kOps) {
        Measured direct, remote;
        for (const std::string& name : {tty, server.Url()}) {
            link.device = OpenAt921600(name, &error);
            if (!link.device) {
                report.Fail("net: " + error);
                return;
            }
            Measured& m = name == tty ? direct : remote;
            m = RunTransfer(link, op, size, image, rng, report);
            link.device->ClosePort();
            link.device.reset();
            if (!m.ok) return;
        }
        const double ratio = direct.seconds / remote.seconds;
        const bool bulk = IsBulk(op);
        report.Add({std::string(OpName(op)) + ", through ser2net", SizeText(size),
                    std::to_string(baud), Duration(remote.seconds),
                    Duration(direct.seconds) + " direct pty", AtLeast(ratio),
                    bulk ? "≥ 0.95" : "(report)", bulk ? Met(ratio >= 0.95) : "-"});
    }
    report.Note(
        "net rows: one run each; ratio = time directly on the pseudo-terminal / time through "
        "ser2net (telnet(rfc2217),tcp(nodelay) on 127.0.0.1, chardelay off) to the same "
        "pseudo-terminal, i.e. "
        "the share of the direct throughput kept; half the image bytes are 0xFF.");
}

}  // namespace linkbench
