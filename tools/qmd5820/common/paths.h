// Where the tool keeps what belongs to the user: the per-user state directory.
#ifndef QMD5820_TOOL_PATHS_H
#define QMD5820_TOOL_PATHS_H

#include <filesystem>
#include <string>

namespace qmdtool {

// $XDG_STATE_HOME/qmd5820/SUB, else ~/.local/state/qmd5820/SUB (%LOCALAPPDATA%\qmd5820\SUB
// on Windows), created when missing. Empty when there is none or it cannot be created;
// `tried` is then the directory that could not be created ("" when none is defined).
std::filesystem::path UserStateDirectory(const std::string& sub, std::string& tried);

// Why there is no per-user state directory when `tried` came back empty.
#if defined(_WIN32)
inline constexpr const char* kNoStateDirectory = "LOCALAPPDATA is not set";
#else
inline constexpr const char* kNoStateDirectory = "neither XDG_STATE_HOME nor HOME is set";
#endif

}  // namespace qmdtool

#endif
