// Console reporter that also keeps each benchmark's time per iteration, so a benchmark
// program can print ratios against a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                // Adjusted times are in the run's unit; the multiplier is units per second.
                ns_per_iteration_[run.benchmark_name()] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Nanoseconds per iteration of a benchmark that ran, or a negative value.
    double Ns(const std::string& name) const {
        const auto it = ns_per_iteration_.find(name);
        return it == ns_per_iteration_.end() ? -1.0 : it->second;
    }

private:
    std::map<std::string, double> ns_per_iteration_;
};
