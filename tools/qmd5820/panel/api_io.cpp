// Digital I/O, timer and logic load page: outputs and output memory switched, the timer
// started and stopped (its interrupts counted by the panel's routine), logic words loaded.
// The inputs, outputs and counts reach the page on the live stream.
#include <httplib.h>

#include <array>
#include <atomic>
#include <memory>

#include "panel/interrupts.h"
#include "panel/panel_server.h"

namespace qmdpanel {
namespace {

Json Refused(const char* text) {
    Json body;
    body["code"] = -1;
    body["error"] = text;
    return body;
}

}  // namespace

void IoRoutes(Panel& panel, httplib::Server& server) {
    // A timer the panel started stops with the panel (its interrupts would find no routine).
    auto timers = std::make_shared<std::array<std::atomic<bool>, 16>>();
    panel.OnStop([timers](BoardState& state) {
        if (state.index < 16 && (*timers)[state.index].exchange(false)) {
            i_QMD5820_StopTimer(state.handle);
        }
    });
    // {"mask": 0..255, "on": bool}: the outputs of the mask switched on or off.
    server.Post(R"(/api/board/(\d+)/outputs)", [&panel](const httplib::Request& request,
                                                        httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double mask = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "mask", 0, 255, mask, response)) {
            return;
        }
        if (!body.contains("on") || !body["on"].is_boolean()) {
            ReplyError(response, 400, "on must be true or false");
            return;
        }
        const bool on = body["on"].get<bool>();
        ReplyJson(response, owner->Call<Json>([mask, on](BoardState& state) {
            if (!state.open) return Refused("the board is closed");
            const auto bits = static_cast<uint8_t>(mask);
            const int16_t code = on ? i_QMD5820_Set8DigitalOutputsOn(state.handle, bits)
                                    : i_QMD5820_Set8DigitalOutputsOff(state.handle, bits);
            return Result(code, state.handle);
        }));
    });

    server.Post(R"(/api/board/(\d+)/output_memory/(on|off))",
                [&panel](const httplib::Request& request, httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        const bool on = request.matches[2] == "on";
        ReplyJson(response, owner->Call<Json>([on](BoardState& state) {
            if (!state.open) return Refused("the board is closed");
            return Result(on ? i_QMD5820_SetDigitalOutputMemoryOn(state.handle)
                             : i_QMD5820_SetDigitalOutputMemoryOff(state.handle),
                          state.handle);
        }));
    });

    // {"time_base": 0..2, "reload": 0..65535, "interrupts": bool}
    server.Post(R"(/api/board/(\d+)/timer/start)", [&panel, timers](const httplib::Request& request,
                                                           httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double base = 0, reload = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "time_base", 0, 2, base, response) ||
            !Field(body, "reload", 0, 65535, reload, response)) {
            return;
        }
        const bool interrupts = body.value("interrupts", true);
        ReplyJson(response, owner->Call<Json>([=](BoardState& state) {
            if (!state.open) return Refused("the board is closed");
            if (state.index < 16) (*timers)[state.index] = true;
            if (interrupts) {
                const int16_t installed = InstallRoutine(state);
                if (installed != 0) return Result(installed, state.handle);
            }
            return Result(i_QMD5820_InitAndStartTimer(state.handle, static_cast<uint8_t>(base),
                                                      static_cast<uint16_t>(reload),
                                                      interrupts ? 1 : 0),
                          state.handle);
        }));
    });

    server.Post(R"(/api/board/(\d+)/timer/(stop|trigger))",
                [&panel](const httplib::Request& request, httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        const bool stop = request.matches[2] == "stop";
        ReplyJson(response, owner->Call<Json>([stop](BoardState& state) {
            if (!state.open) return Refused("the board is closed");
            return Result(stop ? i_QMD5820_StopTimer(state.handle)
                               : i_QMD5820_TriggerTimer(state.handle),
                          state.handle);
        }));
    });

    // {"words": [..]}: one load (begin, the words, end) on the logic load channel.
    server.Post(R"(/api/board/(\d+)/logic)", [&panel](const httplib::Request& request,
                                                     httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        if (!owner || !RequestBody(request, response, body)) return;
        std::vector<uint32_t> words;
        const auto list = body.find("words");
        if (list == body.end() || !list->is_array() || list->size() > 4096) {
            ReplyError(response, 400, "words must be a list of at most 4096 numbers");
            return;
        }
        for (const Json& word : *list) {
            if (!word.is_number_unsigned() || word.get<uint64_t>() > 0xFFFFFFFFu) {
                ReplyError(response, 400, "each word must be a number from 0 to 4294967295");
                return;
            }
            words.push_back(word.get<uint32_t>());
        }
        ReplyJson(response, owner->Call<Json>([words](BoardState& state) {
            if (!state.open) return Refused("the board is closed");
            int16_t code = i_QMD5820_LoadLogicCommand(state.handle, 1);
            for (std::size_t i = 0; code == 0 && i < words.size(); ++i) {
                code = i_QMD5820_LoadLogicWrite(state.handle, words[i]);
            }
            if (code == 0) code = i_QMD5820_LoadLogicCommand(state.handle, 2);
            Json result = Result(code, state.handle);
            uint8_t status = 0;
            if (i_QMD5820_GetLoadLogicStatus(state.handle, &status) == 0) result["status"] = status;
            return result;
        }));
    });
}

}  // namespace qmdpanel
