// read, watch (see channels.h).
#include "commands/channels.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>

#include "QMD5820.h"
#include "common/arguments.h"
#include "common/board.h"
#include "common/json.h"
#include "common/signals.h"
#include "common/simulator.h"
#include "common/terminal.h"

namespace qmdtool {
namespace {

// One reading of the channels: channel numbers in argument order, raw codes, metric values.
struct Readings {
    std::vector<uint8_t> channels;
    std::vector<uint16_t> raw;
    std::vector<double> metric;
};

bool InitChannels(const Board& board, const std::vector<ChannelUse>& uses) {
    for (const ChannelUse& use : uses) {
        const int16_t code = i_QMD5820_Init1TransducerChannel(board.handle(), use.channel,
                                                              use.transducer, 0.0);
        const std::string context = "channel " + std::to_string(use.channel) +
                                    ", transducer " + std::to_string(use.transducer);
        if (!board.Check(code, context)) {
            ExplainMissingTransducer(board, use.transducer);
            return false;
        }
    }
    return true;
}

bool ReadChannels(const Board& board, Readings& readings) {
    const uint8_t count = static_cast<uint8_t>(readings.channels.size());
    readings.raw.assign(count, 0);
    readings.metric.assign(count, 0.0);
    return board.Check(i_QMD5820_ReadMoreTransducerChannels(
               board.handle(), count, readings.channels.data(), readings.raw.data())) &&
           board.Check(i_QMD5820_ConvertMoreRawToMetricValues(
               board.handle(), count, readings.channels.data(), readings.raw.data(),
               readings.metric.data()));
}

constexpr const char* kReadingsHeader = "channel  transducer  raw         value/mm\n";

std::string ReadingLine(const ChannelUse& use, uint16_t raw, double metric) {
    char line[96];
    std::snprintf(line, sizeof line, "%7u  %10u  0x%04X  %13.6f", use.channel, use.transducer,
                  raw, metric);
    return line;
}

Readings ReadingsFor(const std::vector<ChannelUse>& uses) {
    Readings readings;
    for (const ChannelUse& use : uses) readings.channels.push_back(use.channel);
    return readings;
}

}  // namespace

void ReadCommand::Declare(CLI::App& command) {
    AddChannelUses(command, texts_.uses);
    command.add_flag("--json", texts_.json, "JSON output");
}

std::string ReadCommand::Finish(const CLI::App&) {
    arguments_ = {};
    arguments_.json = texts_.json;
    return ChannelUses(texts_.uses, arguments_.uses);
}

int ReadCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const std::vector<ChannelUse>& uses = arguments_.uses;
    if (!InitChannels(board, uses)) return kFailed;
    Readings readings = ReadingsFor(uses);
    if (!ReadChannels(board, readings)) return kFailed;
    if (arguments_.json) {
        Json channels = Json::array();
        for (std::size_t i = 0; i < uses.size(); ++i) {
            Json channel;
            channel["channel"] = uses[i].channel;
            channel["transducer"] = uses[i].transducer;
            channel["raw"] = Hex(readings.raw[i], 4);
            channel["value"] = std::isfinite(readings.metric[i]) ? Json(readings.metric[i]) : Json(nullptr);
            channels.push_back(channel);
        }
        Json json;
        json["board"] = board.index();
        json["unit"] = "mm";
        json["channels"] = channels;
        PrintJson(json);
        return 0;
    }
    std::fputs(kReadingsHeader, stdout);
    for (std::size_t i = 0; i < uses.size(); ++i) {
        std::printf("%s\n", ReadingLine(uses[i], readings.raw[i], readings.metric[i]).c_str());
    }
    return 0;
}

void WatchCommand::Declare(CLI::App& command) {
    AddChannelUses(command, texts_.uses);
    command.add_option("--interval", texts_.interval, "milliseconds between refreshes (500)")
        ->type_name("MS")
        ->check(Unsigned(1, 3600000, "milliseconds"));
    command.add_option("--count", texts_.count, "refreshes (default: until Ctrl-C)")
        ->type_name("N")
        ->check(Unsigned(1, 0xFFFFFFFFUL, "a count"));
}

std::string WatchCommand::Finish(const CLI::App&) {
    arguments_ = {};
    arguments_.interval_ms = Number(texts_.interval);
    arguments_.count = texts_.count.empty() ? 0 : Number(texts_.count);
    return ChannelUses(texts_.uses, arguments_.uses);
}

// Ctrl-C, SIGTERM or SIGHUP ends a watch between two refreshes (exit 128 + the signal).
int WatchCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const ChannelArguments& a = arguments_;
    if (!InitChannels(board, a.uses)) return kFailed;
    const Drift drift(invocation.options.moving, board.index(), a.uses);
    Readings readings = ReadingsFor(a.uses);
    const bool terminal = StdoutIsTerminal();
    const std::size_t lines = a.uses.size();

    const InterruptSignals signals;
    int status = 0;
    unsigned long shown = 0;
    std::printf("refresh  %s", kReadingsHeader);
    for (unsigned long refresh = 1; a.count == 0 || refresh <= a.count; ++refresh) {
        drift.Step();
        if (!ReadChannels(board, readings)) {
            status = kFailed;
            break;
        }
        // On a terminal the block of lines is redrawn in place; elsewhere it is appended.
        if (terminal && refresh > 1) std::printf("\x1b[%zuA", lines);
        for (std::size_t i = 0; i < lines; ++i) {
            std::printf("%s%7lu  %s\n", terminal ? "\r\x1b[2K" : "", refresh,
                        ReadingLine(a.uses[i], readings.raw[i], readings.metric[i]).c_str());
        }
        // Nobody reads what cannot be written: stop.
        if (!StdoutWritten()) {
            status = kFailed;
            break;
        }
        shown = refresh;
        if (refresh == a.count || !Pause(a.interval_ms)) break;
    }
    if (status == 0 && Interrupted() != 0) {
        std::fprintf(stderr, "qmd5820: interrupted by %s after %lu refresh(es)\n",
                     SignalName(Interrupted()), shown);
        return InterruptedStatus(Interrupted());
    }
    return status;
}

}  // namespace qmdtool
