// Argument parsing of the qmd5820 tool (see cli_args.h), on CLI11: every command is a
// subcommand with its own --help; every value is checked by a validator that says what was
// expected, so an error names the argument and the reason.
#include "cli_args.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <functional>
#include <map>
#include <system_error>

namespace qmdtool {

std::optional<unsigned long> ParseUnsigned(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr != end || value > max) return std::nullopt;
    return value;
}

std::optional<uint8_t> ParseByte(std::string_view text, unsigned long max) {
    const std::optional<unsigned long> value = ParseUnsigned(text, max);
    if (!value) return std::nullopt;
    return static_cast<uint8_t>(*value);
}

std::optional<double> ParseReal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<ChannelUse> ParseChannelUse(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint8_t> channel = ParseByte(text.substr(0, colon), 15);
    const std::optional<uint8_t> transducer = ParseByte(text.substr(colon + 1));
    if (!channel || !transducer) return std::nullopt;
    return ChannelUse{*channel, *transducer};
}

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

// A validator that accepts what `ok` accepts and otherwise says what was expected.
CLI::Validator Expect(std::function<bool(const std::string&)> ok, const std::string& expected) {
    return CLI::Validator(
        [ok, expected](std::string& text) {
            return ok(text) ? std::string() : "expected " + expected + ", got '" + text + "'";
        },
        "", "");
}

CLI::Validator Unsigned(unsigned long min, unsigned long max, const std::string& what) {
    return Expect(
        [min, max](const std::string& text) {
            const std::optional<unsigned long> value = ParseUnsigned(text, max);
            return value && *value >= min;
        },
        what + " from " + std::to_string(min) + " to " + std::to_string(max) +
            " (decimal or 0x-hexadecimal)");
}

const CLI::Validator& BoardIndex() {
    static const CLI::Validator board = Unsigned(0, 255, "a board index");
    return board;
}

const CLI::Validator& Real() {
    static const CLI::Validator real =
        Expect([](const std::string& text) { return ParseReal(text).has_value(); },
               "a finite decimal number");
    return real;
}

const CLI::Validator& NotEmpty() {
    static const CLI::Validator file =
        Expect([](const std::string& text) { return !text.empty(); }, "a file name");
    return file;
}

unsigned long Number(const std::string& text) { return ParseUnsigned(text, ~0UL).value_or(0); }

// The channel list of read, watch and acquire; an error text when a channel repeats.
std::string ChannelUses(const std::vector<std::string>& texts, std::vector<ChannelUse>& uses) {
    for (const std::string& text : texts) {
        const ChannelUse use = *ParseChannelUse(text);
        for (const ChannelUse& listed : uses) {
            if (listed.channel == use.channel) {
                return "CH:INDEX: channel " + std::to_string(use.channel) + " is listed twice";
            }
        }
        uses.push_back(use);
    }
    return {};
}

std::string CheckLine(const std::vector<std::string>& actions) {
    for (std::size_t i = 0; i < actions.size(); ++i) {
        if (actions[i] == "interrupts") {
            if (i + 1 == actions.size() || (actions[i + 1] != "on" && actions[i + 1] != "off")) {
                return "ACTION: 'interrupts' must be followed by on or off";
            }
            ++i;
        } else if (actions[i] != "test" && actions[i] != "rearm" && actions[i] != "calibrate") {
            return "ACTION: expected test, rearm, calibrate or interrupts on|off, got '" +
                   actions[i] + "'";
        }
    }
    return {};
}

// One line of usage per command, shown after an error in it.
const std::map<std::string, std::string>& Synopses() {
    static const std::map<std::string, std::string> synopses = {
        {"list", "list [--json]"},
        {"info", "info BOARD [--json]"},
        {"inputs", "inputs BOARD"},
        {"outputs", "outputs BOARD [on|off MASK]"},
        {"timer", "timer BOARD [start BASE COUNT [IRQ] | stop | trigger | status]"},
        {"db", "db BOARD list|show|add|delete|backup|restore|check ..."},
        {"list ", "db BOARD list [--json]"},
        {"show", "db BOARD show INDEX"},
        {"add", "db BOARD add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE [--backup FILE]"},
        {"delete", "db BOARD delete INDEX [--backup FILE]"},
        {"backup", "db BOARD backup FILE"},
        {"restore", "db BOARD restore FILE [--force]"},
        {"check", "db BOARD check"},
        {"start", "timer BOARD start BASE COUNT [IRQ]"},
        {"read", "read BOARD CH:INDEX... [--json]"},
        {"watch", "watch BOARD CH:INDEX... [--interval MS] [--count N]"},
        {"acquire", "acquire BOARD CH:INDEX... [--sequences-per-interrupt N] [--interrupts M] "
                    "[--csv FILE] [--trigger soft|none]"},
        {"line", "line BOARD ACTION..."},
        {"calibrate", "calibrate BOARD INDEX CH0[,CH1] --position P [--impedance Z] "
                      "[--model 0|1] [--interactive]"},
        {"sim", "sim reset|show"},
    };
    return synopses;
}

// The most deeply selected subcommand.
const CLI::App* Deepest(const CLI::App& app) {
    const CLI::App* deepest = &app;
    while (!deepest->get_subcommands().empty()) deepest = deepest->get_subcommands().front();
    return deepest;
}

std::string ShortUsage(const CLI::App& app) {
    const CLI::App* deepest = Deepest(app);
    if (deepest == &app) {
        return "usage: qmd5820 [options] [command] [arguments]\n"
               "Run 'qmd5820 --help' for the commands and options.\n";
    }
    std::string name = deepest->get_name();
    std::string path = name;
    if (deepest->get_parent() != nullptr && deepest->get_parent() != &app) {
        path = deepest->get_parent()->get_name() + " BOARD " + name;
        if (name == "list") name = "list ";
    }
    const auto found = Synopses().find(name);
    const std::string synopsis = found != Synopses().end() ? found->second : path;
    return "usage: qmd5820 " + synopsis + "\nRun 'qmd5820 " + path + " --help' for details.\n";
}

CommandLine Error(const std::string& reason, const CLI::App& app, bool before_command = false) {
    CommandLine line;
    line.kind = CommandLine::kError;
    line.text = "qmd5820: " + reason + "\n";
    if (before_command) {
        line.text += "usage: qmd5820 [options] [command] [arguments]\n"
                     "Run 'qmd5820 --help' for the commands and options.\n";
    } else {
        line.text += ShortUsage(app);
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

CommandLine ParseCommandLine(const std::vector<std::string>& argv, bool simulated,
                             const std::string& full_usage) {
    CommandLine line;
    if (argv.size() == 1 && argv[0] == "help") {
        line.kind = CommandLine::kHelp;
        line.text = full_usage;
        return line;
    }

    CLI::App app("QMD5820 boards: identity, digital I/O, timer, transducer database, "
                 "channels, sequence acquisition, primary line, calibration",
                 "qmd5820");
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_flag("--version", version, "the tool, library, driver and firmware versions");
    // The library's request tracing is there on Linux only (not in the Windows DLL's exports).
    if (simulated) {
        app.add_flag("--trace", line.options.trace, "print every driver request to stderr");
    }

    std::vector<std::string> positions, short_circuits, periods, frozen;
    bool virtual_clock = false;
    if (simulated) {
        app.add_option("--position", positions, "simulated position BOARD:CH=VALUE")
            ->allow_extra_args(false)
            ->check(Expect([](const std::string& t) { return ParsePosition(t).has_value(); },
                           "BOARD:CH=VALUE (channel 0 to 15, a finite number)"));
        app.add_flag("--moving", line.options.moving, "watch, acquire: positions drift");
        app.add_option("--short-circuit", short_circuits, "latch a short circuit on BOARD")
            ->allow_extra_args(false)
            ->check(BoardIndex());
        app.add_option("--sequence-period", periods, "one sequence takes US microseconds")
            ->allow_extra_args(false)
            ->check(Expect(
                [](const std::string& t) { return ParseSequencePeriod(t).has_value(); },
                "BOARD:US (US above 0)"));
        app.add_flag("--virtual-clock", virtual_clock, "the simulated board's waits take no time");
        app.add_option("--frozen-counter", frozen, "BOARD's live values are never refreshed")
            ->allow_extra_args(false)
            ->check(BoardIndex());
    }

    // Commands
    std::string board_text = "0";
    auto add_board = [&](CLI::App* command) {
        command->add_option("BOARD", board_text, "board index (0, 1, ...)")
            ->required()
            ->check(BoardIndex());
    };
    const CLI::Validator channel_use =
        Expect([](const std::string& t) { return ParseChannelUse(t).has_value(); },
               "CH:INDEX (channel 0 to 15, transducer index 0 to 255)");

    CLI::App* list = app.add_subcommand("list", "boards with identity and versions (default)");
    list->add_flag("--json", line.json, "JSON output");
    CLI::App* info = app.add_subcommand("info", "identity and versions of one board");
    add_board(info);
    info->add_flag("--json", line.json, "JSON output");
    CLI::App* inputs = app.add_subcommand("inputs", "read the 8 digital inputs");
    add_board(inputs);

    CLI::App* outputs = app.add_subcommand("outputs", "read, or switch the outputs in MASK");
    add_board(outputs);
    std::string outputs_action, outputs_mask;
    outputs->add_option("ACTION", outputs_action, "on or off")
        ->check(Expect([](const std::string& t) { return t == "on" || t == "off"; }, "on or off"));
    outputs->add_option("MASK", outputs_mask, "the outputs to switch")
        ->check(Unsigned(0, 255, "a mask"));

    CLI::App* timer = app.add_subcommand("timer", "run the timer");
    add_board(timer);
    timer->require_subcommand(0, 1);
    CLI::App* timer_start = timer->add_subcommand("start", "start the timer");
    std::string base_text, count_text, irq_text = "0";
    timer_start->add_option("BASE", base_text, "time base")->required()->check(Unsigned(0, 255, "a time base"));
    timer_start->add_option("COUNT", count_text, "count")->required()->check(Unsigned(0, 0xFFFF, "a count"));
    timer_start->add_option("IRQ", irq_text, "interrupt mode")->check(Unsigned(0, 255, "an interrupt mode"));
    timer->add_subcommand("stop", "stop the timer");
    timer->add_subcommand("trigger", "trigger the timer");
    timer->add_subcommand("status", "the timer's status (default)");

    CLI::App* db = app.add_subcommand("db", "the transducer database in the board's EEPROM");
    add_board(db);
    db->require_subcommand(1, 1);
    std::string index_text, file_text, backup_text;
    std::vector<std::string> value_texts(5);
    bool force = false;
    CLI::App* db_list = db->add_subcommand("list", "transducer types in the database");
    db_list->add_flag("--json", line.json, "JSON output");
    CLI::App* db_show = db->add_subcommand("show", "one transducer type");
    db_show->add_option("INDEX", index_text, "transducer index")->required()->check(Unsigned(0, 255, "a transducer index"));
    CLI::App* db_add = db->add_subcommand("add", "add a transducer type (EEPROM saved first)");
    db_add->add_option("INDEX", index_text, "transducer index")->required()->check(Unsigned(0, 255, "a transducer index"));
    static const char* const kValueNames[5] = {"RANGE", "SENSITIVITY", "FREQUENCY", "VOLTAGE",
                                               "IMPEDANCE"};
    static const char* const kValueHelp[5] = {"range, metric units", "sensitivity, mV/V per unit",
                                              "primary frequency, Hz", "primary voltage, V",
                                              "impedance, ohm"};
    for (std::size_t i = 0; i < 5; ++i) {
        db_add->add_option(kValueNames[i], value_texts[i], kValueHelp[i])->required()->check(Real());
    }
    CLI::App* db_delete = db->add_subcommand("delete", "delete a transducer type (EEPROM saved first)");
    db_delete->add_option("INDEX", index_text, "transducer index")->required()->check(Unsigned(0, 255, "a transducer index"));
    for (CLI::App* change : {db_add, db_delete}) {
        change->add_option("--backup", backup_text, "save the EEPROM to FILE first")
            ->check(NotEmpty())
            ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
    CLI::App* db_backup = db->add_subcommand("backup", "save the board's whole EEPROM to FILE");
    db_backup->add_option("FILE", file_text, "backup file")->required()->check(NotEmpty());
    CLI::App* db_restore = db->add_subcommand("restore", "write a backup back and verify");
    db_restore->add_option("FILE", file_text, "backup file")->required()->check(NotEmpty());
    db_restore->add_flag("--force", force, "also a backup of another board")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    db->add_subcommand("check", "check the transducer database");

    std::vector<std::string> use_texts;
    CLI::App* read = app.add_subcommand("read", "initialise channels and read them once");
    add_board(read);
    read->add_option("CH:INDEX", use_texts, "channel CH with transducer type INDEX")
        ->required()
        ->check(channel_use);
    read->add_flag("--json", line.json, "JSON output");

    std::string interval_text = "500", watch_count_text;
    CLI::App* watch = app.add_subcommand("watch", "read channels repeatedly");
    add_board(watch);
    watch->add_option("CH:INDEX", use_texts, "channel CH with transducer type INDEX")
        ->required()
        ->check(channel_use);
    watch->add_option("--interval", interval_text, "milliseconds between refreshes (500)")
        ->check(Unsigned(1, 3600000, "milliseconds"));
    watch->add_option("--count", watch_count_text, "refreshes (default: until Ctrl-C)")
        ->check(Unsigned(1, 0xFFFFFFFFUL, "a count"));

    std::string per_interrupt_text = "10", interrupts_text = "3", trigger = "none";
    CLI::App* acquire = app.add_subcommand("acquire", "sequence acquisition into CSV");
    add_board(acquire);
    acquire->add_option("CH:INDEX", use_texts, "channel CH with transducer type INDEX")
        ->required()
        ->check(channel_use);
    acquire->add_option("--sequences-per-interrupt", per_interrupt_text,
                        "sequences per interrupt (10)")
        ->check(Unsigned(1, 0xFFFF, "a number of sequences"));
    acquire->add_option("--interrupts", interrupts_text,
                        "interrupts to record (3); 0: until Ctrl-C or SIGTERM")
        ->check(Unsigned(0, 0xFFFFFFFFUL, "a number of interrupts"));
    acquire->add_option("--csv", line.acquire.csv, "CSV file (default: stdout)")->check(NotEmpty());
    acquire->add_option("--trigger", trigger, "soft or none (default)")
        ->check(Expect([](const std::string& t) { return t == "soft" || t == "none"; },
                       "soft or none"));

    CLI::App* line_command = app.add_subcommand("line", "primary line: test, rearm, calibrate, "
                                                        "interrupts on|off");
    add_board(line_command);
    line_command->add_option("ACTION", line.actions, "actions, in order")->required();

    // calibrate: checked here so that errors are named; the command gets its arguments as
    // given (its own --position is not the simulated board's).
    CLI::App* calibrate = app.add_subcommand("calibrate", "calibrate a transducer type");
    add_board(calibrate);
    std::string cal_index, cal_channels, cal_position, cal_impedance, cal_model;
    bool cal_interactive = false;
    calibrate->add_option("INDEX", cal_index, "transducer index")
        ->required()
        ->check(Unsigned(0, 255, "a transducer index"));
    calibrate->add_option("CHANNELS", cal_channels, "CH0[,CH1]: channel 0 to 7, optionally one 8 to 15")
        ->required()
        ->check(Expect(
            [](const std::string& t) {
                const std::size_t comma = t.find(',');
                if (!ParseUnsigned(std::string_view(t).substr(0, comma), 7)) return false;
                if (comma == std::string::npos) return true;
                const auto ch1 = ParseUnsigned(std::string_view(t).substr(comma + 1), 15);
                return ch1 && *ch1 >= 8;
            },
            "CH0[,CH1] (CH0 0 to 7, CH1 8 to 15)"));
    calibrate->add_option("--position", cal_position, "where the transducer stands (not 0)")
        ->required()
        ->check(Expect(
            [](const std::string& t) {
                const std::optional<double> p = ParseReal(t);
                return p && *p != 0.0;
            },
            "a finite number other than 0"));
    CLI::Option* impedance = calibrate->add_option("--impedance", cal_impedance, "impedance (1)")
        ->check(Unsigned(1, 0xFFFFFFFFUL, "an impedance"));
    CLI::Option* model = calibrate->add_option("--model", cal_model, "transducer model 0 or 1")
        ->check(Unsigned(0, 1, "a transducer model"));
    calibrate->add_flag("--interactive", cal_interactive, "step by step instead of the worker")
        ->excludes(impedance)
        ->excludes(model);

    CLI::App* sim = nullptr;
    if (simulated) {
        sim = app.add_subcommand("sim", "the simulated boards' saved state");
        sim->require_subcommand(1, 1);
        sim->add_subcommand("reset", "back to the factory state");
        sim->add_subcommand("show", "print the saved state");
    }

    std::vector<std::string> reversed(argv.rbegin(), argv.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        const CLI::App* deepest = Deepest(app);
        line.kind = CommandLine::kHelp;
        if (deepest == &app) {
            line.text = full_usage;
            return line;
        }
        // "Usage: add ..." names the whole command: "usage: qmd5820 db BOARD add ...".
        std::string path = deepest->get_name();
        for (const CLI::App* parent = deepest->get_parent(); parent != nullptr && parent != &app;
             parent = parent->get_parent()) {
            path = parent->get_name() + " BOARD " + path;
        }
        line.text = deepest->help();
        const std::string prefix = "Usage: " + deepest->get_name();
        const std::size_t at = line.text.find(prefix);
        if (at != std::string::npos) line.text.replace(at, prefix.size(), "usage: qmd5820 " + path);
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
    if (version) {
        line.kind = CommandLine::kVersion;
        return line;
    }

    for (const std::string& text : positions) line.options.settings.push_back(*ParsePosition(text));
    for (const std::string& text : short_circuits) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kShortCircuit;
        setting.board = *ParseByte(text);
        line.options.settings.push_back(setting);
    }
    for (const std::string& text : periods) line.options.settings.push_back(*ParseSequencePeriod(text));
    if (virtual_clock) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kVirtualClock;
        line.options.settings.push_back(setting);
    }
    for (const std::string& text : frozen) {
        SimulatedSetting setting;
        setting.kind = SimulatedSetting::kFrozenCounter;
        setting.board = *ParseByte(text);
        line.options.settings.push_back(setting);
    }

    const CLI::App* command = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    if (command == nullptr) return line;  // list
    line.command = command->get_name();
    line.board = *ParseByte(board_text);
    const CLI::App* sub = command->get_subcommands().empty() ? nullptr
                                                             : command->get_subcommands().front();

    if (command == outputs && !outputs_action.empty()) {
        if (outputs_mask.empty()) return Error("MASK is required after " + outputs_action, app);
        line.outputs.change = true;
        line.outputs.on = outputs_action == "on";
        line.outputs.mask = *ParseByte(outputs_mask);
    } else if (command == timer && sub != nullptr) {
        line.timer.what = sub->get_name();
        if (sub == timer_start) {
            line.timer.base = *ParseByte(base_text);
            line.timer.count = static_cast<uint16_t>(Number(count_text));
            line.timer.irq = *ParseByte(irq_text);
        }
    } else if (command == db) {
        DatabaseArguments& d = line.database;
        d.what = sub->get_name();
        if (!index_text.empty()) d.index = *ParseByte(index_text);
        d.file = (sub == db_add || sub == db_delete) ? backup_text : file_text;
        d.force = force;
        if (sub == db_add) {
            for (std::size_t i = 0; i < 5; ++i) d.values[i] = *ParseReal(value_texts[i]);
        }
        if (sub != db_list) line.json = false;
    } else if (command == read || command == watch) {
        const std::string error = ChannelUses(use_texts, line.channels.uses);
        if (!error.empty()) return Error(error, app);
        line.channels.interval_ms = Number(interval_text);
        line.channels.count = watch_count_text.empty() ? 0 : Number(watch_count_text);
    } else if (command == acquire) {
        const std::string error = ChannelUses(use_texts, line.acquire.uses);
        if (!error.empty()) return Error(error, app);
        line.acquire.sequences_per_interrupt = Number(per_interrupt_text);
        line.acquire.interrupts = Number(interrupts_text);
        line.acquire.soft_trigger = trigger == "soft";
    } else if (command == line_command) {
        const std::string error = CheckLine(line.actions);
        if (!error.empty()) return Error(error, app);
    } else if (command == calibrate) {
        line.actions = {cal_index, cal_channels, "--position", cal_position};
        if (!cal_impedance.empty()) line.actions.insert(line.actions.end(), {"--impedance", cal_impedance});
        if (!cal_model.empty()) line.actions.insert(line.actions.end(), {"--model", cal_model});
        if (cal_interactive) line.actions.push_back("--interactive");
    } else if (command == sim) {
        line.actions = {sub->get_name()};
    }
    return line;
}

}  // namespace qmdtool
