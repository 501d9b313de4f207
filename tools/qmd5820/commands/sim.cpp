// sim (see sim.h).
#include "commands/sim.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "qmd5820sim.h"

namespace qmdtool {

void SimCommand::Declare(CLI::App& command) {
    command.require_subcommand(1, 1);
    CLI::App* reset = command.add_subcommand("reset", "back to the factory state");
    reset->add_flag("--force", force_,
                    "reset even while another process uses the simulated boards");
    command.add_subcommand("show", "print the saved state");
}

std::string SimCommand::Finish(const CLI::App& command) {
    what_ = command.get_subcommands().front()->get_name();
    return {};
}

int SimCommand::Run(const Invocation&) const {
    const int32_t attached = qmdsim_state_attach(nullptr);
    if (attached == 1) {
        // Say which of the two reasons holds: the variable turns it off, or there is no
        // directory for the default file.
        const char* variable = std::getenv("QMD5820_SIM_STATE");
        std::printf("no state file is kept (%s): every run starts from the factory state\n",
                    variable != nullptr ? "QMD5820_SIM_STATE is empty or \"off\""
                                        : "QMD5820_SIM_STATE, XDG_STATE_HOME and HOME are all "
                                          "unset, so there is no directory for it");
        return 0;
    }
    // The simulator said why; a file it refuses to use may still be one it can remove.
    if (attached != 0 && what_ != "reset") return kFailed;
    char path[4096] = {};
    qmdsim_state_path(path, sizeof path);
    if (what_ == "reset") {
        const int32_t reset = force_ ? qmdsim_state_force_reset() : qmdsim_state_reset();
        if (reset == -2) {
            std::fprintf(stderr,
                         "qmd5820: another process is using the simulated boards (state file "
                         "%s): nothing was reset; end it first, or use 'sim reset --force'\n",
                         path);
            return kFailed;
        }
        if (reset != 0) {
            std::fprintf(stderr, "qmd5820: the state file %s cannot be reset\n", path);
            return kFailed;
        }
        std::error_code error;
        if (std::filesystem::exists(path, error)) {
            std::printf("simulated boards back to the factory state (%s reset in place: other "
                        "processes use it)\n", path);
        } else {
            std::printf("simulated boards back to the factory state (%s removed)\n", path);
        }
        return 0;
    }
    const int32_t length = qmdsim_state_describe(nullptr, 0);
    if (length < 0) {
        std::fprintf(stderr, "qmd5820: no state file attached\n");
        return kFailed;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    qmdsim_state_describe(text.data(), static_cast<uint32_t>(text.size()));
    text.resize(static_cast<std::size_t>(length));
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    return 0;
}

}  // namespace qmdtool
