// The library's own cost per exported call, against one real ioctl system call (the
// cheapest real driver round trip) measured in the same run.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "QMD5820.h"
#include "core/board_table.h"
#include "qmd5820_backend.h"
#include "qmd5820_protocol/requests.h"
#include "ratio_reporter.h"

namespace {

// A driver that answers every request at once: status 0, nothing else.
int32_t Count(void*) { return 1; }
int32_t Open(void*, uint32_t, uint64_t* handle) {
    *handle = 0x100;
    return 0;
}
int32_t Close(void*, uint64_t) { return 0; }
int32_t Ioctl(void*, uint64_t, uint32_t, uint8_t* buffer, uint32_t, uint32_t out_size) {
    if (out_size > 0) buffer[qmd::req::kStatus] = 0;
    return 1;
}
int32_t Read(void*, uint64_t, uint8_t*, uint32_t, uint32_t* read) {
    *read = 0;
    return 1;
}
void Sleep(void*, uint32_t) {}
int64_t Clock(void*) { return 0; }

const qmd5820_backend kInstant = {sizeof(qmd5820_backend), nullptr, Count, Open, Close,
                                  Ioctl, Read, Sleep, Clock};

void BM_Read8DigitalInputs(benchmark::State& state) {
    qmd::OnProcessAttach();
    qmd5820_install_backend(&kInstant);
    QMD5820_HANDLE handle = 0;
    if (i_QMD5820_OpenBoardViaIndex(0, &handle) != 0) state.SkipWithError("open failed");
    uint8_t port = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(i_QMD5820_Read8DigitalInputs(handle, &port));
    }
    i_QMD5820_CloseBoard(handle);
    qmd5820_install_backend(nullptr);
}
BENCHMARK(BM_Read8DigitalInputs);

void BM_IoctlSystemCall(benchmark::State& state) {
    int fds[2];
    if (pipe(fds) != 0) state.SkipWithError("pipe failed");
    int available = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ioctl(fds[0], FIONREAD, &available));
    }
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_IoctlSystemCall);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double call = reporter.Ns("BM_Read8DigitalInputs");
    const double syscall = reporter.Ns("BM_IoctlSystemCall");
    if (call > 0 && syscall > 0) {
        std::printf("exported call on an instant backend: %.1f ns; one ioctl system call: %.1f ns\n",
                    call, syscall);
        std::printf("library cost / system call = %.1f%% (target below 10%%)\n",
                    100.0 * call / syscall);
    }
    benchmark::Shutdown();
    return 0;
}
