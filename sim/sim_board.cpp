// The simulated board's side of every request.
#include "sim_board.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {
namespace {

namespace bytes = qmd::bytes;

// The request codes, sizes and record layouts are the board's own table
// (qmd5820_protocol/requests.h). The calibration adjustments and excitation tables are the
// front end's (sim_frontend.cpp).
namespace req = qmd::req;
namespace ee = qmd::ee;
namespace rec = qmd::rec;

static_assert(QMDSIM_EEPROM_WORDS == ee::kWords);
static_assert(QMDSIM_IDENTIFIER_BYTES == req::board_information::kIdentifierBytes);
constexpr uint32_t kLastEepromByteAddress =
    req::eeprom_word::ByteAddress(QMDSIM_EEPROM_WORDS - 1);  // 131070

constexpr uint64_t kTickUs[3] = {1, 1000, 1000000};  // time bases 0, 1, 2

// Logic load commands.
constexpr uint32_t kLogicBegin = 1;
constexpr uint32_t kLogicEnd = 2;
constexpr uint32_t kLogicRewind = 3;

void BoardInformation(const Board& board, uint8_t* r) {
    namespace info = req::board_information;
    std::memset(r, 0, qmd::RecordSize(req::kBoardInformation));
    for (uint32_t i = 0; i < info::kValueCount; ++i) {
        bytes::PutU32(r + info::kValues + 4 * i, board.config.info_values[i]);
    }
    bytes::PutU8(r + info::kValue8, board.config.info_value8);
    std::memcpy(r + info::kIdentifier, board.config.identifier, info::kIdentifierBytes);
}

// EEPROM word requests: the byte address of the word and its value.
uint8_t EepromRequest(Board& board, bool write, uint8_t* r) {
    namespace word_request = req::eeprom_word;
    const uint32_t address = bytes::GetU32(r + word_request::kByteAddress);
    if ((address & 1u) != 0 || address > kLastEepromByteAddress) return kStatusBadEepromAddress;
    uint16_t& word = board.eeprom[address / 2];
    if (write) {
        word = static_cast<uint16_t>(bytes::GetU32(r + word_request::kValue));
        board.written_words.push_back(static_cast<uint16_t>(address / 2));
    } else {
        bytes::PutU32(r + word_request::kValue, word);
    }
    return kStatusOk;
}

uint8_t TimerRequest(Board& board, uint32_t code, uint8_t* r, uint64_t now_us) {
    Timer& t = board.timer;
    switch (code) {
        case req::kStartTimer: {
            namespace start = req::timer_start;
            const uint8_t base = r[start::kTimeBase];
            const uint8_t interrupts = r[start::kInterrupts];
            if (base > 2) return kStatusBadTimeBase;
            if (interrupts > 1) return kStatusBadInterruptSwitch;
            t.Start(base, bytes::GetU16(r + start::kReload), interrupts == 1, now_us);
            return kStatusOk;
        }
        case req::kStopTimer:
            t.Stop(now_us);
            return kStatusOk;
        case req::kTriggerTimer:
            t.Trigger(now_us);
            return kStatusOk;
        case req::kReadTimerStatus:
            // Running, interrupts on, and the expirations since the start.
            r[req::timer_status::kByte1] = t.running ? 1 : 0;
            r[req::timer_status::kByte2] = t.interrupt_enabled ? 1 : 0;
            r[req::timer_status::kUnused] = 0;
            bytes::PutU16(r + req::timer_status::kWord, t.Expirations(now_us));
            return kStatusOk;
        default:  // req::kReadTimerValue
            r[req::timer_value::kUnused] = 0;
            bytes::PutU16(r + req::timer_value::kCount, t.Count(now_us));
            return kStatusOk;
    }
}

uint8_t LogicRequest(Board& board, uint32_t code, uint8_t* r) {
    LogicLoad& l = board.logic;
    switch (code) {
        case req::kLoadLogicCommand: {
            const uint32_t command = bytes::GetU32(r + req::logic_load::kWord);
            l.last_command = command;
            if (command == kLogicBegin) {
                l.words.clear();
                l.read_position = 0;
                l.open = true;
                l.completed = false;
            } else if (command == kLogicEnd) {
                if (l.open) l.completed = true;
                l.open = false;
            } else if (command == kLogicRewind) {
                l.read_position = 0;
            } else {
                return kStatusBadLogicCommand;
            }
            return kStatusOk;
        }
        case req::kLoadLogicWrite:
            if (!l.open) return kStatusLogicNotOpen;
            if (l.words.size() >= kLogicCapacity) return kStatusLogicFull;
            l.words.push_back(bytes::GetU32(r + req::logic_load::kWord));
            return kStatusOk;
        case req::kLoadLogicRead:
            if (l.read_position >= l.words.size()) return kStatusLogicEmpty;
            bytes::PutU32(r + req::logic_load::kWord, l.words[l.read_position++]);
            return kStatusOk;
        default:  // req::kLoadLogicStatus
            r[req::logic_load::kLoadStatus] = l.Status();
            return kStatusOk;
    }
}

// ---- transducer channels ---------------------------------------------------------------------

// The EEPROM words the board reads to find a transducer record (the same walk as the
// library's: directory, transducer functionality, header and input blocks, table).
constexpr uint32_t kEepromWords = QMDSIM_EEPROM_WORDS;
constexpr uint32_t kRecordWords = ee::kRecordWords;
// A table holds at most 14 records; a count far beyond that is not walked to its end.
constexpr uint32_t kMaxRecordsWalked = ee::kMaxTransducers * 4;

// Word address of the transducer table, found like the library finds it: the first
// directory entry of kind 2 gives the transducer functionality B; from B + 2 the walk steps
// over the header block and the input blocks (as many as the number of inputs when bit 0
// of the header configuration is set, else one) by their size words. The EEPROM may hold
// anything: a block whose size word gives no size, or a step that would run past the last
// word, ends the search with nothing found.
bool FindTransducerTable(const std::vector<uint16_t>& e, uint32_t* table) {
    const uint32_t functionalities = e[ee::kFunctionalityCount] & 0xFFu;
    for (uint16_t i = 0; i < functionalities; ++i) {
        if (!ee::IsTransducerKind(e[ee::KindWord(i)])) continue;
        const uint32_t b = ee::FunctionalityWord(e[ee::OffsetWord(i)]);  // at most 32895
        const uint32_t blocks = (e[b + ee::kHeaderConfiguration] & ee::kOneBlockPerInput) != 0
                                    ? e[b + ee::kNumberOfInputs]
                                    : 1u;
        uint32_t a = b + ee::kFirstBlock;
        for (uint32_t k = 0; k <= blocks; ++k) {
            const uint32_t words = ee::SizeInWords(e[a]);
            if (words == 0 || a + words >= kEepromWords) return false;
            a += words;
        }
        *table = a;
        return true;
    }
    return false;
}

// Channel initialisation: the channel, the selection type and the dividers. A failed
// initialisation leaves the channel as it was.
uint8_t InitChannel(Board& board, const uint8_t* r) {
    namespace init = req::init_channel;
    if (board.acquisition_running) return kStatusAcquisitionRunning;
    if (r[init::kChannel] >= kChannelCount) return kStatusBadChannel;
    // The range of the first record of the selection type.
    uint8_t record[kTransducerRecordBytes];
    if (!FindTransducerRecord(board.eeprom, r[init::kSelectionType], record)) {
        return kStatusNoTransducer;
    }
    Channel& c = board.channels[r[init::kChannel]];
    c.initialised = true;
    c.selection_type = r[init::kSelectionType];
    c.divider1 = r[init::kDivider1];
    c.divider2 = r[init::kDivider2];
    c.range = bytes::GetF64(record + rec::kRange);
    return kStatusOk;
}

// Channel read: the channel in, the code out (written only on success).
uint8_t ReadChannel(const Board& board, uint8_t* r) {
    namespace read = req::read_channel;
    if (board.acquisition_running) return kStatusAcquisitionRunning;
    if (r[read::kChannel] >= kChannelCount) return kStatusBadChannel;
    const Channel& c = board.channels[r[read::kChannel]];
    if (!c.initialised) return kStatusNotInitialised;
    bytes::PutU16(r + read::kCode, MeasuredCode(board, r[read::kChannel]));
    return kStatusOk;
}

// ---- acquisition ---------------------------------------------------------------------------

namespace autoref = req::auto_refresh;
namespace seq = req::sequence;

constexpr uint8_t kMinDivisionFactor = 5;

bool Usable(const Board& board, uint8_t channel) {
    return channel < kChannelCount && board.channels[channel].initialised;
}

// Replaces whatever runs by a new acquisition of `mode` over the listed channels.
Acquisition& BeginAcquisition(Board& board, uint8_t mode, uint8_t count, const uint8_t* channels,
                              const uint8_t* indexes) {
    board.StopAcquisition();
    Acquisition& a = board.acquisition;
    a = Acquisition{};
    a.mode = mode;
    a.channel_count = count;
    std::memcpy(a.channels, channels, req::kListEntries);
    std::memcpy(a.transducer_indexes, indexes, req::kListEntries);
    board.acquisition_running = true;
    return a;
}

// Auto-refresh start: the count and the listed channels and transducer indexes in, the
// area's address out. A start replaces whatever acquisition ran; a refused one changes
// nothing.
uint8_t StartAutoRefresh(Board& board, uint8_t* r) {
    const uint8_t count = r[autoref::kCount];
    if (count == 0 || count > kChannelCount) return kStatusBadChannelCount;
    for (uint32_t i = 0; i < count; ++i) {
        if (!Usable(board, r[autoref::kChannels + i])) return kStatusBadListedChannel;
    }
    BeginAcquisition(board, kModeAutoRefresh, count, r + autoref::kChannels, r + autoref::kIndexes);
    board.auto_refresh.fill(0);
    board.RefreshAutoArea();
    board.auto_refresh_mapped = true;
    bytes::PutU64(r + autoref::kArea, reinterpret_cast<uintptr_t>(board.auto_refresh.data()));
    return kStatusOk;
}

bool OneShot(uint8_t trigger_mode) { return trigger_mode == kSoftTriggerOneShot; }

// Sequence start; the checks in the board's order of precedence.
uint8_t StartSequence(Board& board, const uint8_t* r, uint64_t now_us) {
    const uint16_t per_interrupt = bytes::GetU16(r + seq::kPerInterrupt);
    const uint8_t size = r[seq::kSize];
    const uint8_t soft = r[seq::kSoftTrigger];
    const uint8_t external = r[seq::kExternTrigger];
    if (per_interrupt == 0) return kStatusBadSequencesPerIrq;
    if (size == 0 || size > kChannelCount) return kStatusBadSequenceSize;
    if (soft != kSoftTriggerAtOnce && soft != kSoftTriggerStart && soft != kSoftTriggerOneShot) {
        return kStatusBadSoftTrigger;
    }
    for (uint32_t i = 0; i < size; ++i) {
        if (!Usable(board, r[seq::kChannels + i])) return kStatusBadSequenceChannel;
    }
    if ((uint32_t{size} * per_interrupt) % 2 != 0) return kStatusOddSequenceWords;
    if (OneShot(soft) != OneShot(external)) return kStatusTriggerKindsDiffer;

    Acquisition& a =
        BeginAcquisition(board, kModeSequence, size, r + seq::kChannels, r + seq::kIndexes);
    a.sequences_before_interrupt = per_interrupt;
    a.soft_trigger = soft;
    a.extern_trigger = external;
    a.parameters[0] = bytes::GetU32(r + seq::kParameter1);
    a.parameters[1] = bytes::GetU32(r + seq::kParameter2);
    a.parameters[2] = bytes::GetU32(r + seq::kParameter3);
    a.producing = soft == kSoftTriggerAtOnce;
    a.origin_us = now_us;
    board.stream.Clear();
    return kStatusOk;
}

// Software trigger. Mode 1 starts acquiring at the first; mode 5 adds one burst of
// `sequences before interrupt` sequences per trigger (behind a burst still running); in
// mode 0, and without a sequence acquisition, a trigger changes nothing.
void TriggerAcquisition(Board& board, uint64_t now_us) {
    Acquisition& a = board.acquisition;
    if (a.mode != kModeSequence) return;
    ++a.triggers;
    if (a.soft_trigger == kSoftTriggerAtOnce) return;
    if (a.soft_trigger == kSoftTriggerOneShot) a.burst_left += a.sequences_before_interrupt;
    if (!a.producing) {
        a.producing = true;
        a.origin_us = now_us;
        a.since_origin = 0;
    }
}

// ---- potentiometers and primary line --------------------------------------------------------

// Potentiometer requests: the number, and the value written or read.
uint8_t PotentiometerRequest(Board& board, bool write, uint8_t* r) {
    namespace layout = req::potentiometer;
    const uint8_t number = r[layout::kNumber];
    if (number >= kPotentiometerCount) return kStatusBadPotentiometer;
    if (write) {
        board.potentiometers[number] = r[layout::kValue];
    } else {
        r[layout::kValue] = board.potentiometers[number];
    }
    return kStatusOk;
}

uint8_t PrimaryLineRequest(Board& board, uint32_t code, uint8_t* r) {
    namespace layout = req::primary_line;
    PrimaryLine& l = board.line;
    switch (code) {
        case req::kSetPrimaryLineTest:
            if (r[layout::kSwitch] > 1) return kStatusBadLineSwitch;
            if (r[layout::kSwitch] == 1 && board.acquisition_running) {
                return kStatusAcquisitionRunning;
            }
            l.test_on = r[layout::kSwitch] == 1;
            if (l.test_on) ++l.tests_switched_on;
            return kStatusOk;
        case req::kReadPrimaryLineStatus:
            r[layout::kLineStatus] = board.LineStatus();
            return kStatusOk;
        case req::kRearmPrimaryLine:
            ++l.rearms;
            l.latched = l.persistent;
            return kStatusOk;
        default:  // req::kShortCircuitInterrupts
            if (r[layout::kSwitch] > 1) return kStatusBadLineSwitch;
            l.interrupts_enabled = r[layout::kSwitch] == 1;
            return kStatusOk;
    }
}

}  // namespace

// ---- interrupts -------------------------------------------------------------------------------

void Interrupts::Queue(const qmdsim_interrupt& record) {
    if (queue.size() >= kInterruptQueueCapacity) {
        ++dropped;
        return;
    }
    queue.push_back(record);
    signal_pending = true;
}

void Interrupts::ReadRecord(uint8_t* r) {
    namespace layout = req::interrupt_record;
    std::memset(r, 0, qmd::RecordSize(req::kReadInterruptRecord));
    if (queue.empty()) {
        r[layout::kEmpty] = 1;
        return;
    }
    const qmdsim_interrupt& q = queue.front();
    bytes::PutU32(r + layout::kValue1, q.value1);
    bytes::PutU32(r + layout::kValue2, q.value2);
    for (uint32_t i = 0; i < layout::kDataValues; ++i) {
        bytes::PutU32(r + layout::kData + 4 * i, q.data[i]);
    }
    bytes::PutU32(r + layout::kDataCount, q.data_count);
    r[layout::kInfo] = q.info;
    queue.pop_front();
}

// ---- stream ---------------------------------------------------------------------------------

std::size_t Stream::Read(uint8_t* out, std::size_t n) {
    n = std::min(n, Waiting());
    if (n > 0) std::memcpy(out, bytes.data() + head, n);
    head += n;
    if (head == bytes.size()) {
        Clear();
    } else if (head >= bytes.size() / 2) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return n;
}

// ---- channel ------------------------------------------------------------------------------

// Full scale (magnitude 32767) at the range; bit 15 set for a position below zero, so a
// negative position too small to give a magnitude answers 0x8000 while -0.0 answers 0. A
// range that is not above zero (or not a number) and a position that is not a number give 0.
uint16_t Channel::Code() const {
    namespace code = req::read_channel;
    constexpr double kFullScale = code::kFullScale;
    if (!(range > 0.0) || std::isnan(position)) return 0;
    const double scaled = std::fabs(position) / range * kFullScale;
    if (std::isnan(scaled)) return 0;  // an infinite position over an infinite range
    const auto magnitude = static_cast<uint16_t>(std::min(std::round(scaled), kFullScale));
    return position < 0.0 ? static_cast<uint16_t>(magnitude | code::kSignBit) : magnitude;
}

// ---- timer ----------------------------------------------------------------------------------

uint64_t Timer::Ticks(uint64_t now_us) const {
    return now_us > origin_us ? (now_us - origin_us) / kTickUs[time_base] : 0;
}

uint16_t Timer::Count(uint64_t now_us) const {
    if (!running) return held_count;
    const uint64_t period = uint64_t{reload} + 1;
    return static_cast<uint16_t>(reload - Ticks(now_us) % period);
}

uint64_t Timer::TotalExpirations(uint64_t now_us) const {
    if (!running) return held_expirations;
    const uint64_t period = uint64_t{reload} + 1;
    return expirations_base + Ticks(now_us) / period;
}

uint16_t Timer::Expirations(uint64_t now_us) const {
    return static_cast<uint16_t>(TotalExpirations(now_us));
}

void Timer::Start(uint8_t base, uint16_t reload_value, bool interrupts, uint64_t now_us) {
    running = true;
    time_base = base;
    reload = reload_value;
    interrupt_enabled = interrupts;
    origin_us = now_us;
    expirations_base = 0;
    interrupted = 0;
}

void Timer::Stop(uint64_t now_us) {
    if (!running) return;
    held_count = Count(now_us);
    held_expirations = TotalExpirations(now_us);
    running = false;
}

// Reloads the count; a running timer keeps running from the reload value.
void Timer::Trigger(uint64_t now_us) {
    if (running) {
        expirations_base = TotalExpirations(now_us);
        origin_us = now_us;
    } else {
        held_count = reload;
    }
}

// ---- logic load -----------------------------------------------------------------------------

uint8_t LogicLoad::Status() const {
    return static_cast<uint8_t>((open ? 1u : 0u) | (completed ? 2u : 0u) |
                                (read_position >= words.size() ? 4u : 0u));
}

// ---- board ----------------------------------------------------------------------------------

Board::Board(const qmdsim_board_config& board_config)
    : config(board_config), eeprom(QMDSIM_EEPROM_WORDS) {
    BuildFactoryImage(eeprom.data(), config.serial_number, config.hardware_revision);
    potentiometers.fill(kPotentiometerDefault);
}

// Within one pump the timer's records are queued before the sequence records.
void Board::Pump(uint64_t now_us) {
    PumpTimer(now_us);
    PumpSequence(now_us);
    RefreshAutoArea();
    frontend.Pump(*this, now_us);
}

bool Board::TimeDriven() const {
    return (timer.running && timer.interrupt_enabled) ||
           (acquisition.mode == kModeSequence && acquisition.producing) || frontend.Converting();
}

// One record per expiration since the last pump; when more expired than the queue can
// take, the rest are counted as dropped without being built, so a timer of 1 us costs no
// more per pump than the queue holds.
void Board::PumpTimer(uint64_t now_us) {
    if (!timer.running || !timer.interrupt_enabled) return;
    const uint64_t total = timer.TotalExpirations(now_us);
    if (total <= timer.interrupted) return;
    const uint64_t expired = total - timer.interrupted;
    const uint64_t queued = std::min<uint64_t>(expired, interrupts.Space());
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_TIMER;
    record.value2 = timer.reload;
    for (uint64_t i = 1; i <= queued; ++i) {
        record.value1 = static_cast<uint32_t>(timer.interrupted + i);
        interrupts.Queue(record);
    }
    interrupts.dropped += expired - queued;
    timer.interrupted = total;
}

void Board::PumpSequence(uint64_t now_us) {
    Acquisition& a = acquisition;
    if (a.mode != kModeSequence || !a.producing || now_us <= a.origin_us) return;
    const uint64_t completed = (now_us - a.origin_us) / sequence_period_us;
    if (completed <= a.since_origin) return;
    uint64_t n = completed - a.since_origin;
    if (a.soft_trigger == kSoftTriggerOneShot) {
        n = std::min(n, a.burst_left);
        a.burst_left -= n;
        if (a.burst_left == 0) a.producing = false;
    }
    a.since_origin += n;
    AcquireSequences(n);
}

// `n` sequences at the channels' present positions: their codes appended to the stream
// (as far as it has room) and a record after every `sequences before interrupt`
// sequences, with value1 the sequences so far, value2 the bytes then waiting and the data
// the first codes of the block that ends there. Closed form: the work is bounded by the
// stream and queue capacities, however much time passed.
void Board::AcquireSequences(uint64_t n) {
    Acquisition& a = acquisition;
    if (n == 0) return;
    const uint32_t size = a.channel_count;
    const std::size_t sequence_bytes = 2u * size;
    uint16_t codes[kChannelCount] = {};
    uint8_t image[2 * kChannelCount] = {};
    for (uint32_t i = 0; i < size; ++i) {
        codes[i] = MeasuredCode(*this, a.channels[i]);
        bytes::PutU16(image + 2 * i, codes[i]);
    }
    const std::size_t waiting = stream.Waiting();
    const uint64_t room =
        waiting >= kStreamCapacity ? 0 : (kStreamCapacity - waiting) / sequence_bytes;
    const uint64_t stored = std::min(n, room);
    for (uint64_t k = 0; k < stored; ++k) stream.Append(image, sequence_bytes);

    const uint64_t per = a.sequences_before_interrupt;
    const uint64_t done = a.sequences_done;
    a.sequences_done += n;
    const uint64_t first = done / per + 1;  // interrupts numbered by their block
    const uint64_t last = a.sequences_done / per;
    if (first > last) return;
    const uint64_t raised = last - first + 1;
    const uint64_t queued = std::min<uint64_t>(raised, interrupts.Space());
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_SEQUENCE;
    record.data_count = static_cast<uint32_t>(std::min<uint64_t>(32, per * size));
    for (uint32_t j = 0; j < record.data_count; ++j) record.data[j] = codes[j % size];
    for (uint64_t k = first; k < first + queued; ++k) {
        const uint64_t so_far = k * per;
        record.value1 = static_cast<uint32_t>(so_far);
        record.value2 =
            static_cast<uint32_t>(waiting + std::min(so_far - done, stored) * sequence_bytes);
        interrupts.Queue(record);
    }
    interrupts.dropped += raised - queued;
}

void Board::RefreshAutoArea() {
    const Acquisition& a = acquisition;
    if (a.mode != kModeAutoRefresh) return;
    for (uint32_t i = 0; i < a.channel_count; ++i) {
        const uint16_t code = MeasuredCode(*this, a.channels[i]);
        uint8_t* entry = auto_refresh.data() + 2 * i;
        if (bytes::GetU16(entry) != code) bytes::PutU16(entry, code);
    }
}

// The configuration and counts stay for inspection; the stream keeps its waiting bytes.
void Board::StopAcquisition() {
    acquisition.mode = kModeNone;
    acquisition.producing = false;
    acquisition.burst_left = 0;
    acquisition_running = false;
}

// A new period applies from now: a running acquisition restarts its sequence timing.
void Board::SetSequencePeriod(uint32_t period_us, uint64_t now_us) {
    sequence_period_us = std::max<uint32_t>(period_us, 1);
    acquisition.origin_us = now_us;
    acquisition.since_origin = 0;
}

// Bit 0: the detection responds (test on, potentiometer 7 at or above the threshold);
// bit 1: a short circuit is latched.
uint8_t Board::LineStatus() const {
    namespace bits = req::primary_line;
    const bool responds = line.test_on && potentiometers[qmd::pot::kThreshold] >= line.threshold;
    return static_cast<uint8_t>((responds ? bits::kDetectionResponds : 0u) |
                                (line.latched ? bits::kShortCircuitLatched : 0u));
}

// A persistent short circuit stays until cleared, whatever else is injected meanwhile.
void Board::InjectShortCircuit(bool persistent) {
    line.latched = true;
    line.persistent = line.persistent || persistent;
    if (!line.interrupts_enabled) return;
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_SHORT_CIRCUIT;
    record.value1 = LineStatus();
    interrupts.Queue(record);
}

void Execute(Board& board, uint32_t code, uint8_t* r, uint32_t in_size, uint32_t out_size,
             uint64_t now_us) {
    uint8_t status = kStatusOk;
    switch (code) {
        case req::kOpenHandshake:
            board.last_handshake = bytes::GetU64(r + req::handshake::kHandle);
            return;
        case req::kBoardInformation:
            BoardInformation(board, r);
            return;
        case req::kDriverVersion:
            bytes::PutU32(r + req::version::kValue, board.config.driver_version);
            return;
        case req::kFirmwareVersion:
            bytes::PutU32(r + req::version::kValue, board.config.firmware_version);
            bytes::PutU32(r + req::version::kValue + 4, 0);
            return;
        case req::kRegisterInterruptEvent:
            board.interrupts.event = bytes::GetU64(r + req::interrupt_event::kEvent);
            // The event is set while the queue is not empty, also for records that came
            // before it was known.
            if (!board.interrupts.queue.empty()) board.interrupts.signal_pending = true;
            return;
        case req::kReadInterruptRecord:
            board.interrupts.ReadRecord(r);
            return;
        case req::kEepromWrite:
        case req::kEepromRead:
            status = EepromRequest(board, code == req::kEepromWrite, r);
            break;
        case req::kRestartConfiguration:
            ++board.restarts;
            break;
        case req::kInitChannel:
            status = InitChannel(board, r);
            break;
        case req::kReadChannel:
            status = ReadChannel(board, r);
            break;
        case req::kStartAutoRefresh:
            status = StartAutoRefresh(board, r);
            break;
        case req::kStartSequence:
            status = StartSequence(board, r, now_us);
            break;
        case req::kTriggerAcquisition:
            TriggerAcquisition(board, now_us);
            break;
        case req::kStopAcquisition:
            board.StopAcquisition();
            break;
        case req::kConvertTimeDivision:
            if (r[req::division::kFactor] < kMinDivisionFactor) {
                status = kStatusBadDivisionFactor;
            } else {
                board.division_factor = r[req::division::kFactor];
            }
            break;
        case req::kReadPotentiometer:
        case req::kWritePotentiometer:
            status = PotentiometerRequest(board, code == req::kWritePotentiometer, r);
            break;
        case req::kSetPrimaryLineTest:
        case req::kReadPrimaryLineStatus:
        case req::kRearmPrimaryLine:
        case req::kShortCircuitInterrupts:
            status = PrimaryLineRequest(board, code, r);
            break;
        case req::kReadExcitationTable:
        case req::kWriteExcitationTable:
        case req::kOpenAdjustment:
        case req::kLevelsAdjusted:
        case req::kCloseAdjustment:
        case req::kReadConversionCounter:
        case req::kOpenWorkerAdjustment:
        case req::kStartWorkerAdjustment:
        case req::kWorkerLevelsAdjusted:
        case req::kWorkerPositionAdjusted:
            status = board.frontend.Execute(board, code, r, now_us);
            break;
        case req::kReadDigitalInputs:
            r[req::digital_io::kPort] = board.inputs;
            break;
        case req::kWriteDigitalOutputs: {
            const uint8_t mask = r[req::digital_io::kMask];
            const uint8_t on = r[req::digital_io::kOutputSwitch];
            if (on > 1) {
                status = kStatusBadSwitch;
            } else if (on == 1) {
                board.outputs = static_cast<uint8_t>(board.outputs | mask);
            } else {
                board.outputs = static_cast<uint8_t>(board.outputs & ~mask);
            }
            break;
        }
        case req::kWriteOutputMemory:
            if (r[req::digital_io::kMemorySwitch] > 1) {
                status = kStatusBadSwitch;
            } else {
                board.output_memory = r[req::digital_io::kMemorySwitch];
            }
            break;
        case req::kReadDigitalOutputs:
            r[req::digital_io::kPort] = board.outputs;
            break;
        case req::kStartTimer:
        case req::kStopTimer:
        case req::kTriggerTimer:
        case req::kReadTimerStatus:
        case req::kReadTimerValue:
            status = TimerRequest(board, code, r, now_us);
            break;
        case req::kLoadLogicCommand:
        case req::kLoadLogicWrite:
        case req::kLoadLogicRead:
        case req::kLoadLogicStatus:
            status = LogicRequest(board, code, r);
            break;
        default:
            // Every code of the request table is handled above.
            std::memset(r, 0, in_size > out_size ? in_size : out_size);
            return;
    }
    if (out_size > 0) r[req::kStatus] = status;
}

bool FindTransducerRecord(const std::vector<uint16_t>& e, uint8_t selection_type,
                          uint8_t (&record)[kTransducerRecordBytes]) {
    uint32_t t = 0;
    if (!FindTransducerTable(e, &t) || t + ee::kTableCount >= kEepromWords) return false;
    const uint32_t count = std::min<uint32_t>(e[t + ee::kTableCount], kMaxRecordsWalked);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t first = t + ee::kFirstRecord + kRecordWords * i;
        if (first + kRecordWords > kEepromWords) return false;
        if ((e[first] >> 8) != selection_type) continue;  // record byte 1
        for (uint32_t w = 0; w < kRecordWords; ++w) bytes::PutU16(record + 2 * w, e[first + w]);
        return true;
    }
    return false;
}

qmdsim_board_config DemoBoardConfig(uint32_t index) {
    qmdsim_board_config c{};
    std::snprintf(c.identifier, sizeof c.identifier, "QMD5820-DEMO-%u", index);
    // Values of a PCI board as the driver reports them: device and vendor identity,
    // bus position, memory and port windows, interrupt line.
    c.info_values[0] = 0x58201A2Bu;
    c.info_values[1] = 0x00000001u + index;           // bus number
    c.info_values[2] = 0x00000008u + (index << 3);     // device number
    c.info_values[3] = 0xF7E00000u - (index << 20);    // memory window
    c.info_values[4] = 0x00001000u;                    // memory window size
    c.info_values[5] = 0x0000E000u + (index << 8);     // port window
    c.info_values[6] = 0x00000080u;                    // port window size
    c.info_value8 = static_cast<uint8_t>(16 + index);  // interrupt line
    c.driver_version = 0x00030002u;
    c.firmware_version = 0x00010007u;
    c.serial_number = 26040001u + index;
    c.hardware_revision = (index % 2 == 0) ? 1 : 0;  // B, A, B, ...
    return c;
}

}  // namespace qmdsim
