#include "link_transfer.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "device/qx_vorrel.h"
#include "raw_pty.h"

namespace linkbench {

const char* OpName(Op op) {
    switch (op) {
        case Op::BulkRead:
            return "BulkRead";
        case Op::BulkWrite:
            return "BulkWrite";
        case Op::ReadBlock:
            return "ReadBlock";
        case Op::WriteBlock:
            return "WriteBlock (XferNoBulk)";
    }
    return "?";
}

bool IsBulk(Op op) {
    return op == Op::BulkRead || op == Op::BulkWrite;
}

Measured RunTransfer(LinkedDevice& link, Op op, uint32_t size, std::vector<uint8_t>& image,
                     std::mt19937& rng, Report& report) {
    Measured m;
    qx::QXVorrel& dev = *link.device;
    const bool writes = op == Op::BulkWrite || op == Op::WriteBlock;
    std::vector<uint8_t> data = writes ? RandomBytes(size, rng) : std::vector<uint8_t>(size);
    link.sim->ClearTranscript();

    const double cpuStart = qxbench::ThreadCpuSeconds();
    const double farCpuStart = TaskCpuSeconds(link.simThread);
    const auto start = Clock::now();
    int32_t rc = qx::VR_E_GENERAL_ERROR;
    switch (op) {
        case Op::BulkRead:
            rc = dev.BulkRead(data.data(), size, 0, 0, nullptr);
            break;
        case Op::BulkWrite:
            rc = dev.BulkWrite(data.data(), size, 0, 0, nullptr);
            break;
        case Op::ReadBlock:
            rc = dev.ReadBlock(data.data(), size, 0, 0, nullptr);
            break;
        case Op::WriteBlock:
            rc = dev.WriteBlock(data.data(), size, 0, qx::XferNoBulk, nullptr);
            break;
    }
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m.cpuSeconds = qxbench::ThreadCpuSeconds() - cpuStart;
    m.farCpuSeconds = TaskCpuSeconds(link.simThread) - farCpuStart;

    const std::string what = std::string(OpName(op)) + " " + SizeText(size);
    if (rc != qx::VR_S_OK) {
        report.Fail(what + ": " + qx::ResultCodeName(rc));
        return m;
    }
    if (writes) {
        if (link.sim->ReadMemory(qxsim::kSpace2, 0, size) != data) {
            report.Fail(what + ": the device memory differs from what was written");
            return m;
        }
        std::copy(data.begin(), data.end(), image.begin());
    } else if (!std::equal(data.begin(), data.end(), image.begin())) {
        report.Fail(what + ": the bytes read differ from the device memory");
        return m;
    }
    m.traffic = Traffic(link.sim->Transcript());
    if (!m.traffic.allAnswered) {
        report.Fail(what + ": a request went unanswered");
        return m;
    }
    m.ok = true;
    return m;
}

qxsim::Config TransferDevice(const std::vector<uint8_t>& image) {
    qxsim::Config config = SimConfig('O', 10, 15);
    config.emulationBank = 8;
    config.image = image;
    return config;
}

}  // namespace linkbench
