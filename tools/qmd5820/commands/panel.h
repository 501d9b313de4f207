// panel: the test panel in the browser (the server is panel/).
#ifndef QMD5820_TOOL_COMMANDS_PANEL_H
#define QMD5820_TOOL_COMMANDS_PANEL_H

#include <string>

#include "command.h"

namespace qmdtool {

// panel [--listen ADDR:PORT] [--read-only] [--no-browser] [--token TOKEN]
struct PanelArguments {
    std::string host = "127.0.0.1";
    int port = 0;  // any free port
    std::string token;
    bool read_only = false;
    bool no_browser = false;
};

// Splits "ADDR:PORT", "[V6]:PORT" or ":PORT"; an error text, or "".
std::string ParseListen(const std::string& text, std::string& host, int& port);

class PanelCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const PanelArguments& arguments() const { return arguments_; }

private:
    struct {
        std::string listen, token;
        bool read_only = false, no_browser = false;
    } texts_;
    PanelArguments arguments_;
};

}  // namespace qmdtool

#endif
