// qmd5820 - command-line tool for QMD5820 boards: list the boards with their identity and
// versions, read and switch digital I/O, run the timer, look after the transducer database,
// read transducer channels in metric units, once or continuously, run a sequence
// acquisition into CSV, test, rearm and calibrate the primary line and calibrate transducer
// types. The commands are the table in commands.cpp; this file checks the command line,
// applies the options before the command and runs it.
//
// Exit status: 0 success, 1 a library call failed (its last-error text is printed),
// 2 bad arguments (the usage is printed), 128 + the signal's number for a command ended by
// Ctrl-C, SIGTERM or SIGHUP.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli_args.h"
#include "commands/list_info.h"
#include "common/board.h"
#include "common/output_file.h"
#include "common/simulator.h"
#include "common/terminal.h"

namespace {

using namespace qmdtool;

int Run(const std::vector<std::string>& arguments) {
    CommandLineParser parser(Commands(), kSimulator);
    const CommandLine line = parser.Parse(arguments);
    switch (line.kind) {
        case CommandLine::kHelp:
            std::fputs(line.text.c_str(), stdout);
            return 0;
        case CommandLine::kError:
            std::fputs(line.text.c_str(), stderr);
            return kBadArguments;
        case CommandLine::kVersion:
            return PrintVersions();
        case CommandLine::kRun:
            break;
    }
    if (line.options.trace) TraceRequests();
    for (const SimulatedSetting& setting : line.options.settings) {
        if (!ApplySetting(setting)) {
            std::fputs("usage: qmd5820 [options] [command] [arguments]\n", stderr);
            return kBadArguments;
        }
    }
    std::optional<Board> board;
    if (line.row->board == BoardUse::kOpen) {
        board.emplace(line.board);
        if (!board->ok()) return kFailed;
    }
    return line.command->Run({line.options, line.board, board ? &*board : nullptr});
}

}  // namespace

int main(int argc, char** argv) {
    OpenClosedStandardDescriptors();
    SetProtectedFiles(SimulatorStateFiles);
    const int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    // Whatever the command printed must have reached standard output.
    if (status == 0 && !StdoutWritten()) return kFailed;
    return status;
}
