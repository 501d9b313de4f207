// Standard output and error: whether they are terminals, and whether what was printed
// reached standard output.
#ifndef QMD5820_TOOL_TERMINAL_H
#define QMD5820_TOOL_TERMINAL_H

namespace qmdtool {

// Opens standard input, output and error on the null device where the process was started
// with them closed, so that no file the tool or the library opens later (a lock file, an
// output file, an event) takes descriptor 0, 1 or 2 and receives text meant for them.
// The first thing the tool does.
void OpenClosedStandardDescriptors();

// Standard output must have taken everything: a full disk or a closed pipe is a failure
// (said on stderr).
bool StdoutWritten();

// True when standard output (error) is a terminal that interprets cursor sequences. On
// Windows the console is asked to interpret them (virtual terminal processing, Windows 10
// and later); an older console or a redirected stream gets plain lines.
bool StdoutIsTerminal();
bool StderrIsTerminal();

}  // namespace qmdtool

#endif
