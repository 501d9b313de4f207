// Boards and Channels pages: identity, open/close, the primary line, the transducer types
// of the database and which channel reads which type.
#include <httplib.h>

#include <cinttypes>
#include <cstdio>

#include "panel/panel_server.h"
#include "qmd5820_version.h"

namespace qmdpanel {
namespace {

std::string Hex(uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*" PRIX32, digits, value);
    return text;
}

std::string Version(uint32_t v) {
    return std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFFu);
}

Json Identity(BoardState& state) {
    Json board;
    board["index"] = state.index;
    board["open"] = state.open;
    if (!state.open) board["open_error"] = Result(state.open_code, 0);
    char identifier[64] = {};
    uint32_t v[7] = {};
    uint8_t v8 = 0;
    if (i_QMD5820_GetBoardInformation(state.index, sizeof identifier, identifier, &v[0], &v[1],
                                      &v[2], &v[3], &v[4], &v[5], &v[6], &v8) == 0) {
        board["identifier"] = identifier;
        Json values = Json::array();
        for (const uint32_t value : v) values.push_back(Hex(value));
        values.push_back(Hex(v8, 2));
        board["board_values"] = values;
    }
    if (!state.open) return board;
    char revision = '?';
    uint32_t value = 0;
    if (i_QMD5820_GetBoardHardwareRevision(state.handle, &revision) == 0) {
        board["revision"] = std::string(1, revision);
    }
    if (i_QMD5820_GetBoardSerialNumber(state.handle, &value) == 0) board["serial"] = value;
    if (i_QMD5820_GetDeviceDriverVersion(state.handle, &value) == 0) {
        board["driver"] = Version(value);
    }
    if (i_QMD5820_GetFirmwareVersion(state.handle, &value) == 0) board["firmware"] = Version(value);
    uint8_t channels = 0;
    if (i_QMD5820_GetNumberOfTransducerChannels(state.handle, &channels) == 0) {
        board["channels"] = channels;
    }
    board["busy"] = state.busy_with;
    return board;
}

Json LineStatus(uint8_t status) {
    Json line;
    line["status"] = status;
    line["short_circuit"] = (status & 2) != 0;
    line["detection_responds"] = (status & 1) != 0;
    return line;
}

}  // namespace

// The transducer types of the open board's database with their data; {"code":..} on failure.
Json TransducerList(BoardState& state) {
    Json body;
    uint8_t indexes[32] = {};
    uint8_t count = 0;
    const int16_t code = i_QMD5820_GetAvailableTransducerTypes(state.handle, indexes, 32, &count);
    body["result"] = Result(code, state.handle);
    Json types = Json::array();
    for (uint8_t i = 0; code == 0 && i < count && i < 32; ++i) {
        double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
        uint8_t calibrated = 0;
        Json type;
        type["index"] = indexes[i];
        const int16_t info = i_QMD5820_TransducerDatabaseReadTransducerInfo(
            state.handle, indexes[i], &range, &sensitivity, &frequency, &voltage, &calibrated);
        if (info == 0) {
            type["range"] = range;
            type["sensitivity"] = sensitivity;
            type["frequency"] = frequency;
            type["voltage"] = voltage;
            type["calibrated"] = (calibrated & 1) != 0;
        } else {
            type["result"] = Result(info, state.handle);
        }
        types.push_back(type);
    }
    body["types"] = types;
    return body;
}

void BoardRoutes(Panel& panel, httplib::Server& server) {
    server.Get("/api/boards", [&panel](const httplib::Request&, httplib::Response& response) {
        uint32_t dll = 0;
        i_QMD5820_GetDLLVersion(&dll);
        Json boards = Json::array();
        for (std::size_t i = 0; i < panel.board_count(); ++i) {
            boards.push_back(panel.owner(i).Call<Json>(Identity));
        }
        Json body;
        // The library as the tool names it (its number is not major.minor in 16-bit halves).
        body["library"] = dll == QMD5820_VERSION_NUMBER ? std::string(QMD5820_VERSION_TEXT)
                                                        : "another version (" + Hex(dll) + ")";
        body["boards"] = boards;
        ReplyJson(response, body);
    });

    server.Post(R"(/api/board/(\d+)/(open|close))", [&panel](const httplib::Request& request,
                                                             httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        const bool open = request.matches[2] == "open";
        ReplyJson(response, owner->Call<Json>([open](BoardState& state) {
            if (state.busy) {
                Json refused;
                refused["code"] = -50;
                refused["error"] = "the board is busy: " + state.busy_with;
                return refused;
            }
            if (open && !state.open) {
                state.open_code = i_QMD5820_OpenBoardViaIndex(state.index, &state.handle);
                state.open = state.open_code == 0;
                return Result(state.open_code, 0);
            }
            if (!open && state.open) {
                const int16_t code = i_QMD5820_CloseBoard(state.handle);
                state.open = false;
                state.transducer.fill(-1);
                return Result(code, 0);
            }
            return Result(0, 0);
        }));
    });

    server.Get(R"(/api/board/(\d+)/transducers)", [&panel](const httplib::Request& request,
                                                           httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        ReplyJson(response, owner->Call<Json>([](BoardState& state) {
            Json body = state.open ? TransducerList(state) : Json::object();
            Json assigned = Json::array();
            for (const int type : state.transducer) assigned.push_back(type);
            body["assigned"] = assigned;
            body["open"] = state.open;
            return body;
        }));
    });

    // {"channel": 0..15, "transducer": index, or -1 to stop reading the channel}
    server.Post(R"(/api/board/(\d+)/channel)", [&panel](const httplib::Request& request,
                                                        httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double channel = 0, transducer = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "channel", 0, 15, channel, response) ||
            !Field(body, "transducer", -1, 255, transducer, response)) {
            return;
        }
        ReplyJson(response, owner->Call<Json>([channel, transducer](BoardState& state) {
            const auto c = static_cast<uint8_t>(channel);
            const int type = static_cast<int>(transducer);
            if (!state.open) return Result(-1, 0);
            if (type < 0) {
                state.transducer[c] = -1;
                return Result(0, 0);
            }
            const int16_t code = i_QMD5820_Init1TransducerChannel(
                state.handle, c, static_cast<uint8_t>(type), 0.0);
            if (code == 0) state.transducer[c] = type;
            return Result(code, state.handle);
        }));
    });

    server.Post(R"(/api/board/(\d+)/line/(test|rearm|calibrate))",
                [&panel](const httplib::Request& request, httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        const std::string action = request.matches[2];
        ReplyJson(response, owner->Call<Json>([action](BoardState& state) {
            if (!state.open) return Result(-1, 0);
            int16_t code = 0;
            Json body;
            if (action == "rearm") code = i_QMD5820_RearmPrimaryLine(state.handle);
            if (action == "calibrate") code = i_QMD5820_CalibratePrimaryLineTest(state.handle);
            uint8_t status = 0;
            if (code == 0) {
                code = i_QMD5820_TestPrimaryLine(state.handle, &status);
                if (code == 0) body["line"] = LineStatus(status);
            }
            body["result"] = Result(code, state.handle);
            return body;
        }));
    });
}

}  // namespace qmdpanel
