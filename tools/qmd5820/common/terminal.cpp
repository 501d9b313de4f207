// Standard output and error (see terminal.h).
#include "common/terminal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qmdtool {
namespace {

#if defined(_WIN32)
bool Terminal(DWORD which) {
    const HANDLE stream = GetStdHandle(which);
    DWORD mode = 0;
    if (stream == INVALID_HANDLE_VALUE || stream == nullptr || !GetConsoleMode(stream, &mode)) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    return SetConsoleMode(stream, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#endif

}  // namespace

void OpenClosedStandardDescriptors() {
#if !defined(_WIN32)
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free descriptor: this one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != -1 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
#endif
}

bool StdoutWritten() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    std::fprintf(stderr, "qmd5820: standard output cannot be written: %s\n", std::strerror(errno));
    return false;
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return Terminal(STD_OUTPUT_HANDLE);
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

bool StderrIsTerminal() {
#if defined(_WIN32)
    return Terminal(STD_ERROR_HANDLE);
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace qmdtool
