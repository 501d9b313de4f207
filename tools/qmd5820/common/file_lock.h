// An exclusive lock on a lock file, held for the lifetime of the object, that other
// processes taking the same lock wait for: flock on POSIX systems, LockFileEx on Windows.
// The lock ends with the process, however it ends; the file itself is left in place (an
// empty file, removed by nobody, so that every process locks the same one).
#ifndef QMD5820_TOOL_FILE_LOCK_H
#define QMD5820_TOOL_FILE_LOCK_H

#include <cstdint>
#include <string>

namespace qmdtool {

class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates `path` when missing (a regular file only) and waits until the lock is ours;
    // false with `error` set when the file cannot be opened or locked.
    bool Acquire(const std::string& path, std::string& error);
    // Like Acquire, but false at once (error empty) when another process holds the lock.
    bool TryAcquire(const std::string& path, std::string& error);
    void Release();
    bool held() const { return held_; }

private:
    bool Take(const std::string& path, bool wait, std::string& error);

    intptr_t file_ = -1;  // descriptor, or the Windows file handle
    bool held_ = false;
};

}  // namespace qmdtool

#endif
