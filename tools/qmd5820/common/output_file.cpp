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
#include <unistd.h>
#endif

namespace qmdtool {
namespace {

namespace fs = std::filesystem;

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

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Open(const std::string& target, std::string& error) {
    Abandon();
    if (target == "-") {
        file_ = stdout;
        return true;
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

bool OutputFile::Commit(std::string& error) {
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
    if (!written) {
        error = target_ + " cannot be written: " + std::strerror(saved);
        std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) {
        error = target_ + " cannot be replaced: " + ec.message();
        std::remove(temporary_.c_str());
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
