// Raw-to-metric conversion of full buffers through the library, against a plain loop
// doing the same arithmetic on the same arrays, measured in the same run. The Google
// Benchmark figures give the speeds; the ratio is measured in alternating rounds of both
// (ratio_reporter.h), on one fixed core, because two benchmarks run one after the other
// on a shared machine meet different loads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "cpu_pinning.h"
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
        range.fill(2.0);  // transducer 1, with which every channel is initialised
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

// One buffer through the library.
void LibraryConvert(QMD5820_HANDLE handle, Buffers& b) {
    i_QMD5820_ConvertMoreRawToMetricValues(handle, kEntries, b.channels.data(), b.raw.data(),
                                           b.metric.data());
    benchmark::DoNotOptimize(b.metric.data());
    benchmark::ClobberMemory();
}

// The same arithmetic, with the ranges already in a plain array.
void PlainConvert(Buffers& b) {
    for (int i = 0; i < kEntries; ++i) {
        const auto k = static_cast<size_t>(i);
        b.metric[k] = qmd::RawToMetric(b.raw[k], b.range[b.channels[k]], false);
    }
    benchmark::DoNotOptimize(b.metric.data());
    benchmark::ClobberMemory();
}

void BM_ConvertMoreRawToMetricValues(benchmark::State& state) {
    const QMD5820_HANDLE handle = OpenWithChannels();
    Buffers b;
    for (auto _ : state) LibraryConvert(handle, b);
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ConvertMoreRawToMetricValues);

void BM_PlainLoop(benchmark::State& state) {
    Buffers b;
    for (auto _ : state) PlainConvert(b);
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_PlainLoop);

// The paired rounds with the buffers at 16 places, 256 bytes apart, across one 4 KiB page.
// How fast a loop runs that stores into one array while loading from others depends on
// where they lie relative to each other within a page (a loop reading the board table per
// entry measured 0.84 at most placements and 0.96 at a few), and a caller's buffers lie
// anywhere; one process alone would see one placement only.
struct PlacedRatios {
    std::vector<double> all;
    double lowest_median = 0;
    double highest_median = 0;
};

PlacedRatios MeasureAtPlacements(QMD5820_HANDLE handle) {
    constexpr std::size_t kPage = 4096;
    constexpr int kPlacements = 16;
    alignas(kPage) static unsigned char arena[kPage * 2 + sizeof(Buffers)];
    PlacedRatios result;
    for (int p = 0; p < kPlacements; ++p) {
        Buffers* b = new (arena + kPage + static_cast<std::size_t>(p) * (kPage / kPlacements))
            Buffers();
        const std::vector<double> ratios = PairedRatios(
            [&] { PlainConvert(*b); }, [&] { LibraryConvert(handle, *b); }, 41, 64);
        const double median = Spread(ratios).median;
        result.lowest_median = p == 0 ? median : std::min(result.lowest_median, median);
        result.highest_median = p == 0 ? median : std::max(result.highest_median, median);
        result.all.insert(result.all.end(), ratios.begin(), ratios.end());
        b->~Buffers();
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    // One core for the whole run: no migration between the two paths' rounds.
    const std::vector<int> cores = bench::AllowedCores();
    const bool pinned = !cores.empty() && bench::PinCurrentThread(cores.back());

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double library = reporter.Ns("BM_ConvertMoreRawToMetricValues");
    const double plain = reporter.Ns("BM_PlainLoop");
    if (library > 0 && plain > 0) {
        std::printf("values per second: library %.3g, plain loop %.3g\n", kEntries * 1e9 / library,
                    kEntries * 1e9 / plain);
    }

    const PlacedRatios placed = MeasureAtPlacements(OpenWithChannels());
    const RatioSpread spread = Spread(placed.all);
    if (pinned) {
        std::printf("on core %d, ", cores.back());
    } else {
        std::printf("not pinned (the system refused), ");
    }
    std::printf("%d alternating rounds at 16 buffer placements: medians per placement %.3f to "
                "%.3f\n",
                spread.count, placed.lowest_median, placed.highest_median);
    std::printf("library throughput / plain loop = %.3f (quartiles %.3f to %.3f; target at least "
                "0.95)\n",
                spread.median, spread.low_quartile, spread.high_quartile);
    benchmark::Shutdown();
    return 0;
}
