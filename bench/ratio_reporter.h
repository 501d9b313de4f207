// Console reporter that also keeps each benchmark's time per iteration, so a benchmark
// program can print ratios against a baseline measured in the same run; and the paired
// measurement of a ratio where two benchmarks one after the other would be too noisy.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

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

// A ratio measured in alternating rounds: each round times `calls` runs of the baseline
// and `calls` runs of the subject, back to back (which goes first alternates), so that both
// meet the same load; the result is each round's baseline time / subject time. On a
// shared, loaded machine a round that was interrupted gives an outlier rather than
// shifting a whole benchmark, and the median stays put.
template <class Baseline, class Subject>
std::vector<double> PairedRatios(Baseline baseline, Subject subject, int rounds, int calls) {
    using Clock = std::chrono::steady_clock;
    const auto time = [calls](auto& run) {
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) run();
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
    std::vector<double> ratios;
    ratios.reserve(static_cast<std::size_t>(rounds));
    for (int r = 0; r < rounds; ++r) {
        double base = 0;
        double subj = 0;
        if (r % 2 == 0) {
            base = time(baseline);
            subj = time(subject);
        } else {
            subj = time(subject);
            base = time(baseline);
        }
        if (subj > 0) ratios.push_back(base / subj);
    }
    return ratios;
}

// Median and quartiles of a set of ratios.
struct RatioSpread {
    double median = 0;
    double low_quartile = 0;
    double high_quartile = 0;
    int count = 0;
};

inline RatioSpread Spread(std::vector<double> ratios) {
    RatioSpread result;
    if (ratios.empty()) return result;
    std::sort(ratios.begin(), ratios.end());
    const auto at = [&](double q) {
        return ratios[static_cast<std::size_t>(q * static_cast<double>(ratios.size() - 1))];
    };
    result.median = at(0.5);
    result.low_quartile = at(0.25);
    result.high_quartile = at(0.75);
    result.count = static_cast<int>(ratios.size());
    return result;
}
