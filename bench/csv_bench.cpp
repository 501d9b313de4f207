// CSV formatting cost per value of the tool's acquisition rows (16 channels a row): the
// std::to_chars rows of csv_rows.h against the same rows written with snprintf("%.6f") per
// value, in the same run. Items are values, so the rate reads as values per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/csv_rows.h"

namespace {

constexpr std::size_t kChannels = 16;
constexpr std::size_t kRows = 1000;

std::vector<double> Values() {
    std::vector<double> values(kRows * kChannels);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = (static_cast<double>(i % 65536) - 32768.0) / 32767.0 * 10.0;
    }
    return values;
}

void BM_RowsToChars(benchmark::State& state) {
    const std::vector<double> values = Values();
    std::string out;
    for (auto _ : state) {
        out.clear();
        for (std::size_t row = 0; row < kRows; ++row) {
            qmdtool::AppendCsvRow(out, row + 1, static_cast<double>(row) * 1e-6,
                                  values.data() + row * kChannels, kChannels);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows * kChannels));
}
BENCHMARK(BM_RowsToChars);

void BM_RowsSnprintf(benchmark::State& state) {
    const std::vector<double> values = Values();
    std::string out;
    char text[64];
    for (auto _ : state) {
        out.clear();
        for (std::size_t row = 0; row < kRows; ++row) {
            int n = std::snprintf(text, sizeof text, "%zu,%.6f", row + 1,
                                  static_cast<double>(row) * 1e-6);
            out.append(text, static_cast<std::size_t>(n));
            for (std::size_t i = 0; i < kChannels; ++i) {
                n = std::snprintf(text, sizeof text, ",%.6f", values[row * kChannels + i]);
                out.append(text, static_cast<std::size_t>(n));
            }
            out += '\n';
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows * kChannels));
}
BENCHMARK(BM_RowsSnprintf);

}  // namespace

BENCHMARK_MAIN();
