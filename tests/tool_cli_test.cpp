// The qmd5820 tool's argument parsing and the CSV rows of its acquisitions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "cli_args.h"
#include "csv_rows.h"

namespace {

using qmdtool::CommandLine;

CommandLine Parse(const std::vector<std::string>& argv, bool simulated = true) {
    return qmdtool::ParseCommandLine(argv, simulated, "FULL USAGE\n");
}

TEST(ToolCommandLine, AcceptedCommandsCarryTheirValues) {
    CommandLine line = Parse({});
    EXPECT_EQ(line.kind, CommandLine::kRun);
    EXPECT_EQ(line.command, "list");

    line = Parse({"acquire", "0x1", "9:5", "3:0x0C", "--sequences-per-interrupt", "4",
                  "--interrupts", "0", "--csv", "out.csv", "--trigger", "soft"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_EQ(line.board, 1);
    ASSERT_EQ(line.acquire.uses.size(), 2u);
    EXPECT_EQ(line.acquire.uses[0].channel, 9);
    EXPECT_EQ(line.acquire.uses[0].transducer, 5);
    EXPECT_EQ(line.acquire.uses[1].channel, 3);
    EXPECT_EQ(line.acquire.uses[1].transducer, 12);
    EXPECT_EQ(line.acquire.sequences_per_interrupt, 4u);
    EXPECT_EQ(line.acquire.interrupts, 0u);  // until interrupted
    EXPECT_EQ(line.acquire.csv, "out.csv");
    EXPECT_TRUE(line.acquire.soft_trigger);

    // No cap on the count any more: the largest values of both options together.
    line = Parse({"acquire", "0", "0:1", "--sequences-per-interrupt", "65535", "--interrupts",
                  "4294967295"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_EQ(line.acquire.interrupts, 4294967295u);

    line = Parse({"--position", "1:2=-0.5", "--moving", "--trace", "watch", "1", "2:12",
                  "--interval", "20", "--count", "3"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_TRUE(line.options.moving);
    EXPECT_TRUE(line.options.trace);
    ASSERT_EQ(line.options.settings.size(), 1u);
    EXPECT_EQ(line.options.settings[0].board, 1);
    EXPECT_EQ(line.options.settings[0].channel, 2);
    EXPECT_EQ(line.options.settings[0].position, -0.5);
    EXPECT_EQ(line.channels.interval_ms, 20u);
    EXPECT_EQ(line.channels.count, 3u);

    line = Parse({"db", "0", "add", "20", "4", "80", "1e4", "3", "10", "--backup", "b.eeprom"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_EQ(line.database.what, "add");
    EXPECT_EQ(line.database.index, 20);
    EXPECT_EQ(line.database.values[2], 10000.0);
    EXPECT_EQ(line.database.values[4], 10.0);
    EXPECT_EQ(line.database.file, "b.eeprom");

    line = Parse({"db", "0", "list", "--json"});
    EXPECT_TRUE(line.json);
    line = Parse({"timer", "0", "start", "2", "0xFFFF"});
    EXPECT_EQ(line.timer.what, "start");
    EXPECT_EQ(line.timer.count, 0xFFFF);
    EXPECT_EQ(line.timer.irq, 0);
    line = Parse({"outputs", "0", "off", "0x81"});
    EXPECT_TRUE(line.outputs.change);
    EXPECT_FALSE(line.outputs.on);
    EXPECT_EQ(line.outputs.mask, 0x81);
    // calibrate's own --position is not the simulated board's.
    line = Parse({"calibrate", "0", "1", "3,9", "--interactive", "--position", "1.5"});
    ASSERT_EQ(line.kind, CommandLine::kRun) << line.text;
    EXPECT_TRUE(line.options.settings.empty());
    EXPECT_EQ(line.actions,
              (std::vector<std::string>{"1", "3,9", "--position", "1.5", "--interactive"}));
    line = Parse({"sim", "reset"});
    EXPECT_EQ(line.command, "sim");
    EXPECT_EQ(line.actions, std::vector<std::string>{"reset"});
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
        EXPECT_EQ(line.text.find("FULL USAGE"), std::string::npos);
    }
}

TEST(ToolCommandLine, HelpIsTheCommandsOwnAndVersionRunsNothing) {
    CommandLine line = Parse({"--help"});
    EXPECT_EQ(line.kind, CommandLine::kHelp);
    EXPECT_EQ(line.text, "FULL USAGE\n");
    line = Parse({"db", "0", "add", "--help"});
    EXPECT_EQ(line.kind, CommandLine::kHelp);
    EXPECT_NE(line.text.find("usage: qmd5820 db BOARD add"), std::string::npos) << line.text;
    EXPECT_NE(line.text.find("IMPEDANCE"), std::string::npos);
    EXPECT_EQ(line.text.find("--interrupts"), std::string::npos);
    EXPECT_EQ(Parse({"--version"}).kind, CommandLine::kVersion);
}

TEST(ToolCsvRows, RowsAreFixedWithSixDecimals) {
    EXPECT_EQ(qmdtool::CsvHeader({9, 3}, "mm"), "sequence,time/s,ch9/mm,ch3/mm\n");
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
