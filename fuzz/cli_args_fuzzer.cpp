// libFuzzer target: the qmd5820 tool's argument parsing, without running any command. The
// input is the argument list, arguments separated by NUL bytes; the first byte chooses
// whether the simulated board's options are known. Beyond not crashing, a command line that
// is accepted must satisfy what the commands rely on, and a rejected one must say why.
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
    using qmdtool::CommandLine;
    const CommandLine line = qmdtool::ParseCommandLine(argv, simulated, "full usage\n");
    const CommandLine again = qmdtool::ParseCommandLine(argv, simulated, "full usage\n");
    Require(line.kind == again.kind && line.text == again.text);
    if (line.kind == CommandLine::kError) {
        Require(line.text.starts_with("qmd5820: ") && line.text.find("usage: ") != std::string::npos);
        return 0;
    }
    if (line.kind != CommandLine::kRun) return 0;

    for (const qmdtool::SimulatedSetting& setting : line.options.settings) {
        Require(simulated && setting.channel <= 15);
        Require(setting.kind != qmdtool::SimulatedSetting::kSequencePeriod || setting.period_us > 0);
    }
    Require(simulated || (line.command != "sim" && !line.options.moving));
    if (line.command == "read" || line.command == "watch") {
        CheckUses(line.channels.uses);
        Require(line.channels.interval_ms >= 1 && line.channels.interval_ms <= 3600000UL);
    } else if (line.command == "acquire") {
        CheckUses(line.acquire.uses);
        Require(line.acquire.sequences_per_interrupt >= 1 &&
                line.acquire.sequences_per_interrupt <= 0xFFFF);
        Require(line.acquire.csv != "");
    } else if (line.command == "db") {
        const qmdtool::DatabaseArguments& db = line.database;
        const bool needs_file = db.what == "backup" || db.what == "restore";
        Require(!needs_file || !db.file.empty());
        Require(!db.force || db.what == "restore");
        Require(!line.json || db.what == "list");
    } else if (line.command == "calibrate" || line.command == "line" || line.command == "sim") {
        Require(!line.actions.empty());
    }
    return 0;
}
