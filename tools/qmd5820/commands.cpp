// The qmd5820 tool's commands: one row each, in the order of the tool's help. A command is
// its row here plus its file in commands/ (a class declaring its arguments and running it).
#include "command.h"

#include "commands/acquire.h"
#include "commands/calibrate.h"
#include "commands/channels.h"
#include "commands/db.h"
#include "commands/io.h"
#include "commands/line.h"
#include "commands/list_info.h"
#include "commands/timer.h"
#if QMD5820_TOOL_PANEL
#include "commands/panel.h"
#endif
#if QMD5820_TOOL_SIMULATOR
#include "commands/sim.h"
#endif

namespace qmdtool {
namespace {

constexpr CommandRow kCommands[] = {
    {"list", "boards with identity and versions (default)", BoardUse::kNone, false, Make<ListCommand>},
    {"info", "identity and versions of one board", BoardUse::kIndex, false, Make<InfoCommand>},
    {"inputs", "read the 8 digital inputs", BoardUse::kOpen, false, Make<InputsCommand>},
    {"outputs", "read, or switch the outputs selected by MASK", BoardUse::kOpen, false,
     Make<OutputsCommand>},
    {"timer", "run the timer", BoardUse::kOpen, false, Make<TimerCommand>},
    {"db", "the transducer database in the board's EEPROM", BoardUse::kOpen, false, Make<DbCommand>},
    {"read", "initialise channels and read them once (raw codes and values in mm)",
     BoardUse::kOpen, false, Make<ReadCommand>},
    {"watch", "read channels repeatedly (until Ctrl-C unless --count)", BoardUse::kOpen, false,
     Make<WatchCommand>},
    {"acquire", "sequence acquisition into CSV", BoardUse::kOpen, false, Make<AcquireCommand>},
    {"line", "primary line: test, rearm, calibrate, interrupts on|off", BoardUse::kOpen, false,
     Make<LineCommand>},
    {"calibrate", "calibrate a transducer type", BoardUse::kOpen, false, Make<CalibrateCommand>},
#if QMD5820_TOOL_PANEL
    {"panel", "the test panel in the browser", BoardUse::kNone, false, Make<PanelCommand>},
#endif
#if QMD5820_TOOL_SIMULATOR
    {"sim", "the simulated boards' state file: back to the factory state, or what it holds",
     BoardUse::kNone, true, Make<SimCommand>},
#endif
};

}  // namespace

std::span<const CommandRow> Commands() { return kCommands; }

}  // namespace qmdtool
