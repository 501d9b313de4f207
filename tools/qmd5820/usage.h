// The qmd5820 tool's usage texts, made from what the commands declared on the parser: the
// usage line of a command ("db BOARD add INDEX ... [--backup FILE]"), the tool's help and
// the layout of each command's --help.
#ifndef QMD5820_TOOL_USAGE_H
#define QMD5820_TOOL_USAGE_H

#include <string>

#include <CLI/CLI.hpp>

namespace qmdtool {

// The groups of the options before the command.
inline constexpr const char* kGeneralOptions = "options, before the command";
inline constexpr const char* kSimulatorOptions = "options (simulated board), before the command";

// How the command is typed up to its own arguments: "acquire", "db BOARD add".
std::string Path(const CLI::App& app);
// The whole usage line after "qmd5820 ": the path and every argument.
std::string Synopsis(const CLI::App& app);
// The tool's help: every command's usage line and description, the options, the footer.
std::string FullHelp(const CLI::App& app);

// Each command's --help: CLI11's layout with the whole command line as its usage.
class UsageFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string) const override {
        return "usage: qmd5820 " + Synopsis(*app) + "\n";
    }
};

}  // namespace qmdtool

#endif
