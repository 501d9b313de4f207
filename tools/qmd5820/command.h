// One command of the qmd5820 tool: the arguments it declares on the parser and what it runs.
// The table of every command is commands.cpp; adding a command is one row there plus its
// file.
#ifndef QMD5820_TOOL_COMMAND_H
#define QMD5820_TOOL_COMMAND_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace qmdtool {

// Exit statuses shared by every command.
constexpr int kFailed = 1;        // a library call failed, or output could not be written
constexpr int kBadArguments = 2;  // the usage was printed

// Settings of the simulated board given before the command.
struct SimulatedSetting {
    enum Kind { kPosition, kShortCircuit, kSequencePeriod, kVirtualClock, kFrozenCounter } kind =
        kPosition;
    uint8_t board = 0;
    uint8_t channel = 0;
    double position = 0.0;
    uint32_t period_us = 0;
};

// Options given before the command.
struct GlobalOptions {
    bool moving = false;  // watch, acquire: simulated positions drift
    bool trace = false;
    std::vector<SimulatedSetting> settings;
};

class Board;

// What a command runs with.
struct Invocation {
    const GlobalOptions& options;
    uint8_t board_index = 0;        // commands that take a BOARD
    const Board* board = nullptr;   // commands whose board the tool opens for them
};

// A command's arguments, bound to members of the object itself (the parser is built once
// and reused, so Reset puts every member back to its default before each parse).
class Command {
public:
    virtual ~Command() = default;
    // Adds the arguments after BOARD to the command's subcommand.
    virtual void Declare(CLI::App& command) = 0;
    virtual void Reset() = 0;
    // After a parse that chose this command: converts the texts and checks what the
    // validators of single arguments cannot; returns an error text, or "" when all is well.
    virtual std::string Finish(const CLI::App& command) = 0;
    // Runs the command; returns the exit status.
    virtual int Run(const Invocation& invocation) const = 0;
};

enum class BoardUse {
    kNone,   // no BOARD argument
    kIndex,  // BOARD, used by the command as an index
    kOpen,   // BOARD, opened by the tool before the command runs and closed after it
};

// One row of the table of commands.
struct CommandRow {
    const char* name;
    const char* description;  // one line, for the tool's help
    BoardUse board;
    bool simulator_only;      // there only when the library runs on the simulated board
    std::unique_ptr<Command> (*make)();
};

// The table, in the order of the tool's help (commands.cpp).
std::span<const CommandRow> Commands();

template <class T>
std::unique_ptr<Command> Make() {
    return std::make_unique<T>();
}

}  // namespace qmdtool

#endif
