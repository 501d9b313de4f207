// The per-user state directory (see paths.h).
#include "common/paths.h"

#include <cstdlib>
#include <system_error>

namespace qmdtool {

namespace fs = std::filesystem;

fs::path UserStateDirectory(const std::string& sub, std::string& tried) {
    fs::path directory;
#if defined(_WIN32)
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        directory = fs::path(local) / "qmd5820" / sub;
    }
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        directory = fs::path(state) / "qmd5820" / sub;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        directory = fs::path(home) / ".local" / "state" / "qmd5820" / sub;
    }
#endif
    std::error_code ec;
    if (directory.empty() || (fs::create_directories(directory, ec), ec)) {
        tried = directory.string();
        return {};
    }
    return directory;
}

}  // namespace qmdtool
