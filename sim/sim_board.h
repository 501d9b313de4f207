// One simulated board: its EEPROM, transducer channels, digital ports, timer and logic load
// channel, and the execution of the requests the driver has already checked (code, sizes,
// handle).
#pragma once

#include <cstdint>
#include <vector>

#include "qmd5820sim.h"

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

inline constexpr uint32_t kChannelCount = 16;

inline constexpr uint32_t kLogicCapacity = 4096;  // words of one logic load

// The board's timer: a 16-bit down-counter clocked by the time base. It counts from the
// reload value down to 0 and reloads on the next tick (a period is reload + 1 ticks);
// every reload is one expiration.
struct Timer {
    bool running = false;
    uint8_t time_base = 0;
    uint16_t reload = 0;
    bool interrupt_enabled = false;
    uint64_t origin_us = 0;         // clock time at which the count was last loaded
    uint16_t expirations_base = 0;  // expirations since the start, before origin_us
    uint16_t held_count = 0;        // count and expirations while stopped
    uint16_t held_expirations = 0;

    uint16_t Count(uint64_t now_us) const;
    uint16_t Expirations(uint64_t now_us) const;
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

struct Board {
    explicit Board(const qmdsim_board_config& board_config);

    qmdsim_board_config config;
    std::vector<uint16_t> eeprom;  // QMDSIM_EEPROM_WORDS words
    uint8_t inputs = 0;
    uint8_t outputs = 0;
    uint8_t output_memory = 0;
    Timer timer;
    LogicLoad logic;
    Channel channels[kChannelCount];
    bool acquisition_running = false;
    uint32_t restarts = 0;  // restart-configuration requests answered with status 0
    uint64_t last_handshake = 0;
};

// Executes a checked request. `record` holds max(in_size, out_size) bytes: the input
// (zero beyond in_size) on entry, the reply on return; byte 0 of a two-way reply is the
// driver's status. `now_us` is the driver's clock.
void Execute(Board& board, uint32_t code, uint8_t* record, uint32_t in_size, uint32_t out_size,
             uint64_t now_us);

// The configuration of demo board `index`.
qmdsim_board_config DemoBoardConfig(uint32_t index);

// The factory EEPROM image (QMDSIM_EEPROM_WORDS words).
void BuildFactoryImage(uint16_t* words, uint32_t serial_number, uint8_t hardware_revision);

}  // namespace qmdsim
