// libFuzzer target: the qmd5820 tool's argument parsing, without running any command. The
// input is the argument list, arguments separated by NUL bytes; the first byte chooses
// whether the simulated board's options are known. Beyond not crashing, a command line that
// is accepted must satisfy what the commands rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_args.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckUses(const std::vector<qmdtool::ChannelUse>& uses) {
    Require(!uses.empty() && uses.size() <= 16);
    for (std::size_t i = 0; i < uses.size(); ++i) {
        Require(uses[i].channel <= 15);
        for (std::size_t j = i + 1; j < uses.size(); ++j) Require(uses[i].channel != uses[j].channel);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const bool simulated = (data[0] & 1) != 0;
    std::vector<std::string> argv(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            argv.emplace_back();
        } else {
            argv.back() += static_cast<char>(data[i]);
        }
    }
    std::string error;
    const std::optional<qmdtool::CommandLine> line = qmdtool::ParseCommandLine(argv, simulated, error);
    std::string again;
    Require(line.has_value() == qmdtool::ParseCommandLine(argv, simulated, again).has_value());
    Require(error == again);
    if (!line) return 0;

    for (const qmdtool::SimulatedSetting& setting : line->options.settings) {
        Require(simulated && setting.channel <= 15);
        Require(setting.kind != qmdtool::SimulatedSetting::kSequencePeriod || setting.period_us > 0);
    }
    const std::vector<std::string>& args = line->args;
    if (args.size() < 2 || args[0] == "-h" || args[0] == "--help" || args[0] == "help") return 0;
    Require(qmdtool::ParseByte(args[1]).has_value());
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    if (args[0] == "read" || args[0] == "watch") {
        const auto parsed = qmdtool::ParseChannelArguments(rest, args[0] == "watch");
        Require(parsed.has_value());
        CheckUses(parsed->uses);
        Require(parsed->interval_ms >= 1 && parsed->interval_ms <= 3600000UL);
    } else if (args[0] == "acquire") {
        const auto parsed = qmdtool::ParseAcquireArguments(rest);
        Require(parsed.has_value());
        CheckUses(parsed->uses);
        Require(parsed->interrupts >= 1 && parsed->sequences_per_interrupt >= 1 &&
                parsed->interrupts * parsed->sequences_per_interrupt <= qmdtool::kMaxSequences);
    } else if (args[0] == "db") {
        const auto parsed = qmdtool::ParseDatabaseArguments(rest);
        Require(parsed.has_value());
        const bool needs_file = parsed->what == "backup" || parsed->what == "restore";
        Require(!needs_file || !parsed->file.empty());
        Require(!parsed->force || parsed->what == "restore");
    }
    return 0;
}
