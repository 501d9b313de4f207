// list, info and --version: the boards with their identity and versions.
#ifndef QMD5820_TOOL_COMMANDS_LIST_INFO_H
#define QMD5820_TOOL_COMMANDS_LIST_INFO_H

#include "command.h"

namespace qmdtool {

// list [--json]
class ListCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { json_ = false; }
    std::string Finish(const CLI::App&) override { return {}; }
    int Run(const Invocation& invocation) const override;
    bool json() const { return json_; }

private:
    bool json_ = false;
};

// info BOARD [--json]
class InfoCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { json_ = false; }
    std::string Finish(const CLI::App&) override { return {}; }
    int Run(const Invocation& invocation) const override;
    bool json() const { return json_; }

private:
    bool json_ = false;
};

// --version: the tool, the library and each board's driver and firmware.
int PrintVersions();

}  // namespace qmdtool

#endif
