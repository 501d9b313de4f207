// The qmd5820 tool's command line: the options before the command and every command's
// arguments, checked before any command runs. The parser is the one source of the tool's
// usage texts: the help, each command's --help and the short usage after an error come from
// the descriptions given to it. Built once, it parses any number of command lines.
#ifndef QMD5820_TOOL_CLI_ARGS_H
#define QMD5820_TOOL_CLI_ARGS_H

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "command.h"

namespace qmdtool {

struct CommandLine {
    enum Kind { kRun, kHelp, kVersion, kError } kind = kRun;
    // kHelp: the help text for stdout; kError: the reason, then a short usage, for stderr.
    std::string text;
    GlobalOptions options;
    const CommandRow* row = nullptr;   // the command (list when none is given)
    const Command* command = nullptr;  // its arguments; owned by the parser, valid until the
                                       // parser's next Parse
    uint8_t board = 0;                 // commands that take a BOARD

    std::string name() const { return row != nullptr ? row->name : ""; }
};

class CommandLineParser {
public:
    // `simulated` admits the simulated board's options and the commands that need it.
    CommandLineParser(std::span<const CommandRow> commands, bool simulated);
    ~CommandLineParser();
    CommandLineParser(const CommandLineParser&) = delete;
    CommandLineParser& operator=(const CommandLineParser&) = delete;

    // The whole command line (without the program name) checked: options, command, board
    // index and every argument of the command.
    CommandLine Parse(const std::vector<std::string>& argv);
    // The tool's help (qmd5820 --help).
    std::string Help() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qmdtool

#endif
