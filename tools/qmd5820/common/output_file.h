// Files the tool writes: always through a temporary file beside the target that is renamed
// into place once complete, so a failure or an interruption never truncates or removes a
// file the tool did not create. A replaced file keeps its permissions (and, where the
// process may set it, its owner and group). Files that are not the user's to replace (the
// simulated boards' state file and its lock) are refused before anything is written.
#ifndef QMD5820_TOOL_OUTPUT_FILE_H
#define QMD5820_TOOL_OUTPUT_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qmdtool {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // abandons an uncommitted temporary file
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for `target`. "-" means standard output. Refuses a target
    // that exists and is not a regular file (a device, a directory, a pipe). False with
    // `error` set when the file cannot be created.
    bool Open(const std::string& target, std::string& error);

    std::FILE* stream() const { return file_; }
    bool is_stdout() const { return file_ == stdout; }

    // Flushes and checks the stream, then renames the temporary file over the target.
    bool Commit(std::string& error);
    // Commit for what must not be lost (recorded data): when the rename fails the temporary
    // file stays beside the target and `kept_at` names it (empty otherwise).
    bool CommitOrKeep(std::string& error, std::string& kept_at);
    // The file the data go to while the object is open ("" for standard output).
    const std::string& temporary() const { return temporary_; }
    // Closes and removes the temporary file (only it); the target is left as it was.
    void Abandon();

private:
    bool Finish(std::string& error, std::string* kept_at);

    std::FILE* file_ = nullptr;
    std::string target_;
    std::string temporary_;
};

// The files OutputFile refuses to write (compared by device and inode where they exist,
// else by absolute path); `list` is asked at each Open. None when not set.
void SetProtectedFiles(std::vector<std::string> (*list)());
// The protected file that `target` names, or "" when it names none.
std::string ProtectedFileNamed(const std::string& target);

// Writes `bytes` to `target` through OutputFile; false with `error` set on any failure.
bool WriteFileAtomically(const std::string& target, const std::vector<uint8_t>& bytes,
                         std::string& error);
// The whole content of a regular file; false with `error` set.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

}  // namespace qmdtool

#endif
