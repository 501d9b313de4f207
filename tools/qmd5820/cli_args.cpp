// The qmd5820 tool's command line on CLI11 (see cli_args.h): every command is a subcommand
// with its own --help; every value is checked by a validator that says what was expected,
// so an error names the argument and the reason. The usage lines are made from what the
// commands declared, so they cannot drift from what the parser accepts.
#include "cli_args.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/arguments.h"
#include "usage.h"

namespace qmdtool {
namespace {


// "BOARD:CH=VALUE"
std::optional<SimulatedSetting> ParsePosition(std::string_view text) {
    const std::size_t colon = text.find(':');
    const std::size_t equals = text.find('=');
    if (colon == std::string_view::npos || equals == std::string_view::npos || equals < colon) {
        return std::nullopt;
    }
    const std::optional<uint8_t> board = ParseByte(text.substr(0, colon));
    const std::optional<uint8_t> channel = ParseByte(text.substr(colon + 1, equals - colon - 1), 15);
    const std::optional<double> position = ParseReal(text.substr(equals + 1));
    if (!board || !channel || !position) return std::nullopt;
    SimulatedSetting setting;
    setting.kind = SimulatedSetting::kPosition;
    setting.board = *board;
    setting.channel = *channel;
    setting.position = *position;
    return setting;
}

// "BOARD:US", US above 0
std::optional<SimulatedSetting> ParseSequencePeriod(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint8_t> board = ParseByte(text.substr(0, colon));
    const std::optional<unsigned long> period = ParseUnsigned(text.substr(colon + 1), 0xFFFFFFFFUL);
    if (!board || !period || *period == 0) return std::nullopt;
    SimulatedSetting setting;
    setting.kind = SimulatedSetting::kSequencePeriod;
    setting.board = *board;
    setting.period_us = static_cast<uint32_t>(*period);
    return setting;
}

// The most deeply selected subcommand.
const CLI::App* Deepest(const CLI::App& app) {
    const CLI::App* deepest = &app;
    while (!deepest->get_subcommands().empty()) deepest = deepest->get_subcommands().front();
    return deepest;
}

constexpr const char* kGeneralUsage = "usage: qmd5820 [options] [command] [arguments]\n"
                                      "Run 'qmd5820 --help' for the commands and options.\n";

CommandLine Error(const std::string& reason, const CLI::App& app, bool before_command = false) {
    CommandLine line;
    line.kind = CommandLine::kError;
    line.text = "qmd5820: " + reason + "\n";
    const CLI::App* deepest = Deepest(app);
    if (before_command || deepest == &app) {
        line.text += kGeneralUsage;
    } else {
        line.text += "usage: qmd5820 " + Synopsis(*deepest) + "\nRun 'qmd5820 " + Path(*deepest) +
                     " --help' for details.\n";
    }
    return line;
}

// Whether `reason` is about an argument given before the command (a tool option).
bool AboutOptions(const std::string& reason, const std::vector<std::string>& argv,
                  const CLI::App& app) {
    const CLI::App* command = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    for (const std::string& arg : argv) {
        if (command != nullptr && arg == command->get_name()) return false;
        if (arg.starts_with("-") && reason.find(arg) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

struct CommandLineParser::Impl {
    // What the options before the command are bound to.
    struct Globals {
        bool version = false;
        bool trace = false;
        bool moving = false;
        bool virtual_clock = false;
        std::vector<std::string> positions, short_circuits, periods, frozen;
    };
    struct Entry {
        const CommandRow* row;
        CLI::App* app;
        std::unique_ptr<Command> command;
    };

    CLI::App app{"QMD5820 boards: identity, digital I/O, timer, transducer database, channels, "
                 "sequence acquisition, primary line, calibration",
                 "qmd5820"};
    Globals globals;
    std::string board_text = "0";
    std::vector<Entry> entries;

    void Reset() {
        globals = Globals{};
        board_text = "0";
        for (Entry& entry : entries) entry.command->Reset();
        app.clear();
    }
    void DeclareOptions(bool simulated);
    CommandLine Finish();
};

void CommandLineParser::Impl::DeclareOptions(bool simulated) {
    Globals& g = globals;
    app.add_flag("--version", g.version, "the tool, library, driver and firmware versions")
        ->group(kGeneralOptions);
    if (!simulated) return;
    // The library's request tracing is there only in the library on the simulated board.
    app.add_flag("--trace", g.trace, "print every driver request and its answer to stderr")
        ->group(kGeneralOptions);
    app.add_option("--position", g.positions,
                   "set the simulated transducer position of a channel, in metric units "
                   "(repeatable)")
        ->allow_extra_args(false)
        ->type_name("BOARD:CH=VALUE")
        ->group(kSimulatorOptions)
        ->check(Expect([](const std::string& t) { return ParsePosition(t).has_value(); },
                       "BOARD:CH=VALUE (channel 0 to 15, a finite number)"));
    app.add_flag("--moving", g.moving, "watch, acquire: positions drift slowly around their set values")
        ->group(kSimulatorOptions);
    app.add_option("--short-circuit", g.short_circuits, "latch a short circuit on the board's primary line")
        ->allow_extra_args(false)
        ->type_name("BOARD")
        ->group(kSimulatorOptions)
        ->check(BoardIndex());
    app.add_option("--sequence-period", g.periods, "acquire: one sequence takes US microseconds (default 1000)")
        ->allow_extra_args(false)
        ->type_name("BOARD:US")
        ->group(kSimulatorOptions)
        ->check(Expect([](const std::string& t) { return ParseSequencePeriod(t).has_value(); },
                       "BOARD:US (US above 0)"));
    app.add_flag("--virtual-clock", g.virtual_clock,
                 "the simulated board runs on a virtual clock: its waits (calibrate, line) take "
                 "no real time")
        ->group(kSimulatorOptions);
    app.add_option("--frozen-counter", g.frozen, "calibrate: the board's live values are never refreshed")
        ->allow_extra_args(false)
        ->type_name("BOARD")
        ->group(kSimulatorOptions)
        ->check(BoardIndex());
}

CommandLineParser::CommandLineParser(std::span<const CommandRow> commands, bool simulated)
    : impl_(std::make_unique<Impl>()) {
    CLI::App& app = impl_->app;
    app.formatter(std::make_shared<UsageFormatter>());
    app.require_subcommand(0, 1);
    impl_->DeclareOptions(simulated);
    std::string footer = "BOARD is a board index (0, 1, ...), CH a channel 0 to 15, INDEX a transducer "
                         "index as\nlisted by 'db BOARD list'. Integers are decimal or 0x-prefixed "
                         "hexadecimal.\n";
    if (simulated) {
        footer += "The simulated boards keep their EEPROM, outputs and potentiometers in a state "
                  "file\n(QMD5820_SIM_STATE, or a per-user default; 'off': none); 'sim reset' "
                  "forgets them.\n";
    }
    for (const CommandRow& row : commands) {
        if (row.simulator_only && !simulated) continue;
        CLI::App* sub = app.add_subcommand(row.name, row.description);
        if (row.board != BoardUse::kNone) {
            sub->add_option("BOARD", impl_->board_text, "board index (0, 1, ...)")
                ->required()
                ->type_name("")
                ->check(BoardIndex());
        }
        std::unique_ptr<Command> command = row.make();
        command->Declare(*sub);
        impl_->entries.push_back({&row, sub, std::move(command)});
    }
    app.footer(footer);  // after the commands: a subcommand takes its parent's footer
}

CommandLineParser::~CommandLineParser() = default;

std::string CommandLineParser::Help() const { return FullHelp(impl_->app); }

CommandLine CommandLineParser::Parse(const std::vector<std::string>& argv) {
    CommandLine line;
    if (argv.size() == 1 && argv[0] == "help") {
        line.kind = CommandLine::kHelp;
        line.text = Help();
        return line;
    }
    impl_->Reset();
    CLI::App& app = impl_->app;
    try {
        app.parse(std::vector<std::string>(argv.rbegin(), argv.rend()));
    } catch (const CLI::CallForHelp&) {
        const CLI::App* deepest = Deepest(app);
        line.kind = CommandLine::kHelp;
        line.text = deepest == &app ? Help() : deepest->help();
        return line;
    } catch (const CLI::ExtrasError& e) {
        if (Deepest(app) == &app && !argv.empty()) {
            for (const std::string& arg : argv) {
                if (!arg.starts_with("-")) return Error("unknown command '" + arg + "'", app);
            }
        }
        return Error(e.what(), app, AboutOptions(e.what(), argv, app));
    } catch (const CLI::ParseError& e) {
        return Error(e.what(), app, AboutOptions(e.what(), argv, app));
    }
    return impl_->Finish();
}

CommandLine CommandLineParser::Impl::Finish() {
    CommandLine line;
    if (globals.version) {
        line.kind = CommandLine::kVersion;
        return line;
    }
    line.options.trace = globals.trace;
    line.options.moving = globals.moving;
    std::vector<SimulatedSetting>& settings = line.options.settings;
    for (const std::string& text : globals.positions) settings.push_back(*ParsePosition(text));
    for (const std::string& text : globals.short_circuits) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kShortCircuit;
        setting.board = *ParseByte(text);
        settings.push_back(setting);
    }
    for (const std::string& text : globals.periods) settings.push_back(*ParseSequencePeriod(text));
    if (globals.virtual_clock) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kVirtualClock;
        settings.push_back(setting);
    }
    for (const std::string& text : globals.frozen) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kFrozenCounter;
        setting.board = *ParseByte(text);
        settings.push_back(setting);
    }

    // No command: list.
    const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    const auto entry = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
        return chosen != nullptr ? e.app == chosen : std::string_view(e.row->name) == "list";
    });
    if (entry == entries.end()) return line;
    line.row = entry->row;
    line.command = entry->command.get();
    if (entry->row->board != BoardUse::kNone) line.board = *ParseByte(board_text);
    const std::string error = entry->command->Finish(*entry->app);
    if (!error.empty()) return Error(error, app);
    return line;
}

}  // namespace qmdtool
