// Files the tool writes (see output_file.h).
#include "common/output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qmdtool {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> (*g_protected)() = nullptr;

// Whether two names name one file: the same device and inode when both exist, else the
// same absolute path once "." and ".." are resolved.
bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        const bool same = fs::equivalent(a, b, ec);
        if (!ec) return same;
    }
    const fs::path x = fs::absolute(a, ec).lexically_normal();
    const fs::path y = fs::absolute(b, ec).lexically_normal();
    return x == y;
}

// A new file that did not exist before (never one someone else just created).
std::FILE* CreateExclusive(const std::string& path) {
#if defined(_WIN32)
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) close(fd);
#endif
    return file;
}

}  // namespace

void SetProtectedFiles(std::vector<std::string> (*list)()) { g_protected = list; }

std::string ProtectedFileNamed(const std::string& target) {
    if (g_protected == nullptr || target.empty() || target == "-") return {};
    for (const std::string& file : g_protected()) {
        if (!file.empty() && SameFile(target, file)) return file;
    }
    return {};
}

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Open(const std::string& target, std::string& error) {
    Abandon();
    if (target == "-") {
        file_ = stdout;
        return true;
    }
    if (const std::string named = ProtectedFileNamed(target); !named.empty()) {
        error = target + " is the simulated boards' state file or its lock (" + named +
                "); refused, nothing was written (give another file)";
        return false;
    }
    std::error_code ec;
    fs::path path(target);
    // A symbolic link stays: the file it names is replaced.
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        const fs::path resolved = fs::canonical(path, ec);
        if (!ec) path = resolved;
    }
    const fs::file_status status = fs::status(path, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        error = target + " is not a regular file (give a file name, or - for standard output)";
        return false;
    }
    const std::string base = path.string();
    for (unsigned attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
        const std::string candidate = base + ".tmp" + std::to_string(attempt);
        file_ = CreateExclusive(candidate);
        if (file_ != nullptr) {
            temporary_ = candidate;
        } else if (errno != EEXIST) {
            error = target + ": " + std::strerror(errno);
            return false;
        }
    }
    if (file_ == nullptr) {
        error = target + ": no temporary file can be created beside it";
        return false;
    }
    target_ = base;
    return true;
}

bool OutputFile::Commit(std::string& error) { return Finish(error, nullptr); }

bool OutputFile::CommitOrKeep(std::string& error, std::string& kept_at) {
    kept_at.clear();
    return Finish(error, &kept_at);
}

bool OutputFile::Finish(std::string& error, std::string* kept_at) {
    if (file_ == nullptr) {
        error = "nothing to write";
        return false;
    }
    if (file_ == stdout) {
        file_ = nullptr;
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            error = std::string("standard output cannot be written: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    int saved = errno;
#if !defined(_WIN32)
    // The replaced file's permissions, owner and group (the owner only where the process
    // may give it away; otherwise the file becomes the user's, as any new file).
    struct stat old {};
    if (stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        const int fd = fileno(file_);
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
                // Neither: the file keeps the user's owner and group.
            }
        }
        const int mode_kept = fchmod(fd, old.st_mode & 07777);
        (void)mode_kept;  // a file system without permissions: the new file's stay
    }
    if (written && fsync(fileno(file_)) != 0) {
        written = false;
        saved = errno;
    }
#endif
    if (std::fclose(file_) != 0 && written) {
        written = false;
        saved = errno;
    }
    file_ = nullptr;
    if (!written && kept_at == nullptr) {
        error = target_ + " cannot be written: " + std::strerror(saved);
        std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    if (!written) error = target_ + " cannot be written completely: " + std::strerror(saved);
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) {
        error = target_ + " cannot be replaced: " + ec.message();
        if (kept_at != nullptr) {
            *kept_at = temporary_;  // stays for the user
        } else {
            std::remove(temporary_.c_str());
        }
        temporary_.clear();
        return false;
    }
    if (!written) {
        temporary_.clear();
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::Abandon() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
}

bool WriteFileAtomically(const std::string& target, const std::vector<uint8_t>& bytes,
                         std::string& error) {
    OutputFile file;
    if (!file.Open(target, error)) return false;
    if (file.is_stdout()) {
        error = "a backup goes to a file, not to standard output";
        return false;
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.stream()) != bytes.size()) {
        error = target + " cannot be written: " + std::strerror(errno);
        return false;
    }
    return file.Commit(error);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(path, ec))) {
        error = path + " is not a readable regular file";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = path + " cannot be read";
        return false;
    }
    return true;
}

}  // namespace qmdtool
