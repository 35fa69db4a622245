// One transfer of the device library on a linked simulated device, checked and timed: what
// the wire, host and net groups measure.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "link_env.h"
#include "link_report.h"
#include "sim.h"

namespace linkbench {

enum class Op { BulkRead, BulkWrite, ReadBlock, WriteBlock };
constexpr Op kOps[] = {Op::BulkRead, Op::BulkWrite, Op::ReadBlock, Op::WriteBlock};

const char* OpName(Op op);
bool IsBulk(Op op);

struct Measured {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;     // of the calling thread
    double farCpuSeconds = 0;  // of the simulator's thread
    LineTraffic traffic;
};

// One transfer of `size` bytes at device address 0. `image` mirrors the device memory: reads
// are checked against it, writes update it (and are checked in the simulator's memory).
Measured RunTransfer(LinkedDevice& link, Op op, uint32_t size, std::vector<uint8_t>& image,
                     std::mt19937& rng, Report& report);

// A Kelby 10.15 (bulk, banks) in large-bin mode: emulation bank 8 makes the image the whole
// 512 KiB memory.
qxsim::Config TransferDevice(const std::vector<uint8_t>& image);

}  // namespace linkbench
