// The state file's disk side on POSIX systems: what a path names (without opening it), the
// creation lock, the header check, making a complete file, and the state lock's setup.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

namespace qmdsim::disk {

std::string ErrorText(int error);
// What to do about a path that names something else than a state file.
extern const char kElsewhere[];

pthread_mutex_t* StateMutex(uint8_t* base);
// A process-shared, robust mutex, initialised afresh.
bool InitMutex(uint8_t* base);

// What `path` names, without opening it: false with the reason when it exists and is not
// a regular file (opening a device or a FIFO can block or act on the device).
bool RegularOrMissing(const std::string& path, bool* exists, std::string* error);
// Opens a regular file for reading and writing without blocking on whatever it is; -1 with
// `error` (empty and errno ENOENT when missing).
int OpenRegular(const std::string& path, int flags, std::string* error);
int FlockRetrying(int fd, int operation);

// "<path>.lock", held exclusively while it lives. A lock file removed by a `reset` while
// this process waited for it is opened again.
class CreationLock {
  public:
    explicit CreationLock(const std::string& path);
    ~CreationLock();
    CreationLock(const CreationLock&) = delete;
    CreationLock& operator=(const CreationLock&) = delete;

    bool Held() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

enum class Header { kGood, kForeign, kOtherVersion, kDamaged };
// kForeign: no state file magic; kOtherVersion: `reason` is the version; kDamaged: the
// reason.
Header CheckHeader(int fd, std::string* reason);
// Writes a complete new file beside `path`, then links it in (`replace`: renames it over
// the damaged one). The caller holds the creation lock.
bool CreateFile(const std::string& path, bool replace, std::string* error);
bool MakeParentDirectories(const std::string& path, std::string* error);
// Whether `path` still names the file open as `fd`.
bool SameFile(int fd, const std::string& path);

}  // namespace qmdsim::disk
