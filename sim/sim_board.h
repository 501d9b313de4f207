// One simulated board: its EEPROM, transducer channels, acquisition, interrupt queue,
// potentiometers, primary line, digital ports, timer and logic load channel, and the
// execution of the requests the driver has already checked (code, sizes, handle).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"
#include "sim_frontend.h"

namespace qmdsim {

// Driver statuses of the simulated board (byte 0 of two-way requests).
inline constexpr uint8_t kStatusOk = 0;
inline constexpr uint8_t kStatusBadEepromAddress = 2;  // odd byte address or beyond 131070
inline constexpr uint8_t kStatusBadTimeBase = 2;       // timer time base above 2
inline constexpr uint8_t kStatusBadInterruptSwitch = 3;
inline constexpr uint8_t kStatusBadSwitch = 2;         // output / memory switch not 0 or 1
inline constexpr uint8_t kStatusBadLogicCommand = 2;
inline constexpr uint8_t kStatusLogicNotOpen = 3;
inline constexpr uint8_t kStatusLogicFull = 4;
inline constexpr uint8_t kStatusLogicEmpty = 5;
inline constexpr uint8_t kStatusBadChannel = 2;       // channel above 15
inline constexpr uint8_t kStatusNoTransducer = 3;     // selection type not in the table
inline constexpr uint8_t kStatusNotInitialised = 3;   // read of a channel never initialised
inline constexpr uint8_t kStatusAcquisitionRunning = 50;
// Acquisition starts.
inline constexpr uint8_t kStatusBadChannelCount = 2;       // auto-refresh count not 1 to 16
inline constexpr uint8_t kStatusBadListedChannel = 4;      // auto-refresh channel unusable
inline constexpr uint8_t kStatusBadSequencesPerIrq = 2;    // sequences before interrupt 0
inline constexpr uint8_t kStatusBadSequenceSize = 3;       // size 0 or above 16
inline constexpr uint8_t kStatusBadSoftTrigger = 4;        // soft trigger mode not 0, 1, 5
inline constexpr uint8_t kStatusBadSequenceChannel = 6;    // sequence channel unusable
inline constexpr uint8_t kStatusOddSequenceWords = 7;      // size x sequences odd
inline constexpr uint8_t kStatusTriggerKindsDiffer = 8;    // one shot against sequence
inline constexpr uint8_t kStatusBadDivisionFactor = 2;     // not 5 to 255
inline constexpr uint8_t kStatusBadPotentiometer = 2;      // number above 31
inline constexpr uint8_t kStatusBadLineSwitch = 2;         // test / interrupt switch not 0 or 1

inline constexpr uint32_t kChannelCount = qmd::board::kChannels;

inline constexpr uint32_t kLogicCapacity = 4096;  // words of one logic load

inline constexpr std::size_t kInterruptQueueCapacity = QMDSIM_INTERRUPT_QUEUE;
// The driver's buffer for sequence data: a sequence that finds it full is acquired and
// counted, but its data are lost.
inline constexpr std::size_t kStreamCapacity = std::size_t{1} << 20;
inline constexpr uint32_t kDefaultSequencePeriodUs = 1000;
inline constexpr uint32_t kPotentiometerCount = qmd::board::kPotentiometers;
inline constexpr uint8_t kPotentiometerDefault = 128;
inline constexpr uint16_t kDefaultLineTestThreshold = 100;

// The board's timer: a 16-bit down-counter clocked by the time base. It counts from the
// reload value down to 0 and reloads on the next tick (a period is reload + 1 ticks);
// every reload is one expiration.
struct Timer {
    bool running = false;
    uint8_t time_base = 0;
    uint16_t reload = 0;
    bool interrupt_enabled = false;
    uint64_t origin_us = 0;         // clock time at which the count was last loaded
    uint64_t expirations_base = 0;  // expirations since the start, before origin_us
    uint16_t held_count = 0;        // count and expirations while stopped
    uint64_t held_expirations = 0;
    uint64_t interrupted = 0;       // expirations since the start already raised

    uint16_t Count(uint64_t now_us) const;
    // Expirations since the last start: the 16-bit status word, and the full count.
    uint16_t Expirations(uint64_t now_us) const;
    uint64_t TotalExpirations(uint64_t now_us) const;
    void Start(uint8_t base, uint16_t reload_value, bool interrupts, uint64_t now_us);
    void Stop(uint64_t now_us);
    void Trigger(uint64_t now_us);

  private:
    uint64_t Ticks(uint64_t now_us) const;
};

struct LogicLoad {
    std::vector<uint32_t> words;
    std::size_t read_position = 0;
    bool open = false;
    bool completed = false;
    uint32_t last_command = 0;

    uint8_t Status() const;
};

// What the board keeps of a channel: the configuration of its last successful
// initialisation and the position of the transducer core it measures.
struct Channel {
    bool initialised = false;
    uint8_t selection_type = 0;
    uint8_t divider1 = 0;
    uint8_t divider2 = 0;
    double range = 0.0;     // range of the transducer record found at initialisation
    double position = 0.0;  // metric position, set by the test or demo driving the board

    // The sign-and-magnitude code a read answers for the current position.
    uint16_t Code() const;
};

// The board's interrupt FIFO: a ring of kInterruptQueueCapacity records allocated once, so
// queueing and reading records allocate nothing (the board's timer can queue thousands).
class InterruptFifo {
  public:
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    const qmdsim_interrupt& front() const { return ring_[head_]; }
    // The caller checks that the FIFO has room.
    void push_back(const qmdsim_interrupt& record) {
        ring_[(head_ + count_) % kInterruptQueueCapacity] = record;
        ++count_;
    }
    void pop_front() {
        head_ = (head_ + 1) % kInterruptQueueCapacity;
        --count_;
    }

  private:
    std::vector<qmdsim_interrupt> ring_ = std::vector<qmdsim_interrupt>(kInterruptQueueCapacity);
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// The board's interrupt records, oldest first, and the event the driver signals for them.
struct Interrupts {
    uint64_t event = 0;           // registered event value; 0: none
    InterruptFifo queue;
    uint64_t dropped = 0;         // records that found the queue full
    bool signal_pending = false;  // a record was queued since the driver last looked

    std::size_t Space() const { return kInterruptQueueCapacity - queue.size(); }
    void Queue(const qmdsim_interrupt& record);
    // The 144-byte answer of the read request: the oldest record, or the empty flag.
    void ReadRecord(uint8_t* r);
};

enum AcquisitionMode : uint8_t { kModeNone = 0, kModeAutoRefresh = 1, kModeSequence = 2 };

inline constexpr uint8_t kSoftTriggerAtOnce = 0;
inline constexpr uint8_t kSoftTriggerStart = 1;
inline constexpr uint8_t kSoftTriggerOneShot = 5;

// The configuration of the last successful start and the progress of the acquisition.
struct Acquisition {
    uint8_t mode = kModeNone;
    uint8_t channel_count = 0;  // auto-refresh count, or the sequence size
    uint8_t channels[qmd::req::kListEntries] = {};
    uint8_t transducer_indexes[qmd::req::kListEntries] = {};
    uint16_t sequences_before_interrupt = 0;
    uint8_t soft_trigger = 0;
    uint8_t extern_trigger = 0;
    uint32_t parameters[3] = {};
    uint64_t sequences_done = 0;
    uint32_t triggers = 0;
    // Sequence timing: while `producing`, sequence k after the origin completes at
    // origin_us + k x period; `since_origin` of them have been acquired. A one-shot
    // acquisition has `burst_left` sequences of its triggers still to run.
    bool producing = false;
    uint64_t origin_us = 0;
    uint64_t since_origin = 0;
    uint64_t burst_left = 0;
};

// The data stream of the sequence acquisition (bytes waiting to be read).
struct Stream {
    std::vector<uint8_t> bytes;
    std::size_t head = 0;  // first byte not yet read

    std::size_t Waiting() const { return bytes.size() - head; }
    void Append(const uint8_t* p, std::size_t n) { bytes.insert(bytes.end(), p, p + n); }
    std::size_t Read(uint8_t* out, std::size_t n);
    void Clear() {
        bytes.clear();
        head = 0;
    }
};

struct PrimaryLine {
    bool test_on = false;
    bool latched = false;
    bool persistent = false;  // the short circuit is still there: a rearm does not clear it
    bool interrupts_enabled = false;
    uint16_t threshold = kDefaultLineTestThreshold;
    uint32_t rearms = 0;
    uint32_t tests_switched_on = 0;
};

struct Board {
    explicit Board(const qmdsim_board_config& board_config);
    // The auto-refresh area is handed out by address: a board never moves.
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    qmdsim_board_config config;
    std::vector<uint16_t> eeprom;  // QMDSIM_EEPROM_WORDS words
    uint8_t inputs = 0;
    uint8_t outputs = 0;
    uint8_t output_memory = 0;
    Timer timer;
    LogicLoad logic;
    Channel channels[kChannelCount];
    // On while an acquisition runs (or qmdsim_set_acquisition_running says so): channel
    // initialisation and reads, and switching the line test on, answer status 50.
    bool acquisition_running = false;
    uint32_t restarts = 0;  // restart-configuration requests answered with status 0
    uint64_t last_handshake = 0;

    Interrupts interrupts;
    Acquisition acquisition;
    Stream stream;
    uint32_t sequence_period_us = kDefaultSequencePeriodUs;
    uint8_t division_factor = 0;  // 0 until set
    bool auto_refresh_mapped = false;  // the area's address has been handed out
    // The auto-refresh area: 16 little-endian codes, one per listed entry.
    alignas(8) std::array<uint8_t, 32> auto_refresh{};
    std::array<uint8_t, kPotentiometerCount> potentiometers;
    PrimaryLine line;
    FrontEnd frontend;
    // For the state file: the EEPROM words written since the current request began, and
    // the generation of the file's slot the board last took (kNotTaken: none yet).
    static constexpr uint64_t kNotTaken = ~uint64_t{0};
    std::vector<uint16_t> written_words;
    uint64_t kept_generation = kNotTaken;

    // Runs the timer and the sequence acquisition up to `now_us`, queueing their
    // interrupts, and brings the auto-refresh area up to date.
    void Pump(uint64_t now_us);
    // A source that needs the clock watched: the timer with its interrupt, or a sequence
    // acquisition that is acquiring.
    bool TimeDriven() const;
    // Writes the codes of the listed channels into the auto-refresh area (only the bytes
    // that change: the area may be read by the application at any time).
    void RefreshAutoArea();
    // Ends any acquisition.
    void StopAcquisition();
    void SetSequencePeriod(uint32_t period_us, uint64_t now_us);
    uint8_t LineStatus() const;
    void InjectShortCircuit(bool persistent);

  private:
    void PumpTimer(uint64_t now_us);
    void PumpSequence(uint64_t now_us);
    void AcquireSequences(uint64_t n);
};

// Executes a checked request. `record` holds max(in_size, out_size) bytes: the input
// (zero beyond in_size) on entry, the reply on return; byte 0 of a two-way reply is the
// driver's status. `now_us` is the driver's clock.
void Execute(Board& board, uint32_t code, uint8_t* record, uint32_t in_size, uint32_t out_size,
             uint64_t now_us);

// The transducer record (29 words) of the first entry of `selection_type` in the
// transducer table of the EEPROM `e`, found as the board finds it at initialisation.
inline constexpr std::size_t kTransducerRecordBytes = qmd::rec::kBytes;
bool FindTransducerRecord(const std::vector<uint16_t>& e, uint8_t selection_type,
                          uint8_t (&record)[kTransducerRecordBytes]);

// Runs `f` on board `index` (nothing for an unknown board) under the driver's lock, with
// the board's clock and its time-driven sources run up to now first.
void RunOnBoard(uint32_t index, const std::function<void(Board&, uint64_t)>& f);

// The configuration of demo board `index`.
qmdsim_board_config DemoBoardConfig(uint32_t index);

// The factory EEPROM image (QMDSIM_EEPROM_WORDS words).
void BuildFactoryImage(uint16_t* words, uint32_t serial_number, uint8_t hardware_revision);

}  // namespace qmdsim
