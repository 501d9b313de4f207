// Raw-to-metric conversion of full buffers through the library, against a plain loop
// doing the same arithmetic on the same arrays, measured in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>

#include "QMD5820.h"
#include "core/board_table.h"
#include "measure/measure.h"
#include "qmd5820sim.h"
#include "ratio_reporter.h"

namespace {

constexpr int kEntries = 255;  // the largest count one call takes

struct Buffers {
    std::array<uint8_t, kEntries> channels{};
    std::array<uint16_t, kEntries> raw{};
    std::array<double, kEntries> metric{};
    std::array<double, 16> range{};
    Buffers() {
        for (int i = 0; i < kEntries; ++i) {
            channels[static_cast<size_t>(i)] = static_cast<uint8_t>(i % 16);
            raw[static_cast<size_t>(i)] = static_cast<uint16_t>(i * 257);
        }
    }
};

QMD5820_HANDLE OpenWithChannels() {
    qmdsim_reset();
    qmd::OnProcessAttach();
    QMD5820_HANDLE handle = 0;
    i_QMD5820_OpenBoardViaIndex(0, &handle);
    for (uint8_t ch = 0; ch < 16; ++ch) i_QMD5820_Init1TransducerChannel(handle, ch, 1, 0.0);
    return handle;
}

void BM_ConvertMoreRawToMetricValues(benchmark::State& state) {
    const QMD5820_HANDLE handle = OpenWithChannels();
    Buffers b;
    for (auto _ : state) {
        i_QMD5820_ConvertMoreRawToMetricValues(handle, kEntries, b.channels.data(), b.raw.data(),
                                               b.metric.data());
        benchmark::DoNotOptimize(b.metric.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ConvertMoreRawToMetricValues);

// The same arithmetic, with the ranges already in a plain array.
void BM_PlainLoop(benchmark::State& state) {
    Buffers b;
    b.range.fill(2.0);
    for (auto _ : state) {
        for (int i = 0; i < kEntries; ++i) {
            const auto k = static_cast<size_t>(i);
            b.metric[k] = qmd::RawToMetric(b.raw[k], b.range[b.channels[k]], false);
        }
        benchmark::DoNotOptimize(b.metric.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_PlainLoop);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double library = reporter.Ns("BM_ConvertMoreRawToMetricValues");
    const double plain = reporter.Ns("BM_PlainLoop");
    if (library > 0 && plain > 0) {
        std::printf("values per second: library %.3g, plain loop %.3g\n", kEntries * 1e9 / library,
                    kEntries * 1e9 / plain);
        std::printf("library throughput / plain loop = %.2f (target at least 0.5)\n", plain / library);
    }
    benchmark::Shutdown();
    return 0;
}
