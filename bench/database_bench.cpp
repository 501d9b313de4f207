// Driver requests of one database add and one delete on the factory image, and the time
// each takes on the simulated board, against one EEPROM word read in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "qmd5820sim.h"
#include "ratio_reporter.h"

namespace {

QMD5820_HANDLE OpenFactoryBoard() {
    qmdsim_reset();
    qmd::OnProcessAttach();
    QMD5820_HANDLE handle = 0;
    i_QMD5820_OpenBoardViaIndex(0, &handle);
    return handle;
}

// Requests sent by one call of `operation` (counted through the simulator's trace).
template <class Operation>
uint32_t CountRequests(Operation operation) {
    qmdsim_trace_enable(1u << 20);
    qmdsim_trace_clear();
    operation();
    uint32_t ioctls = 0;
    qmdsim_trace_entry entry{};
    for (uint32_t i = 0; i < qmdsim_trace_count(); ++i) {
        if (qmdsim_trace_get(i, &entry) == 0 && entry.kind == QMDSIM_TRACE_IOCTL) ++ioctls;
    }
    qmdsim_trace_enable(0);
    return ioctls;
}

void BM_AddThenDelete(benchmark::State& state) {
    const QMD5820_HANDLE handle = OpenFactoryBoard();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            i_QMD5820_TransducerDatabaseAdd(handle, 40, 3.0, 40.0, 9765.0, 2.5, 4.0));
        benchmark::DoNotOptimize(i_QMD5820_TransducerDatabaseDelete(handle, 40));
    }
}
BENCHMARK(BM_AddThenDelete);

void BM_SerialNumber(benchmark::State& state) {  // two EEPROM word reads
    const QMD5820_HANDLE handle = OpenFactoryBoard();
    uint32_t serial = 0;
    for (auto _ : state) benchmark::DoNotOptimize(i_QMD5820_GetBoardSerialNumber(handle, &serial));
}
BENCHMARK(BM_SerialNumber);

}  // namespace

int main(int argc, char** argv) {
    const QMD5820_HANDLE handle = OpenFactoryBoard();
    const uint32_t add = CountRequests(
        [&] { i_QMD5820_TransducerDatabaseAdd(handle, 40, 3.0, 40.0, 9765.0, 2.5, 4.0); });
    const uint32_t del = CountRequests([&] { i_QMD5820_TransducerDatabaseDelete(handle, 40); });
    std::fflush(stdout);
    const uint32_t del_default = CountRequests([&] { i_QMD5820_TransducerDatabaseDelete(handle, 1); });
    std::printf("\nrequests: add %u, delete %u, delete of the default type %u\n", add, del,
                del_default);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double pair = reporter.Ns("BM_AddThenDelete");
    const double word = reporter.Ns("BM_SerialNumber") / 2;
    if (pair > 0 && word > 0) {
        std::printf("add + delete: %.1f us on the simulated board (%u requests, %.0f ns each; "
                    "one word read through the API %.0f ns)\n",
                    pair / 1000, add + del, pair / (add + del), word);
    }
    benchmark::Shutdown();
    return 0;
}
