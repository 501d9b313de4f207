#include "calibration/search.h"

#include <array>
#include <cmath>
#include <limits>

namespace qmd::search {

Approximation SuccessiveApproximation(const std::function<Measured(uint8_t)>& measure,
                                      double initial_least) {
    Approximation result;
    result.least = initial_least;
    unsigned v = 128;
    for (int k = 0; k < 8; ++k) {
        const Measured m = measure(static_cast<uint8_t>(v));
        if (m.code != 0) {
            result.code = m.code;
            return result;
        }
        if (m.deviation == 0) {
            result.best = static_cast<uint8_t>(v);
            result.least = 0;
            return result;
        }
        if (std::fabs(m.deviation) < result.least) {
            result.best = static_cast<uint8_t>(v);
            result.least = std::fabs(m.deviation);
        }
        if (m.deviation > 0) v &= ~(1u << (7 - k));
        if (k < 7) v |= 1u << (6 - k);
    }
    return result;
}

BalancePassResult BalancePass(int pass, const std::function<Measured(double)>& measure) {
    BalancePassResult result;
    double x = 0.5;
    for (int i = 2; i < 24; ++i) {
        const Measured m = measure(x);
        if (m.code != 0) {
            result.code = m.code;
            return result;
        }
        if (m.deviation == 0) {
            result.best = x;
            result.least = 0;
            return result;
        }
        if (std::fabs(m.deviation) < result.least) {
            result.least = std::fabs(m.deviation);
            result.best = x;
        }
        const bool raise = pass == 0 ? m.deviation < 0 : m.deviation > 0;
        const double delta = std::ldexp(1.0, -i);
        x = raise ? x + delta : x - delta;
    }
    return result;
}

namespace {

// The history of one worker search: (trial, |deviation|) pairs in the order measured.
template <class T>
struct History {
    std::array<T, 64> trial{};
    std::array<double, 64> deviation{};
    int count = 0;

    void Enter(T value, double d) {
        if (count < 64) {
            trial[static_cast<std::size_t>(count)] = value;
            deviation[static_cast<std::size_t>(count)] = std::fabs(d);
            ++count;
        }
    }

    // The index of the entry with the least deviation (earliest of equals).
    std::size_t Best(const std::function<bool()>& break_requested) const {
        std::size_t chosen = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            if (break_requested()) break;
            if (i == 0 || deviation[i] < deviation[chosen]) chosen = i;
        }
        return chosen;
    }
};

}  // namespace

Settled Bisection(bool rising, const std::function<Measured(uint8_t)>& measure,
                  const std::function<bool()>& break_requested) {
    Settled result;
    History<uint8_t> history;
    int low = 0;
    int high = 255;
    int v = 127;
    result.deviation = std::numeric_limits<double>::infinity();
    for (;;) {
        if (break_requested()) break;
        const Measured m = measure(static_cast<uint8_t>(v));
        ++result.measurements;
        if (m.code != 0) {
            result.code = m.code;
            return result;
        }
        history.Enter(static_cast<uint8_t>(v), m.deviation);
        if (m.deviation == 0) {
            result.deviation = 0;
            break;
        }
        if ((m.deviation > 0) == rising) {
            low = v;
        } else {
            high = v;
        }
        const int next = low + (high - low) / 2;
        if (next == v) {
            const std::size_t best = history.Best(break_requested);
            v = history.trial[best];
            result.deviation = history.deviation[best];
            break;
        }
        v = next;
    }
    result.value = static_cast<uint8_t>(v);
    return result;
}

FactorResult FactorBisection(bool search_b, const std::function<Measured(double)>& measure,
                             const std::function<bool()>& break_requested) {
    FactorResult result;
    History<double> history;
    double x = 0.75;
    double lower = 0.5;
    double upper = 1.0;
    double previous = 0.75;
    result.deviation = std::numeric_limits<double>::infinity();
    for (;;) {
        if (break_requested()) break;
        const Measured m = measure(x);
        ++result.measurements;
        if (m.code != 0) {
            result.code = m.code;
            return result;
        }
        history.Enter(x, m.deviation);
        if (m.deviation == 0) {
            result.deviation = 0;
            break;
        }
        if ((m.deviation > 0) == search_b) {
            lower = x;
        } else {
            upper = x;
        }
        x = lower + (upper - lower) * 0.5;
        if (std::fabs(previous - x) < 1e-7) {
            const std::size_t best = history.Best(break_requested);
            x = history.trial[best];
            result.deviation = history.deviation[best];
            break;
        }
        previous = x;
    }
    result.factor = x;
    return result;
}

Threshold ThresholdSearch(const std::function<Probe(uint8_t)>& probe,
                          const std::function<bool()>& break_requested) {
    Threshold result;
    for (unsigned v = 0; v <= 255; ++v) {
        if (break_requested()) {
            result.record = true;
            result.value = static_cast<uint8_t>(v);
            return result;
        }
        const Probe p = probe(static_cast<uint8_t>(v));
        if (p.code != 0) {
            result.code = p.code;
            return result;
        }
        if (p.responds) {
            result.record = true;
            result.value = static_cast<uint8_t>(v);
            return result;
        }
    }
    result.record = true;  // never responded: the top of the scale
    result.value = 255;
    return result;
}

}  // namespace qmd::search
