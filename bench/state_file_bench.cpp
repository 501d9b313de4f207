// What the shared state file costs a request: the state lock taken and the board's slot
// checked (and written, for a change) around every request, against the same request on
// boards that keep nothing, measured in alternating rounds of the same run.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"
#include "ratio_reporter.h"

namespace {

namespace req = qmd::req;
using Clock = std::chrono::steady_clock;

const qmd5820_backend& B() { return *qmdsim_backend(); }

double TimeRequests(uint64_t handle, uint32_t code, int calls, bool change) {
    uint8_t record[3] = {};
    const auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) {
        record[0] = 0;
        record[1] = 0x01;
        record[2] = change ? static_cast<uint8_t>(i & 1) : 0;
        const uint32_t size = change ? 3 : 2;
        B().device_io_control(B().context, handle, code, record, size, size);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Median ratio of the request time with the state file to the time without.
RatioSpread Measure(const std::string& path, uint32_t code, bool change) {
    constexpr int kRounds = 21;
    constexpr int kCalls = 20000;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        double with = 0;
        double without = 0;
        for (int half = 0; half < 2; ++half) {
            const bool attached = (round + half) % 2 == 0;
            qmdsim_reset();
            if (attached && qmdsim_state_attach(path.c_str()) != 0) return {};
            uint64_t handle = 0;
            B().open_board(B().context, 0, &handle);
            (attached ? with : without) = TimeRequests(handle, code, kCalls, change);
            B().close_handle(B().context, handle);
        }
        if (without > 0) ratios.push_back(with / without);
    }
    qmdsim_reset();
    return Spread(ratios);
}

}  // namespace

int main() {
    const std::string path =
        (std::filesystem::temp_directory_path() / "qmd5820-state-bench" / "sim-state").string();
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    struct Case {
        const char* name;
        uint32_t code;
        bool change;
    };
    const Case cases[] = {{"read outputs", req::kReadDigitalOutputs, false},
                          {"switch an output", req::kWriteDigitalOutputs, true}};
    for (const Case& c : cases) {
        const RatioSpread s = Measure(path, c.code, c.change);
        std::printf("%-18s with the state file / without: median %.2f (quartiles %.2f-%.2f, "
                    "%d rounds)\n",
                    c.name, s.median, s.low_quartile, s.high_quartile, s.count);
    }
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    return 0;
}
