// Argument parsing of the qmd5820 tool (see cli_args.h).
#include "cli_args.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cmath>
#include <iterator>
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

bool AddChannelUse(std::string_view text, std::vector<ChannelUse>& uses) {
    const std::optional<ChannelUse> use = ParseChannelUse(text);
    if (!use) return false;
    const bool repeated = std::any_of(uses.begin(), uses.end(), [&](const ChannelUse& listed) {
        return listed.channel == use->channel;
    });
    if (repeated) return false;
    uses.push_back(*use);
    return true;
}

std::optional<ChannelArguments> ParseChannelArguments(const std::vector<std::string>& args,
                                                      bool with_options) {
    ChannelArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (with_options && (args[i] == "--interval" || args[i] == "--count")) {
            if (i + 1 == args.size()) return std::nullopt;
            const bool interval = args[i] == "--interval";
            const std::optional<unsigned long> value =
                ParseUnsigned(args[++i], interval ? 3600000UL : 0xFFFFFFFFUL);
            if (!value || *value == 0) return std::nullopt;
            (interval ? parsed.interval_ms : parsed.count) = *value;
            continue;
        }
        if (!AddChannelUse(args[i], parsed.uses)) return std::nullopt;
    }
    if (parsed.uses.empty()) return std::nullopt;
    return parsed;
}

std::optional<AcquireArguments> ParseAcquireArguments(const std::vector<std::string>& args) {
    AcquireArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--sequences-per-interrupt" || arg == "--interrupts" || arg == "--csv" ||
            arg == "--trigger") {
            if (i + 1 == args.size()) return std::nullopt;
            const std::string& value = args[++i];
            if (arg == "--csv") {
                if (value.empty()) return std::nullopt;
                parsed.csv = value;
            } else if (arg == "--trigger") {
                if (value != "soft" && value != "none") return std::nullopt;
                parsed.soft_trigger = value == "soft";
            } else {
                const std::optional<unsigned long> number = ParseUnsigned(value, 0xFFFF);
                if (!number || *number == 0) return std::nullopt;
                (arg == "--interrupts" ? parsed.interrupts : parsed.sequences_per_interrupt) =
                    *number;
            }
            continue;
        }
        if (!AddChannelUse(arg, parsed.uses)) return std::nullopt;
    }
    if (parsed.uses.empty()) return std::nullopt;
    if (parsed.interrupts * parsed.sequences_per_interrupt > kMaxSequences) return std::nullopt;
    return parsed;
}

std::optional<DatabaseArguments> ParseDatabaseArguments(const std::vector<std::string>& all) {
    if (all.empty()) return std::nullopt;
    DatabaseArguments parsed;
    parsed.what = all[0];
    std::vector<std::string> args(all.begin() + 1, all.end());
    // Options of the commands that change the database.
    for (std::size_t i = 0; i < args.size();) {
        const bool changes = parsed.what == "add" || parsed.what == "delete";
        if (changes && args[i] == "--backup") {
            if (i + 1 == args.size() || args[i + 1].empty() || !parsed.file.empty()) {
                return std::nullopt;
            }
            parsed.file = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i + 2));
        } else if (parsed.what == "restore" && args[i] == "--force") {
            if (parsed.force) return std::nullopt;
            parsed.force = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    if (parsed.what == "list" || parsed.what == "check") {
        if (!args.empty()) return std::nullopt;
    } else if (parsed.what == "show" || parsed.what == "delete") {
        if (args.size() != 1) return std::nullopt;
        const std::optional<uint8_t> index = ParseByte(args[0]);
        if (!index) return std::nullopt;
        parsed.index = *index;
    } else if (parsed.what == "add") {
        if (args.size() != 6) return std::nullopt;
        const std::optional<uint8_t> index = ParseByte(args[0]);
        if (!index) return std::nullopt;
        parsed.index = *index;
        for (std::size_t i = 0; i < 5; ++i) {
            const std::optional<double> value = ParseReal(args[1 + i]);
            if (!value) return std::nullopt;
            parsed.values[i] = *value;
        }
    } else if (parsed.what == "backup" || parsed.what == "restore") {
        if (args.size() != 1 || args[0].empty()) return std::nullopt;
        parsed.file = args[0];
    } else {
        return std::nullopt;
    }
    return parsed;
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

bool ValidOutputs(const std::vector<std::string>& args) {
    if (args.empty()) return true;
    return args.size() == 2 && (args[0] == "on" || args[0] == "off") && ParseByte(args[1]);
}

bool ValidTimer(const std::vector<std::string>& args) {
    if (args.empty()) return true;
    if (args[0] == "start") {
        if (args.size() < 3 || args.size() > 4) return false;
        return ParseByte(args[1]) && ParseUnsigned(args[2], 0xFFFF) &&
               (args.size() == 3 || ParseByte(args[3]));
    }
    return args.size() == 1 && (args[0] == "stop" || args[0] == "trigger" || args[0] == "status");
}

bool ValidLine(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "interrupts") {
            if (i + 1 == args.size() || (args[i + 1] != "on" && args[i + 1] != "off")) {
                return false;
            }
            ++i;
        } else if (args[i] != "test" && args[i] != "rearm" && args[i] != "calibrate") {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseGlobalOptions(const std::vector<std::string>& args, std::size_t& next,
                        GlobalOptions& options, bool simulated, std::string& error) {
    while (next < args.size() && args[next].starts_with("--") && args[next] != "--help") {
        const std::string& option = args[next++];
        if (simulated) {
            if (option == "--moving") {
                options.moving = true;
                continue;
            }
            std::optional<SimulatedSetting> setting;
            const bool has_value = next < args.size();
            if (option == "--position" && has_value) {
                setting = ParsePosition(args[next++]);
            } else if (option == "--short-circuit" && has_value) {
                if (const std::optional<uint8_t> board = ParseByte(args[next++])) {
                    setting = SimulatedSetting{};
                    setting->kind = SimulatedSetting::kShortCircuit;
                    setting->board = *board;
                }
            } else if (option == "--sequence-period" && has_value) {
                setting = ParseSequencePeriod(args[next++]);
            } else if (option == "--virtual-clock") {
                setting = SimulatedSetting{};
                setting->kind = SimulatedSetting::kVirtualClock;
            } else if (option == "--frozen-counter" && has_value) {
                if (const std::optional<uint8_t> board = ParseByte(args[next++])) {
                    setting = SimulatedSetting{};
                    setting->kind = SimulatedSetting::kFrozenCounter;
                    setting->board = *board;
                }
            } else {
                error = "unknown or incomplete option " + option;
                return false;
            }
            if (!setting) {
                error = "bad value of " + option;
                return false;
            }
            options.settings.push_back(*setting);
            continue;
        }
        error = "unknown or incomplete option " + option;
        return false;
    }
    return true;
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& argv, bool simulated,
                                            std::string& error) {
    error.clear();
    CommandLine line;
    std::size_t first = 0;
    if (!ParseGlobalOptions(argv, first, line.options, simulated, error)) return std::nullopt;
    line.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(first), argv.end());
    const std::vector<std::string>& args = line.args;
    if (args.empty() || (args[0] == "list" && args.size() == 1)) return line;
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") return line;
    if (args.size() < 2 || !ParseByte(args[1])) return std::nullopt;
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    const std::string& command = args[0];
    bool valid = false;
    if (command == "info" || command == "inputs") {
        valid = rest.empty();
    } else if (command == "outputs") {
        valid = ValidOutputs(rest);
    } else if (command == "timer") {
        valid = ValidTimer(rest);
    } else if (command == "db") {
        valid = ParseDatabaseArguments(rest).has_value();
    } else if (command == "read" || command == "watch") {
        valid = ParseChannelArguments(rest, command == "watch").has_value();
    } else if (command == "acquire") {
        valid = ParseAcquireArguments(rest).has_value();
    } else if (command == "line") {
        valid = ValidLine(rest);
    } else if (command == "calibrate") {
        valid = !rest.empty();  // the command checks its own arguments
    }
    if (!valid) return std::nullopt;
    return line;
}

}  // namespace qmdtool
