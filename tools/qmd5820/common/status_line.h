// A status line on stderr (acquire's progress, calibrate's phase and live values): redrawn
// in place on a terminal; elsewhere written once per change, or not at all. Messages go on
// lines of their own above it. Safe to use from several threads.
#ifndef QMD5820_TOOL_STATUS_LINE_H
#define QMD5820_TOOL_STATUS_LINE_H

#include <mutex>
#include <string>

namespace qmdtool {

class StatusLine {
public:
    // What a stderr that is not a terminal gets of the status: nothing, or each new key's
    // text once.
    enum Elsewhere { kQuiet, kOncePerKey };

    explicit StatusLine(Elsewhere elsewhere);
    bool terminal() const { return terminal_; }

    void Show(const std::string& text, const void* key = nullptr);
    void Message(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends the status line: kept on its line (keep) or cleared.
    void End(bool keep);

private:
    const bool terminal_;
    const Elsewhere elsewhere_;
    std::mutex mutex_;
    const void* shown_ = nullptr;  // the key last written (not on a terminal)
    bool open_ = false;            // a status is on the terminal's current line
};

}  // namespace qmdtool

#endif
