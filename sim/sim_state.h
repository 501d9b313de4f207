// The state file of the simulated boards: what a real board keeps when it is switched off
// (the EEPROM) and what users expect the boards to remember between programs (digital
// outputs and output memory, potentiometers), kept in one small file.
//
// File format (little-endian): a 20-byte header — magic "QMDSIMST", format version (u32),
// payload size (u32), CRC-32 of the payload (u32) — then the payload: the number of board
// entries (u32) and per entry: board index (u32), serial number (u32), hardware revision,
// outputs, output memory, a reserved byte, the 32 potentiometers, the number of EEPROM
// words that differ from the factory image (u32) and those words as (word address u16,
// value u16) pairs in increasing address order. An entry applies to the board of that
// index only when serial number and revision match.
//
// Concurrency: every access holds a lock on "<path>.lock" (flock: shared to read,
// exclusive to write); a save reads the file, lays this process's changes over it (the
// words, outputs and potentiometers it changed since its last save), writes
// "<path>.tmp.<pid>" and renames it over the file. Two processes writing at once never
// lose each other's changes nor leave a torn file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim_board.h"

namespace qmdsim {

inline constexpr char kStateMagic[8] = {'Q', 'M', 'D', 'S', 'I', 'M', 'S', 'T'};
inline constexpr uint32_t kStateFormat = 1;
inline constexpr std::size_t kStateHeaderSize = 20;
// Saves of changes made within this interval of the last save wait for the next request
// after it, a close, a flush or the process exit.
inline constexpr uint64_t kStateSaveIntervalUs = 200000;

// What the state file holds for one board.
struct BoardState {
    uint32_t index = 0;
    uint32_t serial_number = 0;
    uint8_t hardware_revision = 0;
    uint8_t outputs = 0;
    uint8_t output_memory = 0;
    std::array<uint8_t, kPotentiometerCount> potentiometers{};
    std::map<uint16_t, uint16_t> eeprom;  // word address -> value, only where not factory

    BoardState();
};

struct StateImage {
    std::vector<BoardState> boards;

    BoardState* Find(uint32_t index, uint32_t serial, uint8_t revision);
};

std::vector<uint8_t> EncodeState(const StateImage& image);
// False with the reason when the bytes are not a valid state file.
bool DecodeState(const std::vector<uint8_t>& bytes, StateImage* image, std::string* reason);

// The state file path from the environment: QMD5820_SIM_STATE if set ("" or "off": none),
// else $XDG_STATE_HOME/qmd5820/sim-state, else $HOME/.local/state/qmd5820/sim-state, else
// none (""). Always "" where state files are not supported.
std::string DefaultStatePath();

// The changes of one board since the last save, with their values at the time taken.
struct BoardChanges {
    uint32_t index = 0;
    uint32_t serial_number = 0;
    uint8_t hardware_revision = 0;
    std::vector<std::pair<uint16_t, uint16_t>> words;  // (word address, value)
    std::optional<std::pair<uint8_t, uint8_t>> outputs;  // (outputs, output memory)
    std::optional<std::array<uint8_t, kPotentiometerCount>> potentiometers;
};

using Boards = std::vector<std::unique_ptr<Board>>;
// Runs a function on the driver's boards under the driver's lock, with the driver's clock.
using BoardsAccess = std::function<void(const std::function<void(Boards&, uint64_t)>&)>;

// The driver's side of the state file. Functions named ...Locked run under the driver's
// lock; the others take the persistence lock and, for the boards, the driver's lock
// through `access` (always in this order).
class Persistence {
  public:
    // Notes a request the board executed (record = its answer).
    void NoteRequestLocked(uint32_t board, uint32_t code, const uint8_t* record,
                           uint32_t out_size);
    // A change waits to be saved (a hint read without locks).
    bool Pending() const { return pending_.load(std::memory_order_relaxed); }

    // 0 attached, 1 `path` is empty (no state file), -1 the file cannot be used.
    int32_t Attach(const std::string& path, const BoardsAccess& access);
    void Detach(const BoardsAccess& access);
    // Saves the pending changes when due (`force`: whatever the time of the last save).
    // 0 saved or nothing to save, -1 the save failed.
    int32_t Save(const BoardsAccess& access, bool force);
    // Back to the factory state: the file removed, the boards' kept state reset.
    int32_t Reset(const BoardsAccess& access);
    // A description of the file's content; -1 when none is attached.
    int32_t Describe(const BoardsAccess& access, std::string* text);
    std::string Path();
    uint32_t Saves() const { return saves_.load(); }
    // Sets every board's kept state to its factory state (driver's lock held).
    static void FactoryLocked(Board& board);

  private:
    struct Dirty {
        std::set<uint16_t> words;
        bool outputs = false;
        bool potentiometers = false;
    };

    std::vector<BoardChanges> TakeChangesLocked(Boards& boards, uint64_t now, bool force);
    int32_t SaveLocked(const BoardsAccess& access, bool force);
    int32_t Write(const std::vector<BoardChanges>& changes);
    void Report(const std::string& message, bool* once);
    const std::vector<uint16_t>& Factory(uint32_t serial, uint8_t revision);

    std::mutex mutex_;  // the persistence lock: saves, attach, reset, describe in turn
    std::string path_;  // changed with both locks held
    std::atomic<bool> attached_{false};
    std::atomic<bool> pending_{false};
    std::map<uint32_t, Dirty> dirty_;  // by board index; driver's lock
    bool saved_once_ = false;          // driver's lock
    uint64_t last_save_us_ = 0;
    std::atomic<uint32_t> saves_{0};
    bool damage_reported_ = false;
    bool save_failure_reported_ = false;
    std::mutex factory_mutex_;
    std::map<std::pair<uint32_t, uint8_t>, std::vector<uint16_t>> factory_;
};

}  // namespace qmdsim
