// line: the primary (excitation) line: test, rearm, calibrate the test threshold, switch the
// short-circuit interrupts.
#ifndef QMD5820_TOOL_COMMANDS_LINE_H
#define QMD5820_TOOL_COMMANDS_LINE_H

#include <vector>

#include "command.h"

namespace qmdtool {

// line BOARD ACTION...: test | rearm | calibrate | interrupts on|off, run in order.
class LineCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { actions_.clear(); }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const std::vector<std::string>& actions() const { return actions_; }

private:
    std::vector<std::string> actions_;
};

}  // namespace qmdtool

#endif
