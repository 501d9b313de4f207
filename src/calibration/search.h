// The adjustment searches of both calibration procedures, as pure functions over a
// "measure" callback: the callback sets the trial value on the board, waits, samples and
// returns the deviation; the search only chooses the trial values and the result. Neither
// sends a request of its own, so the trial sequences are testable without a board.
#pragma once

#include <cstdint>
#include <functional>

#include "QMD5820.h"

namespace qmd::search {

// One measurement: code 0 and the signed deviation, or the callback's failure code (the
// search then stops and returns it unchanged).
struct Measured {
    int16_t code = 0;
    double deviation = 0;
};

// ---- step-by-step procedure ----------------------------------------------------------------

struct Approximation {
    int16_t code = 0;       // 0, or the failing measurement's code
    uint8_t best = 128;     // the trial with the least |deviation| (earliest of equals)
    double least = 0;       // that least |deviation|
};

// 8-bit successive approximation from the highest bit down: 128, then 64 or 192, ...; a
// positive deviation clears the bit just tried. Stops at a deviation of exactly 0. The
// value after the eighth decision is not measured; `least` starts at `initial_least`.
Approximation SuccessiveApproximation(const std::function<Measured(uint8_t)>& measure,
                                      double initial_least);

struct BalancePassResult {
    int16_t code = 0;
    double best = 0.5;
    double least = 1e99;
};

// One pass of the excitation balance: x from 0.5 in steps of 1/4 down to 1/2^23 (22
// measurements). Pass 0 raises x on a negative reading, pass 1 on a positive one. Stops
// at a reading of exactly 0.
BalancePassResult BalancePass(int pass, const std::function<Measured(double)>& measure);

// Acceptance limits of the searches (both procedures; the public header defines them).
inline constexpr double kLevelLimit = QMD5820_LEVEL_LIMIT;               // steps 1, 2 (raw units)
inline constexpr double kSecondLevelLimit = QMD5820_SECOND_LEVEL_LIMIT;  // step 3
inline constexpr double kBalanceLimit = QMD5820_BALANCE_LIMIT;           // step 4 (metric units)
inline constexpr double kPositionLimit = QMD5820_POSITION_LIMIT;         // step 6 (metric units)

// ---- worker procedure ---------------------------------------------------------------------

struct Settled {
    int16_t code = 0;
    uint8_t value = 0;
    int measurements = 0;
    // |deviation| measured with `value`; infinite when a break ended the search before the
    // value was measured.
    double deviation = 0;
};

// Bisection of a potentiometer over 0..255 from 127 with a history of its measurements.
// Rising: a positive deviation raises the lower bound; falling: it lowers the upper bound.
// Ends at a deviation of 0, when the interval no longer moves (then the history's entry
// with the least |deviation| wins, earliest of equals), or at a break request (then with
// the current trial value; a break found while walking the history keeps the choice so far).
Settled Bisection(bool rising, const std::function<Measured(uint8_t)>& measure,
                  const std::function<bool()>& break_requested);

struct FactorResult {
    int16_t code = 0;
    double factor = 0.75;
    int measurements = 0;
    double deviation = 0;  // as for Settled
};

// Bisection of an excitation factor over [0.5, 1.0] from 0.75. The deviation is
// 32767 - value 0; for factor B a positive deviation raises the lower bound, for factor A
// it lowers the upper bound. Ends at a deviation of 0, at a break request (current
// factor), or when the factor moves by less than 1e-7 (best history entry).
FactorResult FactorBisection(bool search_b, const std::function<Measured(double)>& measure,
                             const std::function<bool()>& break_requested);

// One probe of the line test: code 0 and whether the detection responded.
struct Probe {
    int16_t code = 0;
    bool responds = false;
};

struct Threshold {
    int16_t code = 0;      // 0, or the failing probe's code
    bool record = false;   // a value is to be recorded
    uint8_t value = 0;
};

// Trial values 0, 1, ..., 255, each once: the first that makes the detection respond is
// recorded; a break request ends the search and records the value about to be tried; a
// detection that never responds records 255.
Threshold ThresholdSearch(const std::function<Probe(uint8_t)>& probe,
                          const std::function<bool()>& break_requested);

}  // namespace qmd::search
