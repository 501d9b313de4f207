// The simulated board's page: each channel's transducer position, the --moving swing.
// Every change runs on the board's owner thread, between two samples.
#include <httplib.h>

#include <chrono>
#include <cmath>

#include "panel/panel_server.h"
#include "panel/sim_control.h"

namespace qmdpanel {
namespace {

// --moving: each read channel swings around the position it had when the swing began, by
// a quarter of its transducer's range, once every 10 seconds.
struct Swing {
    bool on = false;
    std::chrono::steady_clock::time_point start;
    std::array<double, 16> centre{};
};

void StartSwing(BoardState& state, Swing& swing) {
    swing.on = true;
    swing.start = std::chrono::steady_clock::now();
    for (uint8_t channel = 0; channel < 16; ++channel) {
        double range = 0;
        SimChannel(state.index, channel, swing.centre[channel], range);
    }
}

void StepSwing(BoardState& state, const Swing& swing) {
    if (!swing.on) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - swing.start).count();
    const double phase = std::sin(2.0 * 3.14159265358979323846 * seconds / 10.0);
    for (uint8_t channel = 0; channel < 16; ++channel) {
        if (state.transducer[channel] < 0) continue;
        double position = 0, range = 0;
        SimChannel(state.index, channel, position, range);
        SimMove(state.index, channel, swing.centre[channel] + range / 4.0 * phase);
    }
}

}  // namespace

void SimulatorRoutes(Panel& panel, httplib::Server& server) {
    if (!SimulatorPresent()) return;
    auto swings = std::make_shared<std::vector<Swing>>(panel.board_count());
    for (std::size_t i = 0; i < panel.board_count(); ++i) {
        Swing* swing = &(*swings)[i];
        const bool moving = panel.options().moving;
        panel.owner(i).Call<int>([swing, swings, moving](BoardState& state) {
            state.ticks.push_back([swing, swings](BoardState& s) { StepSwing(s, *swing); });
            if (moving) StartSwing(state, *swing);
            return 0;
        });
    }

    server.Get(R"(/api/sim/board/(\d+))", [&panel, swings](const httplib::Request& request,
                                                          httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        Swing* swing = &(*swings)[owner->index()];
        ReplyJson(response, owner->Call<Json>([swing](BoardState& state) {
            Json channels = Json::array();
            for (uint8_t channel = 0; channel < 16; ++channel) {
                double position = 0, range = 0;
                SimChannel(state.index, channel, position, range);
                Json entry;
                entry["channel"] = channel;
                entry["position"] = position;
                entry["range"] = range;
                channels.push_back(entry);
            }
            Json body;
            body["channels"] = channels;
            body["moving"] = swing->on;
            return body;
        }));
    });

    // {"channel": 0..15, "position": metric}
    server.Post(R"(/api/sim/board/(\d+)/position)", [&panel, swings](
                                                        const httplib::Request& request,
                                                        httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double channel = 0, position = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "channel", 0, 15, channel, response) ||
            !Field(body, "position", -1e6, 1e6, position, response)) {
            return;
        }
        Swing* swing = &(*swings)[owner->index()];
        ReplyJson(response, owner->Call<Json>([=](BoardState& state) {
            const auto c = static_cast<uint8_t>(channel);
            SimMove(state.index, c, position);
            swing->centre[c] = position;  // a swing goes on around the new position
            return Result(0, 0);
        }));
    });

    // {"on": bool, "persistent": bool}
    server.Post(R"(/api/sim/board/(\d+)/short_circuit)", [&panel](const httplib::Request& request,
                                                                 httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        if (!owner || !RequestBody(request, response, body)) return;
        const bool on = body.value("on", false), persistent = body.value("persistent", false);
        ReplyJson(response, owner->Call<Json>([=](BoardState& state) {
            SimShortCircuit(state.index, on, persistent);
            return Result(0, 0);
        }));
    });

    // {"kind": 0 clear | 1 call fails | 2 driver status | 3 power cut, "code": request code
    //  (0: any), "nth": n (0: every one), "status": driver status for kind 2}
    server.Post(R"(/api/sim/board/(\d+)/fault)", [&panel](const httplib::Request& request,
                                                         httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double kind = 0, code = 0, nth = 0, status = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "kind", 0, 3, kind, response) ||
            !Field(body, "code", 0, 4294967295.0, code, response) ||
            !Field(body, "nth", 0, 1e6, nth, response) ||
            !Field(body, "status", 0, 255, status, response)) {
            return;
        }
        ReplyJson(response, owner->Call<Json>([=](BoardState& state) {
            SimFault(state.index, static_cast<uint32_t>(code), static_cast<uint32_t>(nth),
                     static_cast<int>(kind), static_cast<uint8_t>(status));
            return Result(0, 0);
        }));
    });

    // The state file back to the factory state (every board's EEPROM, outputs and
    // potentiometers); the panel's channels are unassigned.
    server.Post("/api/sim/reset", [&panel](const httplib::Request&, httplib::Response& response) {
        std::string where;
        bool done = false;
        for (std::size_t i = 0; i < panel.board_count(); ++i) {
            panel.owner(i).Call<int>([&, i](BoardState& state) {
                if (i == 0) done = SimResetState(where);
                state.transducer.fill(-1);
                return 0;
            });
        }
        Json body = Result(done ? 0 : -1, 0);
        if (!done) body["error"] = where.empty() ? "no state file is kept" : "cannot remove " + where;
        body["state_file"] = where;
        ReplyJson(response, body);
    });

    // {"on": bool}
    server.Post(R"(/api/sim/board/(\d+)/moving)", [&panel, swings](const httplib::Request& request,
                                                                 httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        if (!owner || !RequestBody(request, response, body)) return;
        if (!body.contains("on") || !body["on"].is_boolean()) {
            ReplyError(response, 400, "on must be true or false");
            return;
        }
        const bool on = body["on"].get<bool>();
        Swing* swing = &(*swings)[owner->index()];
        ReplyJson(response, owner->Call<Json>([=](BoardState& state) {
            if (on && !swing->on) StartSwing(state, *swing);
            if (!on && swing->on) {
                swing->on = false;
                for (uint8_t channel = 0; channel < 16; ++channel) {
                    if (state.transducer[channel] >= 0) {
                        SimMove(state.index, channel, swing->centre[channel]);
                    }
                }
            }
            return Result(0, 0);
        }));
    });
}

}  // namespace qmdpanel
