// read, watch: transducer channels initialised with a type of the database and read in
// metric units, once or repeatedly.
#ifndef QMD5820_TOOL_COMMANDS_CHANNELS_H
#define QMD5820_TOOL_COMMANDS_CHANNELS_H

#include <vector>

#include "command.h"
#include "common/numbers.h"

namespace qmdtool {

struct ChannelArguments {
    std::vector<ChannelUse> uses;
    unsigned long interval_ms = 500;
    unsigned long count = 0;  // 0: until interrupted
    bool json = false;        // read
};

// read BOARD CH:INDEX... [--json]
class ReadCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const ChannelArguments& arguments() const { return arguments_; }

private:
    struct {
        std::vector<std::string> uses;
        bool json = false;
    } texts_;
    ChannelArguments arguments_;
};

// watch BOARD CH:INDEX... [--interval MS] [--count N]
class WatchCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const ChannelArguments& arguments() const { return arguments_; }

private:
    struct {
        std::vector<std::string> uses;
        std::string interval = "500", count;
    } texts_;
    ChannelArguments arguments_;
};

}  // namespace qmdtool

#endif
