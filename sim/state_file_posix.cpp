// The state file on POSIX systems: mmap, flock and a process-shared robust mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmd5820_protocol/bytes.h"
#include "state_disk_posix.h"
#include "state_file.h"
#include "state_layout.h"

namespace qmdsim {

using namespace disk;

namespace {
namespace bytes = qmd::bytes;
namespace layout = state_layout;
}  // namespace

StateFile::Opened StateFile::Open(const std::string& path, bool create, std::string* error,
                                  std::string* notice) {
    Close();
    if (!MakeParentDirectories(path, error)) return Opened::kFailed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        bool exists = false;
        if (!RegularOrMissing(path, &exists, error)) return Opened::kFailed;
        bool lock_exists = false;
        if (!RegularOrMissing(path + ".lock", &lock_exists, error)) return Opened::kFailed;
        if (exists) {
            const int fd = OpenRegular(path, 0, error);
            if (fd < 0 && errno == ENOENT) continue;  // removed meanwhile
            if (fd < 0) return Opened::kFailed;
            std::string reason;
            const Header header = CheckHeader(fd, &reason);
            if (header == Header::kForeign) {
                ::close(fd);
                *error = path + " exists and is not a state file of the simulated boards: it is "
                         "left as it is; " + kElsewhere;
                return Opened::kFailed;
            }
            if (header == Header::kOtherVersion) {
                ::close(fd);
                *error = path + " is a state file of another format (version " + reason +
                         "): it is left as it is; `qmd5820 sim reset` removes it, or point "
                         "QMD5820_SIM_STATE elsewhere";
                return Opened::kFailed;
            }
            if (header == Header::kDamaged) {
                ::close(fd);
                CreationLock lock(path);
                if (!lock.Held()) {
                    *error = lock.Error();
                    return Opened::kFailed;
                }
                // Checked again under the lock: another process may have replaced it.
                const int again = OpenRegular(path, 0, error);
                if (again < 0) continue;
                const Header now = CheckHeader(again, &reason);
                ::close(again);
                if (now != Header::kDamaged) continue;
                if (!CreateFile(path, true, error)) return Opened::kFailed;
                *notice = "the state file " + path + " is damaged (" + reason +
                          "); the boards start from their factory state and the file is replaced";
                continue;
            }
            void* map = ::mmap(nullptr, layout::kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                               fd, 0);
            if (map == MAP_FAILED) {
                *error = "cannot map " + path + ": " + ErrorText(errno);
                ::close(fd);
                return Opened::kFailed;
            }
            // Alone with the file: no process can hold the state lock, so it starts afresh
            // (a process that died holding it on a machine that went down left it taken).
            bool alone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (alone && !InitMutex(static_cast<uint8_t*>(map))) alone = false;
            if (FlockRetrying(fd, LOCK_SH) != 0 || !SameFile(fd, path)) {
                ::munmap(map, layout::kFileBytes);
                ::close(fd);
                continue;  // removed by a reset meanwhile
            }
            base_ = static_cast<uint8_t*>(map);
            fd_ = fd;
            return Opened::kOk;
        }
        if (!create) return Opened::kMissing;
        CreationLock lock(path);
        if (!lock.Held()) {
            *error = lock.Error();
            return Opened::kFailed;
        }
        bool now_exists = false;
        if (!RegularOrMissing(path, &now_exists, error)) return Opened::kFailed;
        if (!now_exists && !CreateFile(path, false, error)) return Opened::kFailed;
    }
    *error = "cannot open " + path + ": it keeps changing";
    return Opened::kFailed;
}

void StateFile::Close() {
    if (base_ != nullptr) ::munmap(base_, layout::kFileBytes);
    if (fd_ >= 0) ::close(fd_);  // releases the shared flock
    base_ = nullptr;
    fd_ = -1;
}

uint8_t* StateFile::Slot(uint32_t index) const {
    return base_ + layout::header::kBytes + std::size_t{index} * layout::slot::kBytes;
}

bool StateFile::Lock(std::string* error) {
    int r = pthread_mutex_lock(StateMutex(base_));
    // A process died holding it, in the middle of a request at worst: one request's change
    // half made, which a request can redo.
    if (r == EOWNERDEAD) r = pthread_mutex_consistent(StateMutex(base_));
    if (r == 0) return true;
    *error = "cannot take the state file's lock: " + ErrorText(r);
    return false;
}

void StateFile::Unlock() { pthread_mutex_unlock(StateMutex(base_)); }

bool StateFile::Sync(std::string* error) {
    if (base_ == nullptr) return true;
    if (::msync(base_, layout::kFileBytes, MS_SYNC) == 0) return true;
    *error = "cannot write the state file: " + ErrorText(errno);
    return false;
}

StateFile::Removed StateFile::Reset(const std::string& path, bool force, std::string* error) {
    CreationLock lock(path);
    if (!lock.Held()) {
        *error = lock.Error();
        return Removed::kFailed;
    }
    // Turning the shared flock into an exclusive one succeeds only when no other process
    // holds it; a refused conversion may drop it, so it is taken again.
    const bool alone = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    if (!alone) (void)FlockRetrying(fd_, LOCK_SH);
    if (!alone && !force) return Removed::kInUse;
    const auto give_back = [&] {
        if (alone) (void)FlockRetrying(fd_, LOCK_SH);
    };
    if (!Lock(error)) {
        give_back();
        return Removed::kFailed;
    }
    for (uint32_t i = 0; i < layout::kSlots; ++i) {
        uint8_t* slot = Slot(i);
        bytes::PutU32(slot + layout::slot::kKept, layout::slot::kFactory);
        bytes::PutU64(slot + layout::slot::kGeneration,
                      bytes::GetU64(slot + layout::slot::kGeneration) + 1);
    }
    Unlock();
    if (!alone) return Removed::kClearedInPlace;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove " + path + ": " + ErrorText(errno);
        give_back();
        return Removed::kFailed;
    }
    (void)::unlink((path + ".lock").c_str());
    Close();
    return Removed::kRemoved;
}

bool RemoveStateFile(const std::string& path, std::string* error) {
    bool exists = false;
    if (!RegularOrMissing(path, &exists, error)) return false;
    if (!exists) return true;
    CreationLock lock(path);
    if (!lock.Held()) {
        *error = lock.Error();
        return false;
    }
    const int fd = OpenRegular(path, 0, error);
    if (fd < 0) return errno == ENOENT;
    std::string reason;
    const bool ours = CheckHeader(fd, &reason) != Header::kForeign;
    ::close(fd);
    if (!ours) {
        *error = path + " is not a state file of the simulated boards: it is left as it is; " +
                 kElsewhere;
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove " + path + ": " + ErrorText(errno);
        return false;
    }
    (void)::unlink((path + ".lock").c_str());
    return true;
}

std::string DefaultStatePath() {
    if (const char* explicit_path = std::getenv("QMD5820_SIM_STATE")) {
        if (explicit_path[0] == '\0' || std::strcmp(explicit_path, "off") == 0) return {};
        return explicit_path;
    }
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/qmd5820/sim-state";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/state/qmd5820/sim-state";
    }
    return {};
}

}  // namespace qmdsim
