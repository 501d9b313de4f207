// libFuzzer target: the qmd5820 tool's argument parsing, without running any command. The
// input is the argument list, arguments separated by NUL bytes; the first byte chooses
// whether the simulated board's options are known. The parsers are built once and reused,
// as the tool's tests do. Beyond not crashing, a command line that is accepted must satisfy
// what the commands rely on, a rejected one must say why, and a parse after another input's
// must give what a parse after its own gives (nothing of one parse stays for the next).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_args.h"
#include "commands/acquire.h"
#include "commands/calibrate.h"
#include "commands/channels.h"
#include "commands/db.h"
#include "commands/io.h"
#include "commands/line.h"
#include "commands/timer.h"

namespace {

using qmdtool::CommandLine;

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

std::string Uses(const std::vector<qmdtool::ChannelUse>& uses) {
    std::string text;
    for (const qmdtool::ChannelUse& use : uses) {
        text += std::to_string(use.channel) + ":" + std::to_string(use.transducer) + " ";
    }
    return text;
}

// Everything a parse gave, as text (to compare two parses of the same input).
std::string Describe(const CommandLine& line) {
    std::string text = std::to_string(line.kind) + "|" + line.text + "|" + line.name() + "|" +
                       std::to_string(line.board) + "|" + std::to_string(line.options.moving) +
                       std::to_string(line.options.trace) + "|" +
                       std::to_string(line.options.settings.size()) + "|";
    for (const qmdtool::SimulatedSetting& s : line.options.settings) {
        text += std::to_string(s.kind) + "," + std::to_string(s.board) + "," +
                std::to_string(s.channel) + "," + std::to_string(s.position) + "," +
                std::to_string(s.period_us) + ";";
    }
    if (line.command == nullptr) return text;
    if (const auto* c = dynamic_cast<const qmdtool::AcquireCommand*>(line.command)) {
        const qmdtool::AcquireArguments& a = c->arguments();
        text += Uses(a.uses) + std::to_string(a.sequences_per_interrupt) + "," +
                std::to_string(a.interrupts) + "," + a.csv + "," + std::to_string(a.soft_trigger);
    } else if (const auto* r = dynamic_cast<const qmdtool::ReadCommand*>(line.command)) {
        text += Uses(r->arguments().uses) + std::to_string(r->arguments().json);
    } else if (const auto* w = dynamic_cast<const qmdtool::WatchCommand*>(line.command)) {
        text += Uses(w->arguments().uses) + std::to_string(w->arguments().interval_ms) + "," +
                std::to_string(w->arguments().count);
    } else if (const auto* d = dynamic_cast<const qmdtool::DbCommand*>(line.command)) {
        const qmdtool::DatabaseArguments& a = d->arguments();
        text += a.what + "," + std::to_string(a.index) + "," + a.file + "," +
                std::to_string(a.force) + std::to_string(a.json);
        for (const double v : a.values) text += "," + std::to_string(v);
    } else if (const auto* o = dynamic_cast<const qmdtool::OutputsCommand*>(line.command)) {
        text += std::to_string(o->arguments().change) + std::to_string(o->arguments().on) + "," +
                std::to_string(o->arguments().mask);
    } else if (const auto* t = dynamic_cast<const qmdtool::TimerCommand*>(line.command)) {
        const qmdtool::TimerArguments& a = t->arguments();
        text += a.what + "," + std::to_string(a.base) + "," + std::to_string(a.count) + "," +
                std::to_string(a.irq);
    } else if (const auto* l = dynamic_cast<const qmdtool::LineCommand*>(line.command)) {
        for (const std::string& action : l->actions()) text += action + ",";
    } else if (const auto* k = dynamic_cast<const qmdtool::CalibrateCommand*>(line.command)) {
        const qmdtool::CalibrateArguments& a = k->arguments();
        text += std::to_string(a.index) + "," + std::to_string(a.ch0) + "," +
                std::to_string(a.ch1) + "," + std::to_string(a.position) + "," +
                std::to_string(a.impedance) + "," + std::to_string(a.model) +
                std::to_string(a.interactive);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qmdtool::CommandLineParser with(qmdtool::Commands(), true);
    static qmdtool::CommandLineParser without(qmdtool::Commands(), false);
    if (size < 1 || size > 4096) return 0;
    const bool simulated = (data[0] & 1) != 0;
    qmdtool::CommandLineParser& parser = simulated ? with : without;
    std::vector<std::string> argv(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            argv.emplace_back();
        } else {
            argv.back() += static_cast<char>(data[i]);
        }
    }
    // The first parse follows the previous input's, the second its own: a value left over
    // from the previous command line shows as a difference.
    const CommandLine line = parser.Parse(argv);
    const std::string described = Describe(line);
    Require(Describe(parser.Parse(argv)) == described);
    if (line.kind == CommandLine::kError) {
        Require(line.text.starts_with("qmd5820: ") && line.text.find("usage: ") != std::string::npos);
        return 0;
    }
    if (line.kind != CommandLine::kRun) return 0;

    for (const qmdtool::SimulatedSetting& setting : line.options.settings) {
        Require(simulated && setting.channel <= 15);
        Require(setting.kind != qmdtool::SimulatedSetting::kSequencePeriod || setting.period_us > 0);
    }
    const std::string name = line.name();
    Require(simulated || (name != "sim" && !line.options.moving));
    if (const auto* read = dynamic_cast<const qmdtool::ReadCommand*>(line.command)) {
        CheckUses(read->arguments().uses);
    } else if (const auto* watch = dynamic_cast<const qmdtool::WatchCommand*>(line.command)) {
        CheckUses(watch->arguments().uses);
        Require(watch->arguments().interval_ms >= 1 && watch->arguments().interval_ms <= 3600000UL);
    } else if (const auto* acquire = dynamic_cast<const qmdtool::AcquireCommand*>(line.command)) {
        const qmdtool::AcquireArguments& a = acquire->arguments();
        CheckUses(a.uses);
        Require(a.sequences_per_interrupt >= 1 && a.sequences_per_interrupt <= 0xFFFF);
    } else if (const auto* db = dynamic_cast<const qmdtool::DbCommand*>(line.command)) {
        const qmdtool::DatabaseArguments& a = db->arguments();
        const bool needs_file = a.what == "backup" || a.what == "restore";
        Require(!needs_file || !a.file.empty());
        Require(!a.force || a.what == "restore");
        Require(!a.json || a.what == "list");
    } else if (const auto* lineCommand = dynamic_cast<const qmdtool::LineCommand*>(line.command)) {
        Require(!lineCommand->actions().empty());
    } else if (const auto* calibrate = dynamic_cast<const qmdtool::CalibrateCommand*>(line.command)) {
        const qmdtool::CalibrateArguments& a = calibrate->arguments();
        Require(a.ch0 <= 7 && (a.ch1 == 0 || (a.ch1 >= 8 && a.ch1 <= 15)) && a.position != 0.0);
        Require(!a.interactive || (a.impedance == 1 && a.model == 0));
    }
    return 0;
}
