// The panel's server: checks, page files, live streams, start and stop (see panel_server.h).
#include "panel/panel_server.h"

#include <httplib.h>

#include <cstdio>

#include "panel/assets.h"
#include "panel/interrupts.h"
#include "panel/sim_control.h"

namespace qmdpanel {

std::string_view ContentType(std::string_view name) {
    const auto ends = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

void ReplyJson(httplib::Response& response, const Json& body, int status) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                         "application/json");
}

void ReplyError(httplib::Response& response, int status, const std::string& text) {
    Json body;
    body["error"] = text;
    ReplyJson(response, body, status);
}

bool RequestBody(const httplib::Request& request, httplib::Response& response, Json& body) {
    body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        ReplyError(response, 400, "the request body is not a JSON object");
        return false;
    }
    return true;
}

BoardOwner* BoardOf(Panel& panel, const httplib::Request& request, httplib::Response& response) {
    const std::string text = request.matches[1];
    if (text.size() > 3 || std::stoul(text) >= panel.board_count()) {
        ReplyError(response, 404, "there is no board " + text);
        return nullptr;
    }
    return &panel.owner(std::stoul(text));
}

Json Result(int code, QMD5820_HANDLE handle) {
    Json result;
    result["code"] = code;
    if (code != 0) result["error"] = LastError(handle);
    return result;
}

bool Field(const Json& body, const char* name, double low, double high, double& value,
           httplib::Response& response) {
    const auto it = body.find(name);
    if (it == body.end() || !it->is_number() || !(it->get<double>() >= low) ||
        !(it->get<double>() <= high)) {
        char text[160];
        std::snprintf(text, sizeof text, "%s must be a number from %g to %g", name, low, high);
        ReplyError(response, 400, text);
        return false;
    }
    value = it->get<double>();
    return true;
}

Panel::Panel(PanelOptions options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
    if (options_.access.token.empty()) options_.access.token = NewToken();
    uint8_t count = 0;
    if (i_QMD5820_GetNumberOfBoards(&count) != 0) count = 0;
    for (uint8_t index = 0; index < count; ++index) {
        owners_.push_back(std::make_unique<BoardOwner>(index, options_.period));
    }
    Routes();
}

Panel::~Panel() { Stop(); }

bool Panel::Bind(std::string& error) {
    AccessRules& access = options_.access;
    if (access.port == 0) {
        access.port = server_->bind_to_any_port(access.listen_host.c_str());
        if (access.port < 0) access.port = 0;
    } else if (!server_->bind_to_port(access.listen_host.c_str(), access.port)) {
        access.port = 0;
    }
    if (access.port == 0) {
        error = "cannot listen on " + access.listen_host;
        return false;
    }
    // httplib listens with a backlog of 5: ten tabs connecting at once would see SYNs
    // dropped and retried a second later. Listening again on the bound socket widens it.
    if (listen_socket_ >= 0) ::listen(static_cast<socket_t>(listen_socket_), 128);
    return true;
}

std::string Panel::Url() const {
    const std::string& host = options_.access.listen_host;
    std::string name = IsWildcard(host) ? "127.0.0.1" : host;
    if (name.find(':') != std::string::npos) name = "[" + name + "]";
    return "http://" + name + ":" + std::to_string(port()) + "/?token=" + token();
}

void Panel::Serve() {
    if (!stopped_) server_->listen_after_bind();
}

void Panel::Stop() {
    if (stopped_.exchange(true)) return;
    for (auto& owner : owners_) owner->stream().Close();
    server_->stop();
    for (auto& owner : owners_) {
        owner->Stop([this](BoardState& state) {
            if (state.open) {
                for (auto& hook : stop_hooks_) hook(state);
                RemoveRoutine(state);
            }
        });
    }
}

void Panel::Routes() {
    httplib::Server& server = *server_;
    // Ten tabs, each with its live stream and a few requests in flight, need more than the
    // default pool; a stream holds its thread until the tab goes.
    server.new_task_queue = [] { return new httplib::ThreadPool(48); };
    server.set_payload_max_length(options_.max_body);
    server.set_socket_options([this](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes),
                     sizeof yes);
        listen_socket_ = static_cast<long long>(socket);
    });
    // A client that stops reading is dropped after this long; the others go on.
    server.set_write_timeout(5, 0);
    server.set_read_timeout(10, 0);
    server.set_pre_routing_handler([this](const httplib::Request& request,
                                          httplib::Response& response) {
        answered_.fetch_add(1);
        const std::string host = request.get_header_value("Host");
        const std::string origin = request.get_header_value("Origin");
        const std::string token_header = request.get_header_value("X-Panel-Token");
        const std::string token_query = request.get_param_value("token");
        RequestFacts facts;
        facts.method = request.method;
        facts.path = request.path;
        facts.host = host;
        facts.has_origin = request.has_header("Origin");
        facts.origin = origin;
        facts.token_header = token_header;
        facts.token_query = token_query;
        const Verdict verdict = CheckRequest(options_.access, facts);
        if (verdict.status == 0) return httplib::Server::HandlerResponse::Unhandled;
        refused_.fetch_add(1);
        ReplyError(response, verdict.status, verdict.reason);
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("X-Frame-Options", "DENY");
        response.set_header("Referrer-Policy", "no-referrer");
    });

    server.Get(R"(/([a-z_.]*))", [](const httplib::Request& request, httplib::Response& response) {
        std::string name = request.matches[1];
        if (name.empty()) name = "index.html";
        for (const EmbeddedFile& file : EmbeddedFiles()) {
            if (file.name == name) {
                response.set_content(std::string(file.content), std::string(ContentType(name)));
                return;
            }
        }
        ReplyError(response, 404, "no such page file");
    });

    server.Get("/api/panel", [this](const httplib::Request&, httplib::Response& response) {
        Json body;
        body["read_only"] = options_.access.read_only;
        body["boards"] = owners_.size();
        body["simulator"] = SimulatorPresent();
        body["moving"] = options_.moving;
        body["period_ms"] = options_.period.count();
        ReplyJson(response, body);
    });

    // The live stream: one "data:" event per snapshot, a comment every second without one.
    server.Get(R"(/api/board/(\d+)/live)", [this](const httplib::Request& request,
                                                  httplib::Response& response) {
        BoardOwner* owner = BoardOf(*this, request, response);
        if (!owner) return;
        LiveStream* stream = &owner->stream();
        response.set_header("X-Accel-Buffering", "no");
        response.set_chunked_content_provider(
            "text/event-stream",
            [stream, seen = uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                const auto snapshot = stream->Next(seen, std::chrono::milliseconds(1000));
                if (stream->closed()) {
                    sink.done();
                    return false;
                }
                std::string event = ": waiting\n\n";
                if (snapshot) {
                    seen = snapshot->sequence;
                    event = "data: " + snapshot->data + "\n\n";
                }
                return sink.write(event.data(), event.size());
            });
    });

    BoardRoutes(*this, server);
    IoRoutes(*this, server);
    DatabaseRoutes(*this, server);
    AcquisitionRoutes(*this, server);
    CalibrationRoutes(*this, server);
    SimulatorRoutes(*this, server);
}

}  // namespace qmdpanel
