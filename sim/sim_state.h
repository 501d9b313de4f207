// What the simulated boards keep, shared between processes: what a real board keeps when
// it is switched off (the EEPROM) and what users expect the boards to remember between
// programs (digital outputs and output memory, potentiometers), in one state file that
// every process using the boards maps (layout in state_layout.h, the file in state_file.h).
//
// Every request runs under the file's state lock: first the board takes what another
// process changed since its last request (the slot's generation tells), then the request
// runs, then what it changed goes into the slot. So processes see each other's changes
// request by request, as programs sharing one real board do, and there is no later save
// that could lose one of them.
//
// The file is made by the first change (a program that only reads leaves none behind);
// a state file that cannot be used (not a regular file, not a state file, no space for
// it, no lock) makes every request fail, so no program runs on boards that silently stop
// keeping their state.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim_board.h"
#include "state_file.h"

namespace qmdsim {

using Boards = std::vector<std::unique_ptr<Board>>;

// The driver's side of the state file. Every function runs under the driver's lock.
class Persistence {
  public:
    // 0 attached, 1 `path` is empty (no state file), -1 the file cannot be used (the
    // reason on stderr; requests fail until a detach or another attach).
    int32_t Attach(const std::string& path, Boards& boards);
    void Detach();
    bool Attached() const { return mode_ != Mode::kOff; }

    // Around every request and control call on a board: Begin takes the state lock and
    // what other processes changed; End writes back what the board changed and releases
    // the lock. False: the state file cannot be used (the request fails).
    bool Begin(uint32_t index, Board& board);
    bool End(uint32_t index, Board& board);

    // Writes the mapping through to the disk: 0 done, -1 failed or the file unusable.
    int32_t Flush();
    // Every board back to the factory state and the file removed: 0 done, -1 failed or
    // nothing attached, -2 another process uses the boards (nothing changed; `force`
    // resets them anyway, in place).
    int32_t Reset(Boards& boards, bool force);
    // A description of the kept state; -1 when nothing is attached or it cannot be read.
    int32_t Describe(std::string* text);
    const std::string& Path() const { return path_; }
    uint32_t Saves() const { return saves_; }
    // Sets a board's kept state to its factory state.
    static void FactoryLocked(Board& board);

  private:
    enum class Mode { kOff, kFailed, kNoFile, kMapped };

    bool Map(bool create);
    void Fail(const std::string& message);
    void Report(const std::string& message);
    const std::vector<uint16_t>& Factory(uint32_t serial, uint8_t revision);

    Mode mode_ = Mode::kOff;
    std::string path_;
    StateFile file_;
    bool locked_ = false;
    // What the board held at Begin, to see what the request changed.
    uint8_t outputs_before_ = 0;
    uint8_t output_memory_before_ = 0;
    std::array<uint8_t, kPotentiometerCount> potentiometers_before_{};
    uint32_t saves_ = 0;
    bool failure_reported_ = false;
    std::map<std::pair<uint32_t, uint8_t>, std::vector<uint16_t>> factory_;
};

}  // namespace qmdsim
