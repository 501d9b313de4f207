// line (see line.h).
#include "commands/line.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "QMD5820.h"
#include "common/board.h"

namespace qmdtool {
namespace {

constexpr uint8_t kLineDetectionResponds = 0x01;
constexpr uint8_t kLineShortCircuit = 0x02;

}  // namespace

void LineCommand::Declare(CLI::App& command) {
    command.add_option("ACTION", actions_, "actions, in order")->required()->type_name("");
    command.footer(
        "Actions, run in the order given: test (prints the status byte), rearm, calibrate\n"
        "(the line test threshold), interrupts on|off (the short-circuit interrupts).");
}

// Every action is checked before the first one runs.
std::string LineCommand::Finish(const CLI::App&) {
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        if (actions_[i] == "interrupts") {
            if (i + 1 == actions_.size() || (actions_[i + 1] != "on" && actions_[i + 1] != "off")) {
                return "ACTION: 'interrupts' must be followed by on or off";
            }
            ++i;
        } else if (actions_[i] != "test" && actions_[i] != "rearm" && actions_[i] != "calibrate") {
            return "ACTION: expected test, rearm, calibrate or interrupts on|off, got '" +
                   actions_[i] + "'";
        }
    }
    return {};
}

int LineCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        const std::string& action = actions_[i];
        if (action == "test") {
            uint8_t status = 0;
            if (!board.Check(i_QMD5820_TestPrimaryLine(board.handle(), &status))) return kFailed;
            std::printf("primary line status 0x%02X\n", status);
            if ((status & kLineShortCircuit) != 0) {
                std::printf("  short circuit:  latched (clear it with 'qmd5820 line %u rearm')\n",
                            board.index());
            } else {
                std::printf("  short circuit:  none\n");
            }
            std::printf("  line test:      detection %s\n",
                        (status & kLineDetectionResponds) != 0 ? "responds" : "does not respond");
        } else if (action == "rearm") {
            if (!board.Check(i_QMD5820_RearmPrimaryLine(board.handle()))) return kFailed;
            std::printf("primary line rearmed\n");
        } else if (action == "calibrate") {
            if (!board.Check(i_QMD5820_CalibratePrimaryLineTest(board.handle()))) return kFailed;
            std::printf("primary line test calibrated (threshold potentiometer adjusted)\n");
        } else {
            const bool on = actions_[++i] == "on";
            if (!board.Check(i_QMD5820_EnableDisableShortCircuitInterrupts(board.handle(),
                                                                           on ? 1 : 0))) {
                return kFailed;
            }
            std::printf("short-circuit interrupts %s\n", on ? "enabled" : "disabled");
        }
    }
    return 0;
}

}  // namespace qmdtool
