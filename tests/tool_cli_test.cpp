// The qmd5820 tool's argument parsing and the CSV rows of its acquisitions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "cli_args.h"
#include "commands/acquire.h"
#include "commands/calibrate.h"
#include "commands/channels.h"
#include "commands/csv_rows.h"
#include "commands/db.h"
#include "commands/io.h"
#include "commands/sim.h"
#include "commands/timer.h"

namespace {

using qmdtool::CommandLine;

// One parser with the simulated board's options and commands, one without; each is built
// once and parses every command line, as the fuzz target does.
CommandLine Parse(const std::vector<std::string>& argv, bool simulated = true) {
    static qmdtool::CommandLineParser with(qmdtool::Commands(), true);
    static qmdtool::CommandLineParser without(qmdtool::Commands(), false);
    return (simulated ? with : without).Parse(argv);
}

template <class T>
const T& As(const CommandLine& line) {
    return dynamic_cast<const T&>(*line.command);
}

TEST(ToolCommandLine, AcceptedCommandsCarryTheirValues) {
    CommandLine line = Parse({});
    EXPECT_EQ(line.kind, CommandLine::kRun);
    EXPECT_EQ(line.name(), "list");

    line = Parse({"acquire", "0x1", "9:5", "3:0x0C", "--sequences-per-interrupt", "4",
                  "--interrupts", "0", "--csv", "out.csv", "--trigger", "soft"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_EQ(line.board, 1);
    const qmdtool::AcquireArguments& acquire = As<qmdtool::AcquireCommand>(line).arguments();
    ASSERT_EQ(acquire.uses.size(), 2u);
    EXPECT_EQ(acquire.uses[0].channel, 9);
    EXPECT_EQ(acquire.uses[0].transducer, 5);
    EXPECT_EQ(acquire.uses[1].channel, 3);
    EXPECT_EQ(acquire.uses[1].transducer, 12);
    EXPECT_EQ(acquire.sequences_per_interrupt, 4u);
    EXPECT_EQ(acquire.interrupts, 0u);  // until interrupted
    EXPECT_EQ(acquire.csv, "out.csv");
    EXPECT_TRUE(acquire.soft_trigger);

    // No cap on the count any more: the largest values of both options together.
    line = Parse({"acquire", "0", "0:1", "--sequences-per-interrupt", "65535", "--interrupts",
                  "4294967295"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_EQ(As<qmdtool::AcquireCommand>(line).arguments().interrupts, 4294967295u);

    line = Parse({"--position", "1:2=-0.5", "--moving", "--trace", "watch", "1", "2:12",
                  "--interval", "20", "--count", "3"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_TRUE(line.options.moving);
    EXPECT_TRUE(line.options.trace);
    ASSERT_EQ(line.options.settings.size(), 1u);
    EXPECT_EQ(line.options.settings[0].board, 1);
    EXPECT_EQ(line.options.settings[0].channel, 2);
    EXPECT_EQ(line.options.settings[0].position, -0.5);
    EXPECT_EQ(As<qmdtool::WatchCommand>(line).arguments().interval_ms, 20u);
    EXPECT_EQ(As<qmdtool::WatchCommand>(line).arguments().count, 3u);

    line = Parse({"db", "0", "add", "20", "4", "80", "1e4", "3", "10", "--backup", "b.eeprom"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    const qmdtool::DatabaseArguments& db = As<qmdtool::DbCommand>(line).arguments();
    EXPECT_EQ(db.what, "add");
    EXPECT_EQ(db.index, 20);
    EXPECT_EQ(db.values[2], 10000.0);
    EXPECT_EQ(db.values[4], 10.0);
    EXPECT_EQ(db.file, "b.eeprom");

    line = Parse({"db", "0", "list", "--json"});
    EXPECT_TRUE(As<qmdtool::DbCommand>(line).arguments().json);
    line = Parse({"timer", "0", "start", "2", "0xFFFF"});
    const qmdtool::TimerArguments& timer = As<qmdtool::TimerCommand>(line).arguments();
    EXPECT_EQ(timer.what, "start");
    EXPECT_EQ(timer.count, 0xFFFF);
    EXPECT_EQ(timer.irq, 0);
    line = Parse({"outputs", "0", "off", "0x81"});
    const qmdtool::OutputsArguments& outputs = As<qmdtool::OutputsCommand>(line).arguments();
    EXPECT_TRUE(outputs.change);
    EXPECT_FALSE(outputs.on);
    EXPECT_EQ(outputs.mask, 0x81);
    // calibrate's own --position is not the simulated board's.
    line = Parse({"calibrate", "0", "1", "3,9", "--interactive", "--position", "1.5"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_TRUE(line.options.settings.empty());
    const qmdtool::CalibrateArguments& calibrate = As<qmdtool::CalibrateCommand>(line).arguments();
    EXPECT_EQ(calibrate.index, 1);
    EXPECT_EQ(calibrate.ch0, 3);
    EXPECT_EQ(calibrate.ch1, 9);
    EXPECT_EQ(calibrate.position, 1.5);
    EXPECT_TRUE(calibrate.interactive);
#if QMD5820_TOOL_SIMULATOR  // the sim command exists where the library has a simulator
    line = Parse({"sim", "reset"});
    EXPECT_EQ(line.name(), "sim");
    EXPECT_EQ(As<qmdtool::SimCommand>(line).what(), "reset");
    EXPECT_FALSE(As<qmdtool::SimCommand>(line).force());
    line = Parse({"sim", "reset", "--force"});
    EXPECT_EQ(As<qmdtool::SimCommand>(line).what(), "reset");
    EXPECT_TRUE(As<qmdtool::SimCommand>(line).force());
    line = Parse({"sim", "reset"});  // the reused parser forgets --force
    EXPECT_FALSE(As<qmdtool::SimCommand>(line).force());
#endif
}

// The parser is built once and reused: nothing of one command line may stay for the next
// (the values are bound to the commands' members).
TEST(ToolCommandLine, AReusedParserForgetsThePreviousCommandLine) {
    using qmdtool::AcquireCommand;
    struct Case {
        std::vector<std::string> first, second;
        std::function<void(const CommandLine&)> check;
    };
    const Case cases[] = {
        {{"--moving", "--position", "0:1=2", "acquire", "1", "0:1", "1:5", "--interrupts", "0",
          "--sequences-per-interrupt", "4", "--csv", "a.csv", "--trigger", "soft"},
         {"acquire", "0", "2:1"},
         [](const CommandLine& line) {
             const qmdtool::AcquireArguments& a = As<AcquireCommand>(line).arguments();
             EXPECT_EQ(line.board, 0);
             ASSERT_EQ(a.uses.size(), 1u);
             EXPECT_EQ(a.uses[0].channel, 2);
             EXPECT_EQ(a.interrupts, 3u);
             EXPECT_EQ(a.sequences_per_interrupt, 10u);
             EXPECT_EQ(a.csv, "");
             EXPECT_FALSE(a.soft_trigger);
             EXPECT_FALSE(line.options.moving);
             EXPECT_TRUE(line.options.settings.empty());
         }},
        {{"outputs", "0", "on", "5"}, {"outputs", "0"},
         [](const CommandLine& line) {
             EXPECT_FALSE(As<qmdtool::OutputsCommand>(line).arguments().change);
         }},
        {{"db", "0", "add", "20", "4", "80", "1e4", "3", "10", "--backup", "b"},
         {"db", "0", "delete", "3"},
         [](const CommandLine& line) {
             EXPECT_EQ(As<qmdtool::DbCommand>(line).arguments().file, "");
         }},
        {{"db", "0", "restore", "f", "--force"}, {"db", "0", "restore", "g"},
         [](const CommandLine& line) { EXPECT_FALSE(As<qmdtool::DbCommand>(line).arguments().force); }},
        {{"timer", "0", "start", "1", "2", "3"}, {"timer", "0", "start", "4", "5"},
         [](const CommandLine& line) { EXPECT_EQ(As<qmdtool::TimerCommand>(line).arguments().irq, 0); }},
        {{"timer", "0", "stop"}, {"timer", "0"},
         [](const CommandLine& line) {
             EXPECT_EQ(As<qmdtool::TimerCommand>(line).arguments().what, "status");
         }},
        {{"calibrate", "0", "1", "3,9", "--position", "1", "--impedance", "7", "--model", "1"},
         {"calibrate", "0", "1", "3", "--position", "2", "--interactive"},
         [](const CommandLine& line) {
             const qmdtool::CalibrateArguments& a = As<qmdtool::CalibrateCommand>(line).arguments();
             EXPECT_EQ(a.ch1, 0);
             EXPECT_EQ(a.impedance, 1u);
             EXPECT_EQ(a.model, 0);
         }},
        {{"watch", "0", "0:1", "--interval", "20", "--count", "3"}, {"watch", "0", "0:1"},
         [](const CommandLine& line) {
             EXPECT_EQ(As<qmdtool::WatchCommand>(line).arguments().interval_ms, 500u);
             EXPECT_EQ(As<qmdtool::WatchCommand>(line).arguments().count, 0u);
         }},
        {{"read", "0", "0:1", "0:2"}, {"read", "0", "1:1"},  // an error first
         [](const CommandLine& line) {
             ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
             EXPECT_EQ(As<qmdtool::ReadCommand>(line).arguments().uses.size(), 1u);
         }},
        {{"--version"}, {"list"},
         [](const CommandLine& line) { EXPECT_EQ(line.kind, CommandLine::kRun); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first.front() + " then " + c.second.front());
        Parse(c.first);
        const CommandLine line = Parse(c.second);
        ASSERT_NE(line.command, nullptr) << line.text;
        c.check(line);
    }
}

TEST(ToolCommandLine, ErrorsNameTheArgumentAndTheCommand) {
    struct Case {
        std::vector<std::string> argv;
        bool simulated;
        const char* reason;
        const char* usage;
    };
    const Case cases[] = {
        {{"bogus", "0"}, true, "unknown command 'bogus'", "usage: qmd5820 [options]"},
        {{"read", "0"}, true, "CH:INDEX is required", "usage: qmd5820 read BOARD"},
        {{"read", "0", "3:1", "3:5"}, true, "channel 3 is listed twice", "usage: qmd5820 read"},
        {{"read", "256", "0:1"}, true, "BOARD: expected a board index", "usage: qmd5820 read"},
        {{"acquire", "0", "0:1", "--interrupts", "-1"}, true, "--interrupts",
         "usage: qmd5820 acquire"},
        {{"acquire", "0", "0:1", "--csv", ""}, true, "--csv: expected a file name",
         "usage: qmd5820 acquire"},
        {{"db", "0", "show", "1", "--backup", "f"}, true, "--backup", "usage: qmd5820 db BOARD show"},
        {{"db", "0", "restore", "f", "--force", "--force"}, true, "--force",
         "usage: qmd5820 db BOARD restore"},
        {{"line", "0", "test", "interrupts"}, true, "'interrupts' must be followed by on or off",
         "usage: qmd5820 line"},
        {{"timer", "0", "start", "1", "65536"}, true, "COUNT: expected a count",
         "usage: qmd5820 timer BOARD start"},
        {{"calibrate", "0", "1", "3,5", "--position", "1"}, true, "CHANNELS: expected CH0[,CH1]",
         "usage: qmd5820 calibrate"},
        {{"calibrate", "0", "1", "3", "--position", "0"}, true, "--position: expected a finite",
         "usage: qmd5820 calibrate"},
        {{"calibrate", "0", "1", "3", "--position", "1", "--interactive", "--model", "1"}, true,
         "--model excludes --interactive", "usage: qmd5820 calibrate"},
        {{"--sequence-period", "0:0", "list"}, true, "--sequence-period", "usage: qmd5820 [options]"},
        // Without the simulated board, its options and the sim command do not exist.
        {{"--moving", "list"}, false, "--moving", "usage: qmd5820 [options]"},
        {{"sim", "show"}, false, "unknown command 'sim'", "usage: qmd5820 [options]"},
        {{"--trace", "list"}, false, "--trace", "usage: qmd5820 [options]"},
    };
    for (const Case& c : cases) {
        const CommandLine line = Parse(c.argv, c.simulated);
        SCOPED_TRACE(c.argv.front() + (c.argv.size() > 1 ? " " + c.argv[1] : std::string()));
        ASSERT_EQ(line.kind, CommandLine::kError);
        const std::string first = line.text.substr(0, line.text.find('\n'));
        EXPECT_NE(first.find(c.reason), std::string::npos) << line.text;
        EXPECT_NE(line.text.find(c.usage), std::string::npos) << line.text;
        EXPECT_EQ(line.text.find("commands:"), std::string::npos);  // not the whole help
    }
}

TEST(ToolCommandLine, HelpIsTheCommandsOwnAndVersionRunsNothing) {
    CommandLine line = Parse({"--help"});
    EXPECT_EQ(line.kind, CommandLine::kHelp);
    // The usage lines are made from the declarations: what the parser accepts.
    for (const char* synopsis :
         {"watch BOARD CH:INDEX... [--interval MS] [--count N]",
          "acquire BOARD CH:INDEX... [--sequences-per-interrupt N] [--interrupts M] [--csv FILE] "
          "[--trigger soft|none]",
          "db BOARD add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE [--backup FILE]",
          "timer BOARD [start BASE COUNT [IRQ] | stop | trigger | status]",
          "calibrate BOARD INDEX CH0[,CH1] --position P [--impedance Z] [--model 0|1] "
          "[--interactive]",
          "--position BOARD:CH=VALUE"}) {
        EXPECT_NE(line.text.find(synopsis), std::string::npos) << synopsis << "\n" << line.text;
    }
    EXPECT_EQ(line.text.find("sim reset [--force] | show") != std::string::npos,
              QMD5820_TOOL_SIMULATOR != 0)
        << line.text;
    line = Parse({"help"}, false);
    EXPECT_EQ(line.kind, CommandLine::kHelp);
    EXPECT_EQ(line.text.find("sim reset"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find("--position BOARD"), std::string::npos) << line.text;
    line = Parse({"db", "0", "add", "--help"});
    EXPECT_EQ(line.kind, CommandLine::kHelp);
    EXPECT_NE(line.text.find("usage: qmd5820 db BOARD add"), std::string::npos) << line.text;
    EXPECT_NE(line.text.find("IMPEDANCE"), std::string::npos);
    EXPECT_EQ(line.text.find("--interrupts"), std::string::npos);
    EXPECT_EQ(Parse({"--version"}).kind, CommandLine::kVersion);
}

TEST(ToolCsvRows, RowsAreFixedWithSixDecimals) {
    EXPECT_EQ(qmdtool::CsvHeader({9, 3}, "mm"), "sequence,arrival/s,ch9/mm,ch3/mm\n");
    std::string out = "keep\n";
    const double values[] = {0.75, -4.0, 1e-7, 123456789.5, -0.0000004};
    qmdtool::AppendCsvRow(out, 18446744073709551615ULL, 0.0012345, values, 5);
    EXPECT_EQ(out, "keep\n18446744073709551615,0.001234,0.750000,-4.000000,0.000000,"
                   "123456789.500000,-0.000000\n");
    out.clear();
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                          -std::numeric_limits<double>::infinity(), -1.7976931348623157e308};
    qmdtool::AppendCsvRow(out, 1, 2.0, odd, 3);
    const std::string expected_start = "1,2.000000,nan,-inf,-17976931348623157";
    EXPECT_EQ(out.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(out.substr(out.size() - 8), ".000000\n");
}

}  // namespace
