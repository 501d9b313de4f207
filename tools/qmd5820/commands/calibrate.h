// calibrate: a transducer type calibrated by the library's worker or step by step.
#ifndef QMD5820_TOOL_COMMANDS_CALIBRATE_H
#define QMD5820_TOOL_COMMANDS_CALIBRATE_H

#include <cstdint>

#include "command.h"

namespace qmdtool {

// calibrate BOARD INDEX CH0[,CH1] --position P [--impedance Z] [--model 0|1] [--interactive]
struct CalibrateArguments {
    uint8_t index = 0;
    uint8_t ch0 = 0;
    uint8_t ch1 = 0;  // 0: group 0 only
    double position = 0.0;
    uint32_t impedance = 1;
    uint8_t model = 0;
    bool interactive = false;
};

class CalibrateCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const CalibrateArguments& arguments() const { return arguments_; }

private:
    struct {
        std::string index, channels, position, impedance, model;
        bool interactive = false;
    } texts_;
    CalibrateArguments arguments_;
};

}  // namespace qmdtool

#endif
