// acquire: a sequence acquisition of transducer channels recorded as CSV.
#ifndef QMD5820_TOOL_COMMANDS_ACQUIRE_H
#define QMD5820_TOOL_COMMANDS_ACQUIRE_H

#include <vector>

#include "command.h"
#include "common/numbers.h"

namespace qmdtool {

// acquire BOARD CH:INDEX... [--sequences-per-interrupt N] [--interrupts M] [--csv FILE]
//         [--trigger soft|none]
struct AcquireArguments {
    std::vector<ChannelUse> uses;
    unsigned long sequences_per_interrupt = 10;
    unsigned long interrupts = 3;  // 0: until interrupted
    std::string csv;               // empty or "-": stdout
    bool soft_trigger = false;
};

class AcquireCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const AcquireArguments& arguments() const { return arguments_; }

private:
    struct {
        std::vector<std::string> uses;
        std::string per_interrupt = "10", interrupts = "3", trigger = "none", csv;
    } texts_;
    AcquireArguments arguments_;
};

}  // namespace qmdtool

#endif
