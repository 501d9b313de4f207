// Argument parsing of the qmd5820 tool: pure functions, no board is touched. The whole
// command line can be checked with ParseCommandLine before any command runs.
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
// Appends the channel use "CH:INDEX"; false when malformed or its channel is listed already.
bool AddChannelUse(std::string_view text, std::vector<ChannelUse>& uses);

struct ChannelArguments {
    std::vector<ChannelUse> uses;
    unsigned long interval_ms = 500;
    unsigned long count = 0;  // 0: until interrupted
};

// The channel list of read and watch; `with_options` admits --interval and --count.
std::optional<ChannelArguments> ParseChannelArguments(const std::vector<std::string>& args,
                                                      bool with_options);

constexpr unsigned long kMaxSequences = 1UL << 20;  // per acquire run: at most 32 MiB of codes

struct AcquireArguments {
    std::vector<ChannelUse> uses;
    unsigned long sequences_per_interrupt = 10;
    unsigned long interrupts = 3;
    std::string csv;  // empty or "-": stdout
    bool soft_trigger = false;
};

std::optional<AcquireArguments> ParseAcquireArguments(const std::vector<std::string>& args);

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

std::optional<DatabaseArguments> ParseDatabaseArguments(const std::vector<std::string>& args);

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
    std::vector<SimulatedSetting> settings;
};

// Consumes the options before the command (only where `simulated` is true: the simulated
// board's options); false on a bad option, with `error` saying which.
bool ParseGlobalOptions(const std::vector<std::string>& args, std::size_t& next,
                        GlobalOptions& options, bool simulated, std::string& error);

struct CommandLine {
    GlobalOptions options;
    std::vector<std::string> args;  // the command and its arguments; empty: list
};

// The whole command line (without the program name) checked: options, command, board
// index and every argument of the command. nullopt when it is malformed; `error` then
// names a bad option (empty for any other usage error).
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& argv, bool simulated,
                                            std::string& error);

}  // namespace qmdtool

#endif
