// The state file on the disk: checking what the path names before anything is opened for
// writing, creating a file in full beside it and publishing it by a link, mapping it, its
// process-shared state lock, and removing it. The layout is in state_layout.h; what the
// slots mean to the boards is in sim_state.cpp.
//
// Locks on the disk:
//  - "<path>.lock" (flock, exclusive, held for moments): creating or replacing the file
//    and `reset` take it, so two processes never publish two different files.
//  - the state file itself (flock, shared): held by every process that has it mapped, so
//    `reset` can tell whether another process uses the boards.
//  - the robust mutex in the header: held for every request.
#pragma once

#include <cstdint>
#include <string>

namespace qmdsim {

class StateFile {
  public:
    enum class Opened { kOk, kMissing, kFailed };
    enum class Removed { kRemoved, kClearedInPlace, kInUse, kFailed };

    StateFile() = default;
    ~StateFile() { Close(); }
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Maps the file at `path`; when it is missing, creates it first if `create` (every
    // slot in the factory state), else answers kMissing. kFailed with `error` saying what
    // is wrong and what to do; a path that is no regular file, or a file that is not a
    // state file of this format, is never opened for writing. `notice`: a damaged state
    // file that was replaced by a new one.
    Opened Open(const std::string& path, bool create, std::string* error, std::string* notice);
    void Close();
    bool Mapped() const { return base_ != nullptr; }
    uint8_t* Slot(uint32_t index) const;

    // The state lock. False with `error` when it cannot be taken.
    bool Lock(std::string* error);
    void Unlock();
    // Writes the mapping through to the disk.
    bool Sync(std::string* error);

    // Every slot back to the factory state (under the state lock), then the file and its
    // lock file removed, unless another process has it mapped: then kInUse, or with
    // `force` kClearedInPlace (the file stays, shared with those processes). The mapping
    // is closed when the file was removed.
    Removed Reset(const std::string& path, bool force, std::string* error);

  private:
    uint8_t* base_ = nullptr;
    int fd_ = -1;
};

// Removes the file at `path` and its lock file when it is a state file of any version
// (a file that starts with the state file's magic); anything else is left as it is.
// True when removed or missing.
bool RemoveStateFile(const std::string& path, std::string* error);

// The state file path from the environment: QMD5820_SIM_STATE if set ("" or "off": none),
// else $XDG_STATE_HOME/qmd5820/sim-state, else $HOME/.local/state/qmd5820/sim-state, else
// none (""). Always "" where state files are not supported.
std::string DefaultStatePath();

}  // namespace qmdsim
