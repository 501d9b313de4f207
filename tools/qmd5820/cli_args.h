// Argument parsing of the qmd5820 tool: pure functions, no board is touched. The whole
// command line is checked with ParseCommandLine before any command runs.
#ifndef QMD5820_TOOL_CLI_ARGS_H
#define QMD5820_TOOL_CLI_ARGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qmdtool {

// A decimal or 0x-prefixed hexadecimal integer from 0 to `max`; no sign, no spaces.
std::optional<unsigned long> ParseUnsigned(std::string_view text, unsigned long max);
std::optional<uint8_t> ParseByte(std::string_view text, unsigned long max = 0xFF);
// A finite decimal number ("1.25", "-7.5", "1e3").
std::optional<double> ParseReal(std::string_view text);

struct ChannelUse {
    uint8_t channel = 0;
    uint8_t transducer = 0;
};

// "CH:INDEX": channel 0 to 15 and a transducer index.
std::optional<ChannelUse> ParseChannelUse(std::string_view text);

// read and watch
struct ChannelArguments {
    std::vector<ChannelUse> uses;
    unsigned long interval_ms = 500;
    unsigned long count = 0;  // 0: until interrupted
};

struct AcquireArguments {
    std::vector<ChannelUse> uses;
    unsigned long sequences_per_interrupt = 10;
    unsigned long interrupts = 3;  // 0: until interrupted
    std::string csv;               // empty or "-": stdout
    bool soft_trigger = false;
};

// db BOARD list | show INDEX | delete INDEX [--backup FILE] |
// add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE [--backup FILE] |
// backup FILE | restore FILE [--force] | check
struct DatabaseArguments {
    std::string what;
    uint8_t index = 0;
    double values[5] = {};  // add: range, sensitivity, frequency, primary voltage, impedance
    std::string file;       // backup, restore: the file; add, delete: --backup (may be empty)
    bool force = false;     // restore: also onto another board
};

// outputs BOARD [on|off MASK]
struct OutputsArguments {
    bool change = false;
    bool on = false;
    uint8_t mask = 0;
};

// timer BOARD [start BASE COUNT [IRQ] | stop | trigger | status]
struct TimerArguments {
    std::string what = "status";
    uint8_t base = 0;
    uint16_t count = 0;
    uint8_t irq = 0;
};

// Settings of the simulated board given before the command.
struct SimulatedSetting {
    enum Kind { kPosition, kShortCircuit, kSequencePeriod, kVirtualClock, kFrozenCounter } kind =
        kPosition;
    uint8_t board = 0;
    uint8_t channel = 0;
    double position = 0.0;
    uint32_t period_us = 0;
};

struct GlobalOptions {
    bool moving = false;
    bool trace = false;
    std::vector<SimulatedSetting> settings;
};

struct CommandLine {
    enum Kind { kRun, kHelp, kVersion, kError } kind = kRun;
    // kHelp: the help text for stdout; kError: the reason, then a short usage, for stderr.
    std::string text;
    GlobalOptions options;
    std::string command = "list";  // list info inputs outputs timer db read watch acquire
                                   // line calibrate sim
    uint8_t board = 0;
    bool json = false;  // list, info, db list, read
    ChannelArguments channels;
    AcquireArguments acquire;
    DatabaseArguments database;
    OutputsArguments outputs;
    TimerArguments timer;
    std::vector<std::string> actions;  // line: the actions; calibrate: its arguments;
                                       // sim: reset | show
};

// The whole command line (without the program name) checked: options, command, board
// index and every argument of the command. `simulated` admits the simulated board's options
// and the sim command. `full_usage` is the tool's whole help text.
CommandLine ParseCommandLine(const std::vector<std::string>& argv, bool simulated,
                             const std::string& full_usage);

}  // namespace qmdtool

#endif
