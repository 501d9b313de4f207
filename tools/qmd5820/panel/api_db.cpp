// Transducer database page: add (the data checked and the computed settings shown before
// anything is written), delete, the database check, and restore from an uploaded backup
// (its findings shown before anything is written). Every change is preceded by a backup of
// the whole EEPROM, which the page offers to download; a change whose backup failed is not
// made.
#include <httplib.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

#include "eeprom_image.h"
#include "eeprom_words.h"
#include "panel/panel_server.h"
#include "qmd5820_protocol/settings.h"
#include "qmd5820_texts.h"

namespace qmdpanel {
namespace {

using qmdtool::EepromImage;

// The backups of this run, by number (kept in memory: the page downloads them).
struct Backups {
    struct Entry {
        uint8_t board;
        std::string reason, time, name;
        std::vector<uint8_t> bytes;
    };
    std::mutex mutex;
    std::map<int, Entry> entries;
    int next = 1;
    // Uploaded backups waiting for the user's confirmation, by number.
    std::map<int, qmdtool::Backup> uploads;
};

bool ReadIdentity(BoardState& state, qmdtool::BoardIdentity& identity, std::string& error) {
    char identifier[64] = {};
    uint32_t v[7] = {};
    uint8_t v8 = 0;
    if (i_QMD5820_GetBoardInformation(state.index, sizeof identifier, identifier, &v[0], &v[1],
                                      &v[2], &v[3], &v[4], &v[5], &v[6], &v8) != 0 ||
        i_QMD5820_GetBoardSerialNumber(state.handle, &identity.serial_number) != 0 ||
        i_QMD5820_GetBoardHardwareRevision(state.handle, &identity.revision) != 0) {
        error = "the board's identity cannot be read";
        return false;
    }
    identity.identifier = identifier;
    return true;
}

bool ReadImage(BoardState& state, EepromImage& image, std::string& error) {
    qmdtool::EepromWords words(*qmd5820_default_backend(), state.index);
    if (!words.ok()) {
        error = "the board cannot be opened for EEPROM access";
        return false;
    }
    return words.ReadAll(image, error);
}

std::string Stamp() {
    char stamp[32] = "undated";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", utc);
    }
    return stamp;
}

// Saves the whole EEPROM before a change; the backup's number, or 0 with `error`.
int SaveBackup(Backups& backups, BoardState& state, const std::string& reason, std::string& error) {
    qmdtool::BoardIdentity identity;
    EepromImage image;
    if (!ReadIdentity(state, identity, error) || !ReadImage(state, image, error)) return 0;
    Backups::Entry entry{state.index, reason, Stamp(), {}, qmdtool::EncodeBackup(identity, image)};
    const std::lock_guard<std::mutex> lock(backups.mutex);
    const int number = backups.next++;
    entry.name = "board" + std::to_string(state.index) + "-serial" +
                 std::to_string(identity.serial_number) + "-" + entry.time + "-" +
                 std::to_string(number) + ".eeprom";
    backups.entries.emplace(number, std::move(entry));
    return number;
}

// Before a database change: the board open and free, and its whole EEPROM saved. Fills
// `reply` with the backup's number, or with the refusal (then false: nothing changes).
bool BackupBeforeChange(Backups& backups, BoardState& state, const std::string& reason,
                        Json& reply) {
    std::string error;
    if (!state.open || state.busy) {
        reply["result"] = Result(-1, 0);
        reply["result"]["error"] = state.open ? "the board is busy" : "the board is closed";
        return false;
    }
    const int backup = SaveBackup(backups, state, reason, error);
    if (backup == 0) {
        reply["result"] = Result(-1, 0);
        reply["result"]["error"] = "no backup, nothing changed: " + error;
        return false;
    }
    reply["backup"] = backup;
    return true;
}

Json CheckJson(const qmdtool::CheckReport& report) {
    Json check;
    check["consistent"] = report.consistent();
    check["transducers"] = report.transducers;
    check["notes"] = report.notes;
    check["problems"] = report.problems;
    return check;
}

struct TransducerData {
    double index = 0, range = 0, sensitivity = 0, frequency = 0, voltage = 0, impedance = 0;
};

bool ReadData(const Json& body, TransducerData& d, httplib::Response& response) {
    // Only the kind is checked here; the values go through the shared check.
    for (const char* name : {"index", "range", "sensitivity", "frequency", "voltage", "impedance"}) {
        if (!body.contains(name) || !body[name].is_number()) {
            ReplyError(response, 400, std::string(name) + " must be a number");
            return false;
        }
    }
    double index = 0;
    if (!Field(body, "index", 0, 255, index, response)) return false;
    d = {index, body["range"], body["sensitivity"], body["frequency"], body["voltage"],
         body["impedance"]};
    return true;
}

// The shared check's finding ("" when the data are acceptable) and the settings computed
// from the data sheet values, as they would be written.
Json Preview(const TransducerData& d) {
    Json preview;
    char problem[QMD5820_PROBLEM_TEXT_SIZE] = {};
    const int field = qmd5820_transducer_data_problem(d.range, d.sensitivity, d.frequency,
                                                      d.voltage, d.impedance, problem,
                                                      sizeof problem);
    preview["problem"] = field == 0 ? Json(nullptr) : Json(problem);
    if (field != 0) return preview;
    const uint32_t frequency = qmd::TruncateFrequency(d.frequency);
    static uint8_t block[qmd::kConfigurationBlockBytes];
    qmd::ComputeTransducerSettings(d.voltage, d.sensitivity, d.range, d.impedance, frequency, block);
    Json fields = Json::array();
    for (std::size_t f = 0; f < qmd::kConfigurationBlockBytes / 4; ++f) {
        const uint32_t value = static_cast<uint32_t>(block[4 * f]) | (uint32_t{block[4 * f + 1]} << 8) |
                               (uint32_t{block[4 * f + 2]} << 16) | (uint32_t{block[4 * f + 3]} << 24);
        if (value == 0) continue;
        char text[16];
        std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
        fields.push_back(Json::array({f, text}));
    }
    preview["frequency"] = frequency;
    preview["excitation_profile"] = qmd::NearestProfile(frequency);
    preview["fields"] = fields;  // [field, value] for every field that is not zero
    return preview;
}

}  // namespace

void DatabaseRoutes(Panel& panel, httplib::Server& server) {
    auto backups = std::make_shared<Backups>();

    server.Get(R"(/api/board/(\d+)/db/check)", [&panel](const httplib::Request& request,
                                                        httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        ReplyJson(response, owner->Call<Json>([](BoardState& state) {
            Json body;
            EepromImage image;
            std::string error;
            if (!state.open || !ReadImage(state, image, error)) {
                body["error"] = state.open ? error : "the board is closed";
                return body;
            }
            body["check"] = CheckJson(qmdtool::CheckImage(image));
            return body;
        }));
    });

    server.Post(R"(/api/board/(\d+)/db/preview)", [&panel](const httplib::Request& request,
                                                          httplib::Response& response) {
        Json body;
        TransducerData data;
        if (!BoardOf(panel, request, response) || !RequestBody(request, response, body) ||
            !ReadData(body, data, response)) {
            return;
        }
        ReplyJson(response, Preview(data));
    });

    server.Post(R"(/api/board/(\d+)/db/add)", [&panel, backups](const httplib::Request& request,
                                                               httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        TransducerData d;
        if (!owner || !RequestBody(request, response, body) || !ReadData(body, d, response)) return;
        const Json preview = Preview(d);
        if (!preview["problem"].is_null()) {
            ReplyError(response, 400, preview["problem"].get<std::string>());
            return;
        }
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            Json reply;
            if (!BackupBeforeChange(*backups, state,
                                    "before adding " + std::to_string(static_cast<int>(d.index)),
                                    reply)) {
                return reply;
            }
            reply["result"] = Result(i_QMD5820_TransducerDatabaseAdd(
                state.handle, static_cast<uint8_t>(d.index), d.range, d.sensitivity, d.frequency,
                d.voltage, d.impedance), state.handle);
            return reply;
        }));
    });

    server.Post(R"(/api/board/(\d+)/db/delete)", [&panel, backups](const httplib::Request& request,
                                                                  httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double index = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "index", 0, 255, index, response)) {
            return;
        }
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            Json reply;
            const auto type = static_cast<uint8_t>(index);
            if (!BackupBeforeChange(*backups, state, "before deleting " + std::to_string(type),
                                    reply)) {
                return reply;
            }
            reply["result"] = Result(i_QMD5820_TransducerDatabaseDelete(state.handle, type), state.handle);
            // A channel read with the deleted type is read no more.
            for (int& t : state.transducer) {
                if (t == type) t = -1;
            }
            return reply;
        }));
    });

    server.Get("/api/backups", [backups](const httplib::Request&, httplib::Response& response) {
        const std::lock_guard<std::mutex> lock(backups->mutex);
        Json list = Json::array();
        for (const auto& [number, entry] : backups->entries) {
            Json item;
            item["number"] = number;
            item["board"] = entry.board;
            item["reason"] = entry.reason;
            item["time"] = entry.time;
            item["name"] = entry.name;
            item["bytes"] = entry.bytes.size();
            list.push_back(item);
        }
        ReplyJson(response, list);
    });

    server.Get(R"(/api/backup/(\d{1,6}))", [backups](const httplib::Request& request,
                                                     httplib::Response& response) {
        const std::lock_guard<std::mutex> lock(backups->mutex);
        const auto it = backups->entries.find(std::stoi(request.matches[1]));
        if (it == backups->entries.end()) {
            ReplyError(response, 404, "no such backup");
            return;
        }
        response.set_header("Content-Disposition", "attachment; filename=\"" + it->second.name + "\"");
        response.set_content(std::string(it->second.bytes.begin(), it->second.bytes.end()),
                             "application/octet-stream");
    });

    // The body is a backup file. Nothing is written: the findings (intact or not, whose
    // board, how many words differ, the database check of the backup) and a number to
    // confirm the restore with.
    server.Post(R"(/api/board/(\d+)/db/restore/check)", [&panel, backups](
                                                            const httplib::Request& request,
                                                            httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        std::string error;
        auto backup = qmdtool::DecodeBackup(
            std::vector<uint8_t>(request.body.begin(), request.body.end()), error);
        if (!backup) {
            ReplyError(response, 400, "not an intact backup: " + error);
            return;
        }
        Json reply = owner->Call<Json>([&](BoardState& state) {
            Json findings;
            qmdtool::BoardIdentity identity;
            EepromImage current;
            std::string problem;
            if (!state.open || !ReadIdentity(state, identity, problem) ||
                !ReadImage(state, current, problem)) {
                findings["error"] = state.open ? problem : "the board is closed";
                return findings;
            }
            findings["backup_of"] = qmdtool::DescribeIdentity(backup->identity);
            findings["this_board"] = qmdtool::DescribeIdentity(identity);
            findings["same_board"] = identity == backup->identity;
            std::size_t differ = 0;
            for (std::size_t i = 0; i < current.size() && i < backup->image.size(); ++i) {
                differ += current[i] != backup->image[i];
            }
            findings["words_differing"] = differ;
            findings["check"] = CheckJson(qmdtool::CheckImage(backup->image));
            return findings;
        });
        if (!reply.contains("error")) {
            const std::lock_guard<std::mutex> lock(backups->mutex);
            const int number = backups->next++;
            backups->uploads[number] = std::move(*backup);
            reply["upload"] = number;
        }
        ReplyJson(response, reply);
    });

    // {"upload": n, "force": bool}: writes the checked upload (a backup of the board first).
    server.Post(R"(/api/board/(\d+)/db/restore)", [&panel, backups](const httplib::Request& request,
                                                                   httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double number = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "upload", 1, 1e9, number, response)) {
            return;
        }
        qmdtool::Backup upload;
        {
            const std::lock_guard<std::mutex> lock(backups->mutex);
            const auto it = backups->uploads.find(static_cast<int>(number));
            if (it == backups->uploads.end()) {
                ReplyError(response, 404, "no such upload: check the file first");
                return;
            }
            upload = it->second;
        }
        const bool force = body.value("force", false);
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            Json reply;
            std::string error;
            qmdtool::BoardIdentity identity;
            if (!state.open || state.busy || !ReadIdentity(state, identity, error)) {
                reply["error"] = !state.open ? "the board is closed" : state.busy ? "the board is busy" : error;
                return reply;
            }
            if (!(identity == upload.identity) && !force) {
                reply["error"] = "the backup is of board " + qmdtool::DescribeIdentity(upload.identity) +
                                 ", not of this one: nothing was written";
                return reply;
            }
            const int backup = SaveBackup(*backups, state, "before a restore", error);
            if (backup == 0) {
                reply["error"] = "no backup, nothing changed: " + error;
                return reply;
            }
            reply["backup"] = backup;
            qmdtool::EepromWords words(*qmd5820_default_backend(), state.index);
            EepromImage current;
            uint32_t written = 0;
            if (!words.ok() || !words.ReadAll(current, error) ||
                !words.WriteDifferences(current, upload.image, written, error)) {
                reply["error"] = "the restore failed: " + (words.ok() ? error : "no EEPROM access");
                return reply;
            }
            reply["written"] = written;
            reply["check"] = CheckJson(qmdtool::CheckImage(current));
            state.transducer.fill(-1);  // the types may have changed under the channels
            return reply;
        }));
    });
}

}  // namespace qmdpanel
