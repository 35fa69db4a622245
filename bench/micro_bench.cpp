// Micro benchmarks of the per-byte work of a transfer: the packet checksum, the link cipher
// and the packet dump. Each reports "per_byte" (time per byte) beside Google Benchmark's
// bytes_per_second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "log/log_sink.h"
#include "log/text_sink.h"

namespace {

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 0x12345678;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

void PerByte(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["per_byte"] = benchmark::Counter(
        static_cast<double>(bytes),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PacketChecksum(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qx::PacketChecksum(data.data(), static_cast<int32_t>(size)));
    }
    PerByte(state, size);
}
BENCHMARK(BM_PacketChecksum)->Arg(6)->Arg(256)->Arg(4096);

void BM_EncryptBuffer(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    qx::QXVorrel device;
    std::vector<uint8_t> data = Pattern(size);
    uint8_t chain = 0;
    for (auto _ : state) {
        EncryptBuffer(device, data.data(), static_cast<uint32_t>(size), &chain);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(chain);
    PerByte(state, size);
}
BENCHMARK(BM_EncryptBuffer)->Arg(8)->Arg(256)->Arg(4096);

void BM_DecryptBuffer(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    qx::QXVorrel device;
    std::vector<uint8_t> data = Pattern(size);
    for (auto _ : state) {
        DecryptBuffer(device, 0x5A, data.data(), static_cast<int32_t>(size));
        benchmark::ClobberMemory();
    }
    PerByte(state, size);
}
BENCHMARK(BM_DecryptBuffer)->Arg(256)->Arg(4096);

// No LogWindow: the call must return before any formatting.
void BM_LogHexDump_NoWindow(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(size);
    for (auto _ : state) {
        qx::LogHexDump(nullptr, "QXSerial: Read", data.data(), static_cast<uint32_t>(size));
        benchmark::ClobberMemory();
    }
    PerByte(state, size);
}
BENCHMARK(BM_LogHexDump_NoWindow)->Arg(256)->Arg(4096);

// A LogWindow whose edit control is gone: the same early return.
void BM_LogHexDump_WindowWithoutEdit(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(size);
    qx::LogWindow log;
    for (auto _ : state) {
        qx::LogHexDump(&log, "QXSerial: Read", data.data(), static_cast<uint32_t>(size));
        benchmark::ClobberMemory();
    }
    PerByte(state, size);
}
BENCHMARK(BM_LogHexDump_WindowWithoutEdit)->Arg(256)->Arg(4096);

// A LogWindow attached to a TextSink that keeps no text: formatting and the sink's
// edit-control bookkeeping, no output.
void BM_LogHexDump_TextSink(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(size);
    qx::TextSink sink(false);
    qx::LogWindow log;
    qx::AttachTextSink(log, sink);
    for (auto _ : state) {
        qx::LogHexDump(&log, "QXSerial: Read", data.data(), static_cast<uint32_t>(size));
    }
    PerByte(state, size);
}
BENCHMARK(BM_LogHexDump_TextSink)->Arg(256)->Arg(4096);

// The same sink mirrored to a file, as qxtool --log writes it (one flushed line a call).
void BM_LogHexDump_FileSink(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(size);
    char path[] = "/tmp/qxbench-log-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    close(fd);
    {
        qx::TextSink sink(false);
        if (!sink.OpenMirror(path)) {
            state.SkipWithError("cannot open the mirror file");
        } else {
            qx::LogWindow log;
            qx::AttachTextSink(log, sink);
            for (auto _ : state) {
                qx::LogHexDump(&log, "QXSerial: Read", data.data(), static_cast<uint32_t>(size));
            }
            PerByte(state, size);
        }
    }
    unlink(path);
}
BENCHMARK(BM_LogHexDump_FileSink)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
