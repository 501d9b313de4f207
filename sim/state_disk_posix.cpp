// The state file's disk side on POSIX systems (state_disk_posix.h).
#include "state_disk_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "state_layout.h"

namespace qmdsim::disk {

namespace {
namespace bytes = qmd::bytes;
namespace layout = state_layout;
}  // namespace

static_assert(sizeof(pthread_mutex_t) <= layout::header::kLockBytes);

std::string ErrorText(int error) { return std::strerror(error); }

const char kElsewhere[] = "move it away or point QMD5820_SIM_STATE elsewhere (or set it to off)";

pthread_mutex_t* StateMutex(uint8_t* base) {
    return reinterpret_cast<pthread_mutex_t*>(base + layout::header::kLock);
}

bool InitMutex(uint8_t* base) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0;
    if (ok) {
        std::memset(base + layout::header::kLock, 0, layout::header::kLockBytes);
        ok = pthread_mutex_init(StateMutex(base), &attributes) == 0;
    }
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

// What `path` names, without opening it: false with the reason when it exists and is not
// a regular file (opening a device or a FIFO can block or act on the device).
bool RegularOrMissing(const std::string& path, bool* exists, std::string* error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            *exists = false;
            return true;
        }
        *error = "cannot use " + path + ": " + ErrorText(errno);
        return false;
    }
    *exists = true;
    if (S_ISREG(st.st_mode)) return true;
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "a device";
    *error = path + " is " + kind + ", not a state file of the simulated boards: it is left as "
             "it is; point QMD5820_SIM_STATE at a file (or set it to off)";
    return false;
}

// Opens a regular file for reading and writing without blocking on whatever it is.
int OpenRegular(const std::string& path, int flags, std::string* error) {
    const int fd = ::open(path.c_str(), flags | O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno != ENOENT) *error = "cannot open " + path + ": " + ErrorText(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file: it is left as it is; " + kElsewhere;
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int FlockRetrying(int fd, int operation) {
    int r;
    do {
        r = ::flock(fd, operation);
    } while (r != 0 && errno == EINTR);
    return r;
}

Header CheckHeader(int fd, std::string* reason) {
    uint8_t h[layout::header::kBytes] = {};
    ssize_t n;
    do {
        n = ::pread(fd, h, sizeof h, 0);
    } while (n < 0 && errno == EINTR);
    struct stat st;
    if (n < 0 || ::fstat(fd, &st) != 0) {
        *reason = ErrorText(errno);
        return Header::kForeign;
    }
    if (n < static_cast<ssize_t>(sizeof layout::kMagic) ||
        std::memcmp(h + layout::header::kMagic, layout::kMagic, sizeof layout::kMagic) != 0) {
        return Header::kForeign;
    }
    if (n >= 12 && bytes::GetU32(h + layout::header::kVersion) != layout::kVersion) {
        *reason = std::to_string(bytes::GetU32(h + layout::header::kVersion));
        return Header::kOtherVersion;
    }
    if (n < static_cast<ssize_t>(sizeof h)) {
        *reason = "shorter than its header";
        return Header::kDamaged;
    }
    if (bytes::GetU32(h + layout::header::kHeaderSize) != layout::header::kBytes ||
        bytes::GetU32(h + layout::header::kSlotCount) != layout::kSlots ||
        bytes::GetU32(h + layout::header::kSlotSize) != layout::slot::kBytes ||
        bytes::GetU64(h + layout::header::kFileSize) != layout::kFileBytes) {
        *reason = "the header does not describe this format";
        return Header::kDamaged;
    }
    if (static_cast<uint64_t>(st.st_size) != layout::kFileBytes) {
        *reason = "size does not match the header";
        return Header::kDamaged;
    }
    return Header::kGood;
}

// Writes a complete new file beside `path`, then links it in (`replace`: renames it over
// the damaged one). The caller holds the creation lock.
bool CreateFile(const std::string& path, bool replace, std::string* error) {
    const std::string temp = path + ".tmp." + std::to_string(static_cast<long>(::getpid()));
    (void)::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + ErrorText(errno);
        return false;
    }
    const auto fail = [&](const std::string& what, int code) {
        *error = "cannot create the state file " + path + ": " + what + ErrorText(code);
        ::close(fd);
        (void)::unlink(temp.c_str());
        return false;
    };
    // Every block allocated now: writing to the mapping later cannot run out of space.
    const int allocated = ::posix_fallocate(fd, 0, static_cast<off_t>(layout::kFileBytes));
    if (allocated != 0) return fail("", allocated);
    void* map = ::mmap(nullptr, layout::kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return fail("", errno);
    uint8_t* base = static_cast<uint8_t*>(map);
    std::memcpy(base + layout::header::kMagic, layout::kMagic, sizeof layout::kMagic);
    bytes::PutU32(base + layout::header::kVersion, layout::kVersion);
    bytes::PutU32(base + layout::header::kHeaderSize, layout::header::kBytes);
    bytes::PutU32(base + layout::header::kSlotCount, layout::kSlots);
    bytes::PutU32(base + layout::header::kSlotSize, layout::slot::kBytes);
    bytes::PutU64(base + layout::header::kFileSize, layout::kFileBytes);
    const bool mutex_ok = InitMutex(base);
    ::munmap(map, layout::kFileBytes);
    if (!mutex_ok) return fail("no process-shared lock: ", ENOTSUP);
    if (::fsync(fd) != 0) return fail("", errno);
    ::close(fd);
    const int linked = replace ? ::rename(temp.c_str(), path.c_str())
                               : ::link(temp.c_str(), path.c_str());
    const int link_error = errno;
    (void)::unlink(temp.c_str());
    if (linked != 0 && !(link_error == EEXIST && !replace)) {
        *error = "cannot create the state file " + path + ": " + ErrorText(link_error);
        return false;
    }
    return true;
}

bool MakeParentDirectories(const std::string& path, std::string* error) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir + ": " + ErrorText(errno);
            return false;
        }
    }
    return true;
}

bool SameFile(int fd, const std::string& path) {
    struct stat held;
    struct stat named;
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

CreationLock::CreationLock(const std::string& path) {
    const std::string lock_path = path + ".lock";
    for (int attempt = 0; attempt < 100; ++attempt) {
        bool exists = false;
        if (!RegularOrMissing(lock_path, &exists, &error_)) return;
        fd_ = OpenRegular(lock_path, O_CREAT, &error_);
        if (fd_ < 0) {
            if (error_.empty()) error_ = "cannot create " + lock_path + ": " + ErrorText(errno);
            return;
        }
        if (FlockRetrying(fd_, LOCK_EX) != 0) {
            error_ = "cannot lock " + lock_path + ": " + ErrorText(errno);
            break;
        }
        struct stat held;
        struct stat named;
        if (::fstat(fd_, &held) == 0 && ::stat(lock_path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            return;
        }
        ::close(fd_);
        fd_ = -1;
    }
    if (error_.empty()) error_ = "cannot lock " + lock_path;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

CreationLock::~CreationLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace qmdsim::disk
