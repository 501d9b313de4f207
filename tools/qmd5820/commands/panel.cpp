// panel (see panel.h): binds, prints the address with its token, opens the browser and
// serves until Ctrl-C or SIGTERM; then stops what the panel started on the boards and
// closes them.
#include "commands/panel.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/signals.h"
#include "panel/panel_server.h"

namespace qmdtool {
namespace {

void OpenBrowser(const std::string& url) {
    // The address holds only digits, dots, letters and "/:?=[]": no quoting is needed.
#if defined(_WIN32)
    const std::string command = "start \"\" \"" + url + "\"";
#else
    const std::string command = "xdg-open '" + url + "' >/dev/null 2>&1 &";
#endif
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "qmd5820: panel: no browser could be opened; open the address above\n");
    }
}

}  // namespace

std::string ParseListen(const std::string& text, std::string& host, int& port) {
    std::string port_text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) return "--listen: expected [ADDR]:PORT, got '" + text + "'";
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            return "--listen: expected ADDR:PORT, got '" + text + "'";
        }
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    if (host.empty()) host = "127.0.0.1";
    if (port_text.empty() || port_text.size() > 5 ||
        port_text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port_text) > 65535) {
        return "--listen: the port must be a number from 0 to 65535, got '" + port_text + "'";
    }
    port = static_cast<int>(std::stoul(port_text));
    return {};
}

void PanelCommand::Declare(CLI::App& command) {
    command.add_option("--listen", texts_.listen,
                       "address and port to listen on (127.0.0.1, any free port)")
        ->type_name("ADDR:PORT");
    command.add_option("--token", texts_.token,
                       "the token every request must carry (default: a new one per run); "
                       "required with a non-loopback --listen")
        ->type_name("TOKEN");
    command.add_flag("--read-only", texts_.read_only, "refuse every change");
    command.add_flag("--no-browser", texts_.no_browser, "do not open the browser");
}

std::string PanelCommand::Finish(const CLI::App&) {
    arguments_ = {};
    if (!texts_.listen.empty()) {
        const std::string error = ParseListen(texts_.listen, arguments_.host, arguments_.port);
        if (!error.empty()) return error;
    }
    if (!qmdpanel::IsLoopback(arguments_.host) && texts_.token.empty()) {
        return "--listen " + texts_.listen +
               " is not a loopback address: anyone on the network could reach the board; "
               "give --token TOKEN (at least 16 characters) to allow it";
    }
    if (!texts_.token.empty() && texts_.token.size() < 16) {
        return "--token: at least 16 characters";
    }
    if (texts_.token.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ-_.~") != std::string::npos) {
        return "--token: letters, digits and -_.~ only";
    }
    arguments_.token = texts_.token;
    arguments_.read_only = texts_.read_only;
    arguments_.no_browser = texts_.no_browser;
    return {};
}

// Ctrl-C and SIGTERM end the serving; the panel then stops acquisitions and calibrations,
// removes its interrupt routines and closes the boards before the command returns.
int PanelCommand::Run(const Invocation& invocation) const {
    qmdpanel::PanelOptions options;
    options.access.listen_host = arguments_.host;
    options.access.port = arguments_.port;
    options.access.token = arguments_.token;
    options.access.read_only = arguments_.read_only;
    options.moving = invocation.options.moving;
    const InterruptSignals signals({SIGINT, SIGTERM});
    qmdpanel::Panel panel(options);
    std::string error;
    if (!panel.Bind(error)) {
        std::fprintf(stderr, "qmd5820: panel: %s\n", error.c_str());
        return kFailed;
    }
    if (!qmdpanel::IsLoopback(arguments_.host)) {
        std::fprintf(stderr, "qmd5820: panel: listening on %s, reachable from the network: "
                             "every request needs the token\n", arguments_.host.c_str());
    }
    std::printf("qmd5820 panel: %s%s\n", panel.Url().c_str(),
                arguments_.read_only ? "  (read-only)" : "");
    std::printf("%u board(s); Ctrl-C stops the panel\n", static_cast<unsigned>(panel.board_count()));
    std::fflush(stdout);
    if (!arguments_.no_browser) OpenBrowser(panel.Url());
    std::atomic<bool> served{false};
    std::thread watcher([&panel, &served] {
        while (!served && Pause(100)) {
        }
        panel.Stop();
    });
    panel.Serve();
    served = true;
    watcher.join();
    panel.Stop();
    std::printf("qmd5820 panel: stopped\n");
    return 0;
}

}  // namespace qmdtool
