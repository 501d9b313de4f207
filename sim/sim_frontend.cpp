// The analog front end: calibration requests, live values, conversion counter and the
// channel codes of the model described in sim_frontend.h.
#include "sim_frontend.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820_protocol/settings.h"
#include "sim_board.h"

namespace qmdsim {
namespace {

namespace bytes = qmd::bytes;
namespace req = qmd::req;
namespace cfg = qmd::cfg;
namespace rec = qmd::rec;

constexpr double kMid = 32767.5;
constexpr double kNominalSwing = kMid - 1535.0;  // H*
constexpr double kSymmetryCounts = 96.0;         // per step of the symmetry potentiometer
constexpr double kSecondLevelSpan = 0.04;
constexpr double kSecondPositionSpan = 0.02;
constexpr double kSymmetryBend = 0.5;
constexpr double kFullScale24 = 0x7FFFFF;

// Potentiometers of each group.
struct GroupPots {
    uint8_t symmetry, first_level, second_level, first_position, second_position;
};
constexpr GroupPots Pots(uint32_t g) {
    namespace pot = qmd::pot;
    return {pot::kSymmetry[g], pot::kFirstLevel[g], pot::kSecondLevel[g], pot::kFirstPosition[g],
            pot::kSecondPosition[g]};
}
constexpr GroupPots kPots[2] = {Pots(0), Pots(1)};

// Each channel's transducer starts with a gain error of its own, within +-0.6 %. Zero
// offsets start at 0: only group 0's zero is balanced by calibration, so a transducer zero
// of its own on a group 1 channel is left for a test to set.
constexpr double kDefaultGainError[16] = {0.004,  -0.003, 0.006,  -0.005, 0.002, -0.006,
                                          0.005,  -0.002, -0.004, 0.003,  -0.006, 0.005,
                                          -0.002, 0.006,  -0.005, 0.002};

// The live values are never freed: an application may read their address at any time,
// also after the board is gone. A removed board's pair is reused by the next board.
std::mutex& PoolMutex() {
    static std::mutex* const m = new std::mutex;
    return *m;
}
std::vector<LiveValues*>& FreePool() {
    static std::vector<LiveValues*>* const pool = new std::vector<LiveValues*>;
    return *pool;
}

LiveValues* TakeLiveValues() {
    LiveValues* v = nullptr;
    {
        std::lock_guard<std::mutex> lock(PoolMutex());
        if (!FreePool().empty()) {
            v = FreePool().back();
            FreePool().pop_back();
        }
    }
    if (v == nullptr) v = new LiveValues{};
    v->value[0].store(0);
    v->value[1].store(0);
    return v;
}

void ReturnLiveValues(LiveValues* v) {
    std::lock_guard<std::mutex> lock(PoolMutex());
    FreePool().push_back(v);
}

int32_t SignedSample(uint32_t v) {
    v &= 0xFFFFFFu;
    return (v & 0x800000u) != 0 ? static_cast<int32_t>(v) - 0x1000000 : static_cast<int32_t>(v);
}

// The transducer type of `selection_type` in the board's own table: its range and the
// gains N1 and N2 of its computed settings. The impedance plays no part in the gains.
bool TypeGains(const Board& board, uint8_t selection_type, double* range, double* n1,
               double* n2) {
    uint8_t record[kTransducerRecordBytes];
    if (!FindTransducerRecord(board.eeprom, selection_type, record)) return false;
    const double r = bytes::GetF64(record + rec::kRange);
    const double sensitivity = bytes::GetF64(record + rec::kSensitivity);
    const double frequency = bytes::GetF64(record + rec::kFrequency);
    const double voltage = bytes::GetF64(record + rec::kPrimaryVoltage);
    uint8_t block[qmd::kConfigurationBlockBytes];
    qmd::ComputeTransducerSettings(voltage, sensitivity, r, 1.0,
                                   qmd::TruncateFrequency(frequency), block);
    // A gain that the computation leaves at 0 or below (no lower limit) counts as 1.
    const auto gain = [&](uint32_t field) {
        const auto g = static_cast<int32_t>(bytes::GetU32(block + cfg::FieldByte(field)));
        return g > 0 ? static_cast<double>(g) : 1.0;
    };
    *range = r;
    *n1 = gain(cfg::kGain1Fields[0]);
    *n2 = gain(cfg::kGain2Fields[0]);
    return true;
}

// The settings that shape one group's response.
struct Settings {
    double symmetry, first_level, second_level, first_position, second_position;
    double amplitude_a, amplitude_b;
};

double Pot(int64_t v) { return static_cast<double>(std::clamp<int64_t>(v, 0, 255)); }

Settings BoardSettings(const Board& board, uint32_t group, const ExcitationTable& table) {
    const GroupPots& p = kPots[group];
    const auto& pots = board.potentiometers;
    return {Pot(pots[p.symmetry]),       Pot(pots[p.first_level]),
            Pot(pots[p.second_level]),   Pot(pots[p.first_position]),
            Pot(pots[p.second_position]), Amplitude(table.a.data(), table.count),
            Amplitude(table.b.data(), table.count)};
}

// The settings of a configuration block: potentiometer p in field p (a 32-bit value, limited
// to 0-255), the waveform's (n - 1) << 16 in its last-entry field and its pairs from the
// first waveform field on.
Settings BlockSettings(const Board& board, uint32_t group, uint8_t selection_type) {
    const auto field = [&](std::size_t k) {
        const uint16_t word = cfg::FieldWord(k);
        const uint16_t lo = board.eeprom[qmd::ee::ConfigurationWord(selection_type, word)];
        const uint16_t hi =
            board.eeprom[qmd::ee::ConfigurationWord(selection_type, static_cast<uint16_t>(word + 1))];
        return static_cast<uint32_t>(lo | (uint32_t{hi} << 16));
    };
    const auto pot = [&](uint8_t p) {
        return Pot(static_cast<int32_t>(field(cfg::kPotentiometers + p)));
    };
    uint32_t a[kExcitationPoints] = {};
    uint32_t b[kExcitationPoints] = {};
    const uint32_t count = std::min<uint32_t>(
        (field(cfg::kLastEntry) >> cfg::kLastEntryShift) + 1, kExcitationPoints);
    for (uint32_t i = 0; i < count; ++i) {
        a[i] = field(cfg::kWaveform + 2 * i);
        b[i] = field(cfg::kWaveform + 2 * i + 1);
    }
    const GroupPots& p = kPots[group];
    return {pot(p.symmetry),       pot(p.first_level),    pot(p.second_level),
            pot(p.first_position), pot(p.second_position), Amplitude(a, count),
            Amplitude(b, count)};
}

// Half swing H and symmetry offset O of level mode.
struct Level {
    double swing, offset;
};

Level LevelOf(const qmdsim_frontend_params& m, uint32_t g, const Settings& s, double n1) {
    const double swing = kNominalSwing * (s.first_level / n1) *
                         (1.0 - kSecondLevelSpan * (s.second_level - 128.0) / 128.0) *
                         (1.0 + m.level_error[g]);
    return {swing, kSymmetryCounts * (s.symmetry - m.symmetry_zero[g])};
}

// The position-mode response y (-1 to 1) of a transducer at relative position `x_rel`
// (position over range, with the transducer's gain error applied).
double Response(const qmdsim_frontend_params& m, uint32_t g, const Settings& s, double n1,
                double n2, double x_rel, double zero_offset) {
    const Level level = LevelOf(m, g, s, n1);
    const double h = level.swing / kNominalSwing;
    const double gain = h * (s.first_position / n2) *
                        (1.0 - kSecondPositionSpan * (s.second_position - 128.0) / 128.0) *
                        (1.0 + m.span_error[g]);
    // Far beyond full scale the response is clipped anyway; the distortion is not applied
    // out there (it would fold an absurd level's response back).
    const double u = std::clamp(
        gain * (x_rel + m.board_zero + zero_offset + 0.5 * (s.amplitude_b - s.amplitude_a)),
        -1.05, 1.05);
    const double compression = std::clamp(h - 1.0, -0.5, 0.5);
    const double bend = kSymmetryBend * level.offset / kNominalSwing;
    const double y = u * (1.0 - compression * u * u) + bend * u * u;
    if (std::isnan(y)) return 0.0;
    return std::clamp(y, -1.0, 1.0);
}

uint32_t Value(double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 65535.0))); }

double RelativePosition(const Board& board, const FrontEnd& fe, uint32_t ch, double range) {
    return (1.0 + fe.gain_error[ch]) * board.channels[ch].position / range;
}

}  // namespace

double Amplitude(const uint32_t* samples, uint32_t count) {
    if (count == 0) return 0.0;
    int32_t lo = SignedSample(samples[0]);
    int32_t hi = lo;
    for (uint32_t i = 1; i < count; ++i) {
        lo = std::min(lo, SignedSample(samples[i]));
        hi = std::max(hi, SignedSample(samples[i]));
    }
    return 0.5 * (static_cast<double>(hi) - lo) / kFullScale24;
}

qmdsim_frontend_params DefaultFrontEndParams() {
    qmdsim_frontend_params p{};
    p.level_error[0] = 0.012;
    p.level_error[1] = -0.009;
    p.span_error[0] = 0.025;
    p.span_error[1] = -0.018;
    p.symmetry_zero[0] = 141;
    p.symmetry_zero[1] = 135;
    p.board_zero = 0.005;
    p.conversions_per_second = 2000;
    return p;
}

FrontEnd::FrontEnd() : params(DefaultFrontEndParams()), live_(TakeLiveValues()) {
    std::copy(std::begin(kDefaultGainError), std::end(kDefaultGainError), gain_error);
    std::array<uint32_t, qmd::kMaxExcitationEntries> a{};
    std::array<uint32_t, qmd::kMaxExcitationEntries> b{};
    table.count = qmd::ComputeExcitationTables(4883, 1.0, 1.0, a, b);
    std::copy_n(a.begin(), table.count, table.a.begin());
    std::copy_n(b.begin(), table.count, table.b.begin());
    rate_ = params.conversions_per_second;
}

FrontEnd::~FrontEnd() { ReturnLiveValues(live_); }

uint64_t FrontEnd::address() const { return reinterpret_cast<uintptr_t>(live_); }

bool FrontEnd::Converting() const {
    return adjustment.mode == QMDSIM_ADJUST_LEVELS || adjustment.mode == QMDSIM_ADJUST_POSITION;
}

uint64_t FrontEnd::Conversions(uint64_t now_us) const {
    if (!(rate_ > 0.0) || now_us <= rate_origin_us_) return rate_base_;
    return rate_base_ +
           static_cast<uint64_t>(static_cast<double>(now_us - rate_origin_us_) * rate_ / 1e6);
}

// Conversions done so far are kept; the new rate applies from now.
void FrontEnd::SetRate(double per_second, uint64_t now_us) {
    rate_base_ = Conversions(now_us);
    rate_origin_us_ = now_us;
    rate_ = std::isfinite(per_second) && per_second > 0.0 ? per_second : 0.0;
    params.conversions_per_second = rate_;
}

std::array<uint32_t, 2> FrontEnd::Compute(const Board& board) const {
    const Adjustment& a = adjustment;
    const uint32_t g = a.channel / 8;
    const Settings s = BoardSettings(board, g, table);
    if (a.mode == QMDSIM_ADJUST_LEVELS) {
        const Level l = LevelOf(params, g, s, a.n1);
        const uint32_t low = Value(kMid - l.swing + l.offset);
        const uint32_t high = Value(kMid + l.swing + l.offset);
        if (a.worker) return {high, low};
        return {low, high};
    }
    if (a.mode == QMDSIM_ADJUST_POSITION) {
        double x_rel = 0.0;
        if (a.range > 0.0) x_rel = RelativePosition(board, *this, a.channel, a.range);
        if (std::isnan(x_rel)) x_rel = 0.0;
        const double y = Response(params, g, s, a.n1, a.n2, x_rel, zero_offset[a.channel]);
        const uint32_t v0 = Value(kMid * (1.0 + y));
        return {v0, 65535u - v0};
    }
    return {live_->value[0].load(), live_->value[1].load()};
}

void FrontEnd::Pump(const Board& board, uint64_t now_us) {
    if (!Converting()) return;
    const uint64_t done = Conversions(now_us);
    if (done == refreshed_) return;
    refreshed_ = done;
    const std::array<uint32_t, 2> v = Compute(board);
    live_->value[0].store(v[0]);
    live_->value[1].store(v[1]);
}

double FrontEnd::ZeroPosition(const Board& board, uint32_t ch) const {
    double range = board.channels[ch].initialised ? board.channels[ch].range : 0.0;
    if (adjustment.mode != QMDSIM_ADJUST_CLOSED && adjustment.channel == ch) {
        range = adjustment.range;
    }
    if (!(range > 0.0)) return std::nan("");
    const double balance = 0.5 * (Amplitude(table.b.data(), table.count) -
                                  Amplitude(table.a.data(), table.count));
    return -range * (params.board_zero + zero_offset[ch] + balance) / (1.0 + gain_error[ch]);
}

uint8_t FrontEnd::Execute(Board& board, uint32_t code, uint8_t* r, uint64_t now_us) {
    switch (code) {
        case req::kReadExcitationTable:
            r[req::excitation_table::kCount] = table.count;
            for (uint32_t i = 0; i < kExcitationPoints; ++i) {
                bytes::PutU32(r + req::excitation_table::kA + 4 * i, table.a[i]);
                bytes::PutU32(r + req::excitation_table::kB + 4 * i, table.b[i]);
            }
            return kStatusOk;
        case req::kWriteExcitationTable: {
            const uint8_t count = r[req::excitation_table::kCount];
            if (count > kExcitationPoints) return kStatusBadTableCount;
            ExcitationTable t;
            t.count = count;
            for (uint32_t i = 0; i < count; ++i) {
                t.a[i] = bytes::GetU32(r + req::excitation_table::kA + 4 * i);
                t.b[i] = bytes::GetU32(r + req::excitation_table::kB + 4 * i);
                if (((t.a[i] | t.b[i]) & 0xFF000000u) != 0) return kStatusBadTableSample;
            }
            table = t;
            return kStatusOk;
        }
        case req::kOpenAdjustment:
        case req::kOpenWorkerAdjustment: {
            namespace layout = req::adjustment;
            if (board.acquisition_running) return kStatusAcquisitionRunning;
            if (r[layout::kChannel] >= kChannelCount) return kStatusBadChannel;
            Adjustment a;
            if (!TypeGains(board, r[layout::kSelectionType], &a.range, &a.n1, &a.n2)) {
                return kStatusNoTransducer;
            }
            a.worker = code == req::kOpenWorkerAdjustment;
            a.mode = a.worker ? QMDSIM_ADJUST_OPENED : QMDSIM_ADJUST_LEVELS;
            a.channel = r[layout::kChannel];
            a.selection_type = r[layout::kSelectionType];
            adjustment = a;
            refreshed_ = UINT64_MAX;  // the next conversion refreshes
            bytes::PutU64(r + layout::kLiveValues, address());
            return kStatusOk;
        }
        case req::kStartWorkerAdjustment:
            if (!adjustment.worker || adjustment.mode == QMDSIM_ADJUST_CLOSED) {
                return kStatusNoAdjustment;
            }
            if (adjustment.mode == QMDSIM_ADJUST_OPENED) adjustment.mode = QMDSIM_ADJUST_LEVELS;
            return kStatusOk;
        case req::kLevelsAdjusted:
        case req::kWorkerLevelsAdjusted:
            if (adjustment.mode == QMDSIM_ADJUST_LEVELS &&
                adjustment.worker == (code == req::kWorkerLevelsAdjusted)) {
                adjustment.mode = QMDSIM_ADJUST_POSITION;
                refreshed_ = UINT64_MAX;
            }
            return kStatusOk;
        case req::kCloseAdjustment:
        case req::kWorkerPositionAdjusted:
            adjustment.mode = QMDSIM_ADJUST_CLOSED;
            return kStatusOk;
        default:  // req::kReadConversionCounter
            r[req::conversion_counter::kUnused] = 0;
            bytes::PutU16(r + req::conversion_counter::kCounter,
                          static_cast<uint16_t>(Conversions(now_us)));
            return kStatusOk;
    }
}

uint16_t MeasuredCode(const Board& board, uint32_t channel) {
    const Channel& c = board.channels[channel];
    const FrontEnd& fe = board.frontend;
    if (!fe.enabled) return c.Code();
    if (!(c.range > 0.0) || std::isnan(c.position)) return 0;
    double range = 0.0, n1 = 1.0, n2 = 1.0;
    if (!TypeGains(board, c.selection_type, &range, &n1, &n2)) return c.Code();
    const uint32_t g = channel / 8;
    const Settings s = BlockSettings(board, g, c.selection_type);
    double x_rel = RelativePosition(board, fe, channel, c.range);
    if (std::isnan(x_rel)) x_rel = 0.0;  // an infinite position over an infinite range
    const double y = Response(fe.params, g, s, n1, n2, x_rel, fe.zero_offset[channel]);
    namespace code = req::read_channel;
    const auto magnitude = static_cast<uint16_t>(std::lround(std::fabs(y) * code::kFullScale));
    return y < 0.0 ? static_cast<uint16_t>(magnitude | code::kSignBit) : magnitude;
}

}  // namespace qmdsim
