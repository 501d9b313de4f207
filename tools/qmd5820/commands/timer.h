// timer: start, stop, trigger and read the board's timer.
#ifndef QMD5820_TOOL_COMMANDS_TIMER_H
#define QMD5820_TOOL_COMMANDS_TIMER_H

#include <cstdint>

#include "command.h"

namespace qmdtool {

// timer BOARD [start BASE COUNT [IRQ] | stop | trigger | status]
struct TimerArguments {
    std::string what = "status";
    uint8_t base = 0;
    uint16_t count = 0;
    uint8_t irq = 0;
};

class TimerCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const TimerArguments& arguments() const { return arguments_; }

private:
    struct {
        std::string base, count, irq = "0";
    } texts_;
    TimerArguments arguments_;
};

}  // namespace qmdtool

#endif
