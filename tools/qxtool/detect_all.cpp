#include "tools/qxtool/detect_all.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/port_list.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

// Probes at once at most this many ports; beyond it they go in rounds.
constexpr size_t kMaxParallel = 64;

struct Probe {
    std::string port;
    // Each probe logs into a sink of its own; the lines join the run's log afterwards, one
    // port after the other.
    TextSink sink{true};
    LogWindow log;
    std::string line;
    JsonObject json;
    std::vector<std::string> gaps;
    ProbeResult result;

    void Run(bool logging) {
        QXVorrel device;
        if (logging) {
            AttachTextSink(log, sink);
            device.AttachLogWindow(&log);
        }
        result = ProbePort(device, port);
        if (result.identified) {
            line = DeviceLine(device, port);
            json = DeviceJson(device, port);
            gaps = IdentificationGaps(device, result.identifyResult);
            if (!gaps.empty()) {
                JsonArray warnings;
                for (const std::string& gap : gaps) warnings.String(gap);
                json.Array("warnings", warnings);
            }
            device.ClosePort();
        }
    }
};

}  // namespace

int RunDetectAll(Session& session) {
    if (!session.Options().port.empty())
        throw UsageError("detect --all probes every port; leave out --port");
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Probe>> probes;
    for (const platform::SerialPortEntry& entry : platform::ListSerialPorts()) {
        if (!entry.present) continue;
        auto probe = std::make_unique<Probe>();
        probe->port = entry.comNumber >= 0 ? entry.name : entry.path;
        probes.push_back(std::move(probe));
    }

    const bool logging = session.Logging();
    for (size_t first = 0; first < probes.size(); first += kMaxParallel) {
        const size_t last = std::min(probes.size(), first + kMaxParallel);
        std::vector<std::thread> threads;
        threads.reserve(last - first);
        for (size_t i = first; i < last; ++i) {
            Probe* probe = probes[i].get();
            threads.emplace_back([probe, logging] { probe->Run(logging); });
        }
        for (std::thread& thread : threads) thread.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::string text;
    JsonArray devices;
    size_t found = 0;
    for (const auto& probe : probes) {
        session.AppendLog(probe->sink.Text());
        if (probe->result.identified) {
            ++found;
            for (const std::string& gap : probe->gaps)
                Console::Get().Warning(probe->port + ": " + gap);
            text += probe->line + "\n";
            devices.Object(probe->json);
        } else if (probe->result.answered || probe->result.openFailed) {
            Console::Get().Note("qxtool: " + probe->result.detail);
        }
    }
    char summary[96];
    std::snprintf(summary, sizeof summary,
                  "qxtool: probed %zu port(s) in %.1f s, found %zu device(s)", probes.size(),
                  seconds, found);
    Console::Get().Note(summary);
    session.CheckInterrupted("probing every port");
    if (found != 0) Console::Get().Result(text);
    Console::Get().JsonResult(JsonObject()
                                  .Array("devices", devices)
                                  .Number("probed", static_cast<int64_t>(probes.size()))
                                  .Real("seconds", seconds)
                                  .Text());
    if (found == 0)
        throw NoDeviceError("no device found on any of " + std::to_string(probes.size()) +
                            " port(s)");
    return kExitOk;
}

}  // namespace qx::tool
