// Calibration page: start, Continue, Break, for both procedures (calibration.h).
#include <httplib.h>

#include <memory>

#include "panel/calibration.h"

namespace qmdpanel {

void CalibrationRoutes(Panel& panel, httplib::Server& server) {
    std::vector<std::shared_ptr<CalibrationRun>> runs;
    for (std::size_t i = 0; i < panel.board_count(); ++i) {
        auto run = std::make_shared<CalibrationRun>();
        runs.push_back(run);
        panel.owner(i).Call<int>([run](BoardState& state) {
            state.ticks.push_back([run](BoardState& s) { run->Tick(s); });
            state.extends.push_back([run](BoardState&, std::string& json) { run->Extend(json); });
            return 0;
        });
    }
    panel.OnStop([runs](BoardState& state) {
        if (state.index < runs.size()) runs[state.index]->Abandon(state);
    });

    // {"procedure": "worker"|"steps", "transducer", "first", "second", "position",
    //  "impedance", "model", "readings_at": [positions]}
    server.Post(R"(/api/board/(\d+)/calibration/start)", [&panel, runs](
                                                              const httplib::Request& request,
                                                              httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double transducer = 0, first = 0, second = 0, position = 0, impedance = 1, model = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "transducer", 0, 255, transducer, response) ||
            !Field(body, "first", 0, 7, first, response) ||
            !Field(body, "second", 0, 15, second, response) ||
            !Field(body, "position", -1e6, 1e6, position, response)) {
            return;
        }
        CalibrationSetup setup;
        setup.worker = body.value("procedure", std::string("worker")) != "steps";
        if (setup.worker && (!Field(body, "impedance", 1, 4294967295.0, impedance, response) ||
                             !Field(body, "model", 0, 1, model, response))) {
            return;
        }
        if (second != 0 && second < 8) {
            ReplyError(response, 400, "the group 1 channel is 8 to 15, or 0 for none");
            return;
        }
        const auto at = body.find("readings_at");
        if (at != body.end()) {
            if (!at->is_array() || at->size() > 32) {
                ReplyError(response, 400, "readings_at must list at most 32 positions");
                return;
            }
            for (const Json& x : *at) {
                if (!x.is_number()) {
                    ReplyError(response, 400, "readings_at must list numbers");
                    return;
                }
                setup.readings_at.push_back(x.get<double>());
            }
        }
        setup.transducer = static_cast<uint8_t>(transducer);
        setup.first = static_cast<uint8_t>(first);
        setup.second = static_cast<uint8_t>(second);
        setup.position = position;
        setup.impedance = static_cast<uint32_t>(impedance);
        setup.model = static_cast<uint8_t>(model);
        auto run = runs[owner->index()];
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            return run->Start(state, owner->stream(), setup);
        }));
    });

    server.Post(R"(/api/board/(\d+)/calibration/(continue|break))", [&panel, runs](
                                                                         const httplib::Request& request,
                                                                         httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        const bool next = request.matches[2] == "continue";
        auto run = runs[owner->index()];
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            return next ? run->Continue(state, owner->stream()) : run->Break(state);
        }));
    });
}

}  // namespace qmdpanel
