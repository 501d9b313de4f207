// inputs, outputs (see io.h).
#include "commands/io.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "QMD5820.h"
#include "common/arguments.h"
#include "common/board.h"

namespace qmdtool {
namespace {

std::string Bits(uint8_t port) {
    std::string bits;
    for (int channel = 7; channel >= 0; --channel) bits += ((port >> channel) & 1) ? '1' : '0';
    return bits;
}

}  // namespace

int InputsCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Read8DigitalInputs(board.handle(), &port))) return kFailed;
    std::printf("inputs  7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

void OutputsCommand::Declare(CLI::App& command) {
    command.add_option("ACTION", texts_.action, "on or off")
        ->type_name("on|off")
        ->check(Expect([](const std::string& t) { return t == "on" || t == "off"; }, "on or off"));
    command.add_option("MASK", texts_.mask, "the outputs to switch")
        ->type_name("")
        ->check(Unsigned(0, 255, "a mask"));
}

std::string OutputsCommand::Finish(const CLI::App&) {
    arguments_ = {};
    if (texts_.action.empty()) return {};
    if (texts_.mask.empty()) return "MASK is required after " + texts_.action;
    arguments_.change = true;
    arguments_.on = texts_.action == "on";
    arguments_.mask = *ParseByte(texts_.mask);
    return {};
}

int OutputsCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    if (arguments_.change) {
        const int16_t code =
            arguments_.on ? i_QMD5820_Set8DigitalOutputsOn(board.handle(), arguments_.mask)
                          : i_QMD5820_Set8DigitalOutputsOff(board.handle(), arguments_.mask);
        if (!board.Check(code)) return kFailed;
    }
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Get8DigitalOutputsStatus(board.handle(), &port))) return kFailed;
    std::printf("outputs 7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

}  // namespace qmdtool
