// inputs, outputs: the board's 8 digital inputs and 8 digital outputs.
#ifndef QMD5820_TOOL_COMMANDS_IO_H
#define QMD5820_TOOL_COMMANDS_IO_H

#include <cstdint>

#include "command.h"

namespace qmdtool {

// inputs BOARD
class InputsCommand final : public Command {
public:
    void Declare(CLI::App&) override {}
    void Reset() override {}
    std::string Finish(const CLI::App&) override { return {}; }
    int Run(const Invocation& invocation) const override;
};

// outputs BOARD [on|off MASK]
struct OutputsArguments {
    bool change = false;
    bool on = false;
    uint8_t mask = 0;
};

class OutputsCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const OutputsArguments& arguments() const { return arguments_; }

private:
    struct {
        std::string action, mask;
    } texts_;
    OutputsArguments arguments_;
};

}  // namespace qmdtool

#endif
