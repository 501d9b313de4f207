// timer (see timer.h).
#include "commands/timer.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "QMD5820.h"
#include "common/arguments.h"
#include "common/board.h"

namespace qmdtool {

void TimerCommand::Declare(CLI::App& command) {
    command.require_subcommand(0, 1);
    CLI::App* start = command.add_subcommand("start", "start the timer");
    start->add_option("BASE", texts_.base, "time base")
        ->required()
        ->type_name("")
        ->check(Unsigned(0, 255, "a time base"));
    start->add_option("COUNT", texts_.count, "count")
        ->required()
        ->type_name("")
        ->check(Unsigned(0, 0xFFFF, "a count"));
    start->add_option("IRQ", texts_.irq, "interrupt mode")
        ->type_name("")
        ->check(Unsigned(0, 255, "an interrupt mode"));
    command.add_subcommand("stop", "stop the timer");
    command.add_subcommand("trigger", "trigger the timer");
    command.add_subcommand("status", "the timer's status (default)");
}

std::string TimerCommand::Finish(const CLI::App& command) {
    arguments_ = {};
    if (command.get_subcommands().empty()) return {};
    arguments_.what = command.get_subcommands().front()->get_name();
    if (arguments_.what == "start") {
        arguments_.base = *ParseByte(texts_.base);
        arguments_.count = static_cast<uint16_t>(Number(texts_.count));
        arguments_.irq = *ParseByte(texts_.irq);
    }
    return {};
}

int TimerCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const TimerArguments& a = arguments_;
    if (a.what == "start") {
        if (!board.Check(i_QMD5820_InitAndStartTimer(board.handle(), a.base, a.count, a.irq))) {
            return kFailed;
        }
    } else if (a.what == "stop") {
        if (!board.Check(i_QMD5820_StopTimer(board.handle()))) return kFailed;
    } else if (a.what == "trigger") {
        if (!board.Check(i_QMD5820_TriggerTimer(board.handle()))) return kFailed;
    }
    uint8_t s1 = 0, s2 = 0;
    uint16_t word = 0, value = 0;
    if (!board.Check(i_QMD5820_ReadTimerStatus(board.handle(), &s1, &s2, &word))) return kFailed;
    if (!board.Check(i_QMD5820_ReadTimerValue(board.handle(), &value))) return kFailed;
    std::printf("timer status %u %u %u, value %u\n", s1, s2, word, value);
    return 0;
}

}  // namespace qmdtool
