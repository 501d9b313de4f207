// sim: the simulated boards' state file (built only when the library runs on the simulated
// board).
#ifndef QMD5820_TOOL_COMMANDS_SIM_H
#define QMD5820_TOOL_COMMANDS_SIM_H

#include "command.h"

namespace qmdtool {

// sim reset [--force] | show
class SimCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { force_ = false; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const std::string& what() const { return what_; }
    bool force() const { return force_; }

private:
    std::string what_;
    bool force_ = false;
};

}  // namespace qmdtool

#endif
