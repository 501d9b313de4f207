// Acquisition page: a sequence acquisition started and stopped from the page, its data read
// by the board's owner thread between samples and kept as the CSV rows `qmd5820 acquire`
// writes (the page downloads them), a decimated live plot on the stream and the backlog
// (sequences the board announced and the panel has not read yet) always shown.
#include <httplib.h>

#include <chrono>
#include <cmath>
#include <mutex>

#include "commands/csv_rows.h"
#include "panel/interrupts.h"
#include "panel/panel_server.h"

namespace qmdpanel {
namespace {

constexpr std::size_t kMaxCsvBytes = 64u << 20;  // beyond it the acquisition stops

struct Acquisition {
    using Clock = std::chrono::steady_clock;
    // Owner thread only.
    bool running = false;
    std::vector<uint8_t> channels, types;
    uint32_t per_interrupt = 1;
    uint64_t interrupts_at_start = 0;
    Clock::time_point start;
    std::vector<uint8_t> pending;
    std::string plot;  // the decimated points since the last snapshot
    std::string stopped_because;
    // Also read by the download.
    std::mutex mutex;
    std::string csv;
    uint64_t written = 0;
};

uint64_t Announced(const BoardState& state, const Acquisition& a) {
    return (Counts(state.index).sequence - a.interrupts_at_start) * a.per_interrupt;
}

// Reads what the board holds and appends complete sequences as rows, times spread evenly
// since the previous batch (as the tool's recorder does); false after a failed call.
bool Collect(BoardState& state, Acquisition& a) {
    const std::size_t sequence_bytes = a.channels.size() * 2;
    for (;;) {
        uint8_t buffer[16384];
        const int32_t n = l_QMD5820_ReadSequenceData(state.handle, sizeof buffer, buffer);
        if (n < 0) {
            a.stopped_because = "reading the data failed: " + LastError(state.handle);
            return false;
        }
        if (n == 0) break;
        a.pending.insert(a.pending.end(), buffer, buffer + n);
        if (static_cast<std::size_t>(n) < sizeof buffer) break;
    }
    const std::size_t sequences = a.pending.size() / sequence_bytes;
    if (sequences == 0) return true;
    const double now = std::chrono::duration<double>(Acquisition::Clock::now() - a.start).count();
    std::vector<uint16_t> raw(a.channels.size());
    std::vector<double> metric(a.channels.size());
    std::string rows;
    for (std::size_t s = 0; s < sequences; ++s) {
        const uint8_t* codes = a.pending.data() + s * sequence_bytes;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            raw[i] = static_cast<uint16_t>(codes[2 * i] | (codes[2 * i + 1] << 8));
        }
        if (i_QMD5820_ConvertMoreRawToMetricValues(state.handle, static_cast<uint8_t>(raw.size()),
                                                   a.channels.data(), raw.data(),
                                                   metric.data()) != 0) {
            a.stopped_because = "the conversion failed: " + LastError(state.handle);
            return false;
        }
        // Every row of a batch carries the time the batch arrived, as the tool's recorder
        // writes it: the host does not know when within the batch each sequence was taken.
        const double seconds = now;
        const std::lock_guard<std::mutex> lock(a.mutex);
        qmdtool::AppendCsvRow(a.csv, ++a.written, seconds, metric.data(), metric.size());
        // One point per batch reaches the plot: the batch's last sequence.
        if (s + 1 == sequences) {
            std::string point = "[" + std::to_string(seconds);
            for (const double v : metric) point += "," + (std::isfinite(v) ? std::to_string(v) : "null");
            a.plot += (a.plot.empty() ? "" : ",") + point + "]";
        }
    }
    a.pending.erase(a.pending.begin(),
                    a.pending.begin() + static_cast<std::ptrdiff_t>(sequences * sequence_bytes));
    const std::lock_guard<std::mutex> lock(a.mutex);
    if (a.csv.size() > kMaxCsvBytes) {
        a.stopped_because = "the recording reached 64 MiB";
        return false;
    }
    return true;
}

int16_t StopAcquisition(BoardState& state, Acquisition& a) {
    if (!a.running) return 0;
    const int16_t code = i_QMD5820_StopTransducerAcquisition(state.handle);
    Collect(state, a);  // what the stopped board still holds
    a.running = false;
    state.busy = false;
    state.busy_with.clear();
    return code;
}

}  // namespace

void AcquisitionRoutes(Panel& panel, httplib::Server& server) {
    std::vector<std::shared_ptr<Acquisition>> runs;
    for (std::size_t i = 0; i < panel.board_count(); ++i) {
        auto a = std::make_shared<Acquisition>();
        runs.push_back(a);
        panel.owner(i).Call<int>([a](BoardState& state) {
            state.ticks.push_back([a](BoardState& s) {
                if (a->running && !Collect(s, *a)) StopAcquisition(s, *a);
            });
            state.extends.push_back([a](BoardState& s, std::string& json) {
                if (!a->running && a->written == 0) return;
                const uint64_t announced = Announced(s, *a);
                json += ",\"acquisition\":{\"running\":" + std::string(a->running ? "true" : "false") +
                        ",\"written\":" + std::to_string(a->written) +
                        ",\"backlog\":" + std::to_string(announced > a->written ? announced - a->written : 0) +
                        ",\"stopped_because\":\"" + a->stopped_because + "\",\"points\":[" + a->plot + "]}";
                a->plot.clear();
            });
            return 0;
        });
    }
    panel.OnStop([runs](BoardState& state) {
        if (state.index < runs.size()) StopAcquisition(state, *runs[state.index]);
    });

    // {"channels": [[channel, type], ...], "sequences_per_interrupt": n}
    server.Post(R"(/api/board/(\d+)/acquisition/start)", [&panel, runs](
                                                              const httplib::Request& request,
                                                              httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        Json body;
        double per_interrupt = 0;
        if (!owner || !RequestBody(request, response, body) ||
            !Field(body, "sequences_per_interrupt", 1, 65535, per_interrupt, response)) {
            return;
        }
        std::vector<uint8_t> channels, types;
        const auto list = body.find("channels");
        if (list == body.end() || !list->is_array() || list->empty() || list->size() > 16) {
            ReplyError(response, 400, "channels must list 1 to 16 [channel, transducer] pairs");
            return;
        }
        for (const Json& pair : *list) {
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_unsigned() ||
                !pair[1].is_number_unsigned() || pair[0].get<unsigned>() > 15 ||
                pair[1].get<unsigned>() > 255) {
                ReplyError(response, 400, "each channel is [0..15, transducer index]");
                return;
            }
            channels.push_back(pair[0].get<uint8_t>());
            types.push_back(pair[1].get<uint8_t>());
        }
        auto a = runs[owner->index()];
        ReplyJson(response, owner->Call<Json>([&](BoardState& state) {
            if (!state.open) return Result(-1, 0);
            if (state.busy) {
                Json refused = Result(-50, 0);
                refused["error"] = "the board is busy: " + state.busy_with;
                return refused;
            }
            const int16_t installed = InstallRoutine(state);
            if (installed != 0) return Result(installed, state.handle);
            uint8_t c[16] = {}, t[16] = {};
            std::copy(channels.begin(), channels.end(), c);
            std::copy(types.begin(), types.end(), t);
            a->interrupts_at_start = Counts(state.index).sequence;
            const int16_t code = i_QMD5820_InitAndStartTransducerSequence(
                state.handle, static_cast<uint16_t>(per_interrupt), 0,
                static_cast<uint8_t>(channels.size()), c, t, 0, 0, 0, 0);
            if (code != 0) return Result(code, state.handle);
            a->running = true;
            a->channels = channels;
            a->types = types;
            a->per_interrupt = static_cast<uint32_t>(per_interrupt);
            a->start = Acquisition::Clock::now();
            a->pending.clear();
            a->plot.clear();
            a->stopped_because.clear();
            {
                const std::lock_guard<std::mutex> lock(a->mutex);
                a->csv = qmdtool::CsvHeader(channels, "mm");
                a->written = 0;
            }
            state.busy = true;
            state.busy_with = "acquisition";
            return Result(0, 0);
        }));
    });

    server.Post(R"(/api/board/(\d+)/acquisition/stop)", [&panel, runs](
                                                             const httplib::Request& request,
                                                             httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        auto a = runs[owner->index()];
        ReplyJson(response, owner->Call<Json>([a](BoardState& state) {
            Json reply = Result(StopAcquisition(state, *a), state.handle);
            reply["written"] = a->written;
            return reply;
        }));
    });

    server.Get(R"(/api/board/(\d+)/acquisition\.csv)", [&panel, runs](
                                                           const httplib::Request& request,
                                                           httplib::Response& response) {
        BoardOwner* owner = BoardOf(panel, request, response);
        if (!owner) return;
        auto a = runs[owner->index()];
        const std::lock_guard<std::mutex> lock(a->mutex);
        response.set_header("Content-Disposition", "attachment; filename=\"board" +
                                                       std::to_string(owner->index()) +
                                                       "-acquisition.csv\"");
        response.set_content(a->csv, "text/csv");
    });
}

}  // namespace qmdpanel
