// An exclusive lock on a lock file (see file_lock.h).
#include "common/file_lock.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qmdtool {

FileLock::~FileLock() { Release(); }

bool FileLock::Acquire(const std::string& path, std::string& error) { return Take(path, true, error); }

bool FileLock::TryAcquire(const std::string& path, std::string& error) {
    return Take(path, false, error);
}

#if defined(_WIN32)

bool FileLock::Take(const std::string& path, bool wait, std::string& error) {
    Release();
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "the lock file " + path + " cannot be opened (error " +
                std::to_string(GetLastError()) + ")";
        return false;
    }
    OVERLAPPED at{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        if (!wait && code == ERROR_LOCK_VIOLATION) {
            error.clear();
            return false;
        }
        error = "the lock file " + path + " cannot be locked (error " + std::to_string(code) + ")";
        return false;
    }
    file_ = reinterpret_cast<intptr_t>(file);
    held_ = true;
    return true;
}

void FileLock::Release() {
    if (file_ == -1) return;
    const HANDLE file = reinterpret_cast<HANDLE>(file_);
    OVERLAPPED at{};
    if (held_) UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    file_ = -1;
    held_ = false;
}

#else

bool FileLock::Take(const std::string& path, bool wait, std::string& error) {
    Release();
    // O_NOFOLLOW and the check below: the lock never opens (or creates through) a link, a
    // device or a pipe that happens to carry the name.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        error = "the lock file " + path + " cannot be opened: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "the lock file " + path + " is not a regular file";
        return false;
    }
    int result = 0;
    do {
        result = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (result != 0 && errno == EINTR && wait);
    if (result != 0) {
        const int code = errno;
        close(fd);
        if (!wait && code == EWOULDBLOCK) {
            error.clear();
            return false;
        }
        error = "the lock file " + path + " cannot be locked: " + std::strerror(code);
        return false;
    }
    file_ = fd;
    held_ = true;
    return true;
}

void FileLock::Release() {
    if (file_ == -1) return;
    close(static_cast<int>(file_));  // ends the lock
    file_ = -1;
    held_ = false;
}

#endif

}  // namespace qmdtool
