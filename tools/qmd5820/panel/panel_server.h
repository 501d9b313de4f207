// The test panel's HTTP server: the page files, the JSON requests of each page and the
// boards' live streams, behind the access checks of access.h. Each board has its owner
// thread (board_owner.h); request handlers only post work to it.
#ifndef QMD5820_PANEL_SERVER_H
#define QMD5820_PANEL_SERVER_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "panel/access.h"
#include "panel/board_owner.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qmdpanel {

using Json = nlohmann::ordered_json;

struct PanelOptions {
    AccessRules access;              // port 0: any free port (see Panel::port)
    bool moving = false;             // simulated positions swing (as the tool's --moving)
    std::chrono::milliseconds period{20};  // live sampling period of each board
    std::size_t max_body = 256 * 1024;     // largest request body (uploads) accepted
};

class Panel {
public:
    explicit Panel(PanelOptions options);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Binds the listening socket; false with `error` set when it cannot.
    bool Bind(std::string& error);
    int port() const { return options_.access.port; }
    const std::string& token() const { return options_.access.token; }
    // The address to open in a browser (with the token).
    std::string Url() const;

    // Serves until Stop (from another thread or a signal watcher).
    void Serve();
    // Ends the serving: closes the live streams, stops acquisitions, calibrations and
    // routines on every board, closes the boards. Safe to call more than once.
    void Stop();

    std::size_t board_count() const { return owners_.size(); }
    BoardOwner& owner(std::size_t index) { return *owners_[index]; }
    const PanelOptions& options() const { return options_; }

    // Hooks run on each board's owner thread when the panel stops (one per feature that
    // leaves something running on the board), in the order added.
    void OnStop(std::function<void(BoardState&)> hook) { stop_hooks_.push_back(std::move(hook)); }

    // Requests answered so far (all, and refused by the checks).
    uint64_t answered() const { return answered_.load(); }
    uint64_t refused() const { return refused_.load(); }

private:
    void Routes();
    PanelOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::vector<std::unique_ptr<BoardOwner>> owners_;
    std::vector<std::function<void(BoardState&)>> stop_hooks_;
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> stopped_{false};
    long long listen_socket_ = -1;  // the listening socket, once bound
};

// ---- for the handlers of each page (api_*.cpp) ---------------------------------------------

void ReplyJson(httplib::Response& response, const Json& body, int status = 200);
void ReplyError(httplib::Response& response, int status, const std::string& text);
// The request's JSON body; false (with the reply made) when it is not a JSON object.
bool RequestBody(const httplib::Request& request, httplib::Response& response, Json& body);
// The board of /api/board/N/...; null (with a 404 reply) for a board the panel does not have.
BoardOwner* BoardOf(Panel& panel, const httplib::Request& request, httplib::Response& response);
// A library result as JSON: {"code": c, "error": text} (the text only for failures).
Json Result(int code, QMD5820_HANDLE handle);
// A number of the body within [low, high]; false (with a 400 reply) otherwise.
bool Field(const Json& body, const char* name, double low, double high, double& value,
           httplib::Response& response);

// The pages' request groups.
void BoardRoutes(Panel& panel, httplib::Server& server);
void IoRoutes(Panel& panel, httplib::Server& server);
void DatabaseRoutes(Panel& panel, httplib::Server& server);
void AcquisitionRoutes(Panel& panel, httplib::Server& server);
void CalibrationRoutes(Panel& panel, httplib::Server& server);
void SimulatorRoutes(Panel& panel, httplib::Server& server);

}  // namespace qmdpanel

#endif
