// A status line on stderr (see status_line.h).
#include "common/status_line.h"

#include <cstdarg>
#include <cstdio>

#include "common/terminal.h"

namespace qmdtool {

StatusLine::StatusLine(Elsewhere elsewhere) : terminal_(StderrIsTerminal()), elsewhere_(elsewhere) {}

void StatusLine::Show(const std::string& text, const void* key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (terminal_) {
        std::fprintf(stderr, "\r\x1b[2K%s", text.c_str());
        open_ = true;
    } else {
        if (elsewhere_ == kQuiet || (key != nullptr && key == shown_)) return;
        shown_ = key;
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void StatusLine::Message(const char* format, ...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (open_) std::fputs("\r\x1b[2K", stderr);
    open_ = false;
    shown_ = nullptr;  // the status is written again after a message
    va_list list;
    va_start(list, format);
    std::vfprintf(stderr, format, list);
    va_end(list);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void StatusLine::End(bool keep) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (open_) std::fputs(keep ? "\n" : "\r\x1b[2K", stderr);
    open_ = false;
    std::fflush(stderr);
}

}  // namespace qmdtool
