// The board's analog front end as calibration sees it: the live values of a channel under
// adjustment with their conversion counter, the stored excitation table, the level and
// position modes of an adjustment, and (when switched on) channel codes that carry the
// errors of the front end and of the transducer, corrected by the configuration block of
// the channel's transducer type.
//
// The model, per group g (channels 0-7: g = 0, 8-15: g = 1), with mid = 32767.5 and the
// nominal half swing H* = mid - 1535:
//
//   level mode      H = H* (L1/N1) (1 - 0.04 (L0 - 128)/128) (1 + e_lev[g])
//                   O = 96 (S - s0[g])
//                   interactive adjustment: values (mid - H + O, mid + H + O);
//                   worker adjustment: the same two values swapped
//   position mode   u = (H/H*) (G1/N2) (1 - 0.02 (G0 - 128)/128) (1 + e_span[g])
//                       ((1 + eps_ch) x/R + z_board + z_ch + 0.5 (B - A))
//                   y = clamp(u (1 - (H/H* - 1) u^2) + 0.5 (O/H*) u^2, -1, 1)
//                   value 0 = mid (1 + y), value 1 = 65535 - value 0
//
// S, L1, L0, G1, G0 are the group's symmetry, first and second level, first and second
// position potentiometers (13/1/0/7/6 for group 0, 14/9/8/3/2 for group 1); N1 and N2 are
// the gains G1 and G2 that the settings computation gives for the transducer type (fields
// 1 and 3 of its computed block); A and B the amplitudes of the two excitation arrays
// (peak over 0x7FFFFF); x the transducer's position and R its range. The two last terms of
// y are the front end's distortion: an unbalanced symmetry bends the response evenly, a
// wrong level compresses it, so an adjustment skipped or done on the wrong potentiometer
// leaves errors away from the calibration points that no gain or zero can take out. The
// second position potentiometer spans +-2 % (one step 0.016 %), fine enough for both
// procedures to end within 0.015 % of range.
//
// A channel read with the front end on evaluates position mode with the values stored in
// the configuration block of the channel's selection type (potentiometer fields and the
// excitation waveform), read from the EEPROM at the moment of the read, and answers y as a
// sign-and-magnitude code. With the front end off (the default) channel codes are the ideal
// ones; the calibration requests are answered by the model either way.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"

namespace qmdsim {

struct Board;

inline constexpr uint32_t kExcitationPoints = qmd::req::excitation_table::kPoints;
inline constexpr uint8_t kStatusBadTableCount = 2;     // excitation table count above 64
inline constexpr uint8_t kStatusBadTableSample = 3;    // a sample with its upper 8 bits set
inline constexpr uint8_t kStatusNoAdjustment = 3;      // worker start without a worker open

// The two live values, handed out by address. Each is lock-free and laid out as a
// uint32_t, so the application reads them as plain 32-bit words while the board updates
// them from another thread.
struct LiveValues {
    std::atomic<uint32_t> value[2];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(LiveValues) == 8, "two 32-bit words");

// The board's excitation arrays: `count` points of A and B, 24-bit samples in 32 bits.
struct ExcitationTable {
    uint8_t count = 0;
    std::array<uint32_t, kExcitationPoints> a{};
    std::array<uint32_t, kExcitationPoints> b{};
};

// Amplitude of the first `count` samples of an array (half the peak-to-peak of their
// signed 24-bit values) over 0x7FFFFF.
double Amplitude(const uint32_t* samples, uint32_t count);

struct Adjustment {
    uint8_t mode = QMDSIM_ADJUST_CLOSED;
    bool worker = false;  // opened by the worker's request (values swapped)
    uint8_t channel = 0;
    uint8_t selection_type = 0;
    double range = 0.0;
    double n1 = 1.0;  // the type's computed gains
    double n2 = 1.0;
};

class FrontEnd {
  public:
    FrontEnd();
    ~FrontEnd();
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;

    // Executes a calibration request (0x900020c8 to 0x900020ec); returns the status.
    uint8_t Execute(Board& board, uint32_t code, uint8_t* r, uint64_t now_us);
    // Refreshes the live values when conversions happened since the last refresh.
    void Pump(const Board& board, uint64_t now_us);
    // An adjustment is converting: the clock must be watched to keep the values fresh.
    bool Converting() const;
    uint64_t Conversions(uint64_t now_us) const;
    void SetRate(double per_second, uint64_t now_us);
    // Both live values for the present state (what the next refresh stores).
    std::array<uint32_t, 2> Compute(const Board& board) const;
    // The position of channel `ch` at which its position-mode value 0 is mid.
    double ZeroPosition(const Board& board, uint32_t ch) const;

    LiveValues& live() const { return *live_; }
    uint64_t address() const;

    bool enabled = false;
    qmdsim_frontend_params params;
    double gain_error[16] = {};  // the transducer's error on each channel
    double zero_offset[16] = {};
    ExcitationTable table;
    Adjustment adjustment;

  private:
    LiveValues* live_;
    double rate_ = 0.0;
    uint64_t rate_origin_us_ = 0;
    uint64_t rate_base_ = 0;  // conversions before rate_origin_us_
    uint64_t refreshed_ = UINT64_MAX;
};

// The code a read of `channel` answers: the ideal code, or with the front end on the
// front end's response under the configuration block of the channel's transducer type.
uint16_t MeasuredCode(const Board& board, uint32_t channel);

// The model's defaults (the values qmdsim_frontend_default_params gives).
qmdsim_frontend_params DefaultFrontEndParams();

}  // namespace qmdsim
