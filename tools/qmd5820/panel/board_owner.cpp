// The board's owner thread (see board_owner.h).
#include "panel/board_owner.h"

#include "panel/interrupts.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace qmdpanel {

std::string LastError(QMD5820_HANDLE handle) {
    const char* text = pc_QMD5820_GetLastError(handle);
    return text ? text : "";
}

BoardOwner::BoardOwner(uint8_t index, std::chrono::milliseconds period)
    : index_(index), period_(period), thread_([this] { Loop(); }) {}

BoardOwner::~BoardOwner() { Stop(); }

bool BoardOwner::Post(std::function<void(BoardState&)> task) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
    return true;
}

void BoardOwner::Stop(std::function<void(BoardState&)> last) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            last_ = std::move(last);
        }
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    stream_.Close();
}

void BoardOwner::Loop() {
    BoardState state;
    state.index = index_;
    state.transducer.fill(-1);
    state.open_code = i_QMD5820_OpenBoardViaIndex(index_, &state.handle);
    state.open = state.open_code == 0;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        std::function<void(BoardState&)> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, next, [&] { return stopping_ || !tasks_.empty(); });
            if (!tasks_.empty()) {
                task = std::move(tasks_.front());
                tasks_.pop_front();
            } else if (stopping_) {
                break;
            }
        }
        if (task) {
            task(state);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < next) continue;
        // A late sample starts the next period from now: no burst to catch up.
        next = std::max(next + period_, now);
        Sample(state);
    }
    std::function<void(BoardState&)> last;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(last_);
    }
    if (last) last(state);
    if (state.open) i_QMD5820_CloseBoard(state.handle);
    state.open = false;
}

// One snapshot: {"sequence":n,"open":b,"busy":"","channels":[[channel,raw,value|null],...],
// "inputs":n,"outputs":n,...}. Written by hand: it is made 50 times a second.
void BoardOwner::Sample(BoardState& state) {
    for (auto& tick : state.ticks) tick(state);
    std::string json = "{\"board\":" + std::to_string(index_) +
                       ",\"open\":" + (state.open ? "true" : "false");
    json += ",\"busy\":\"" + state.busy_with + "\"";
    if (state.open && !state.busy) {
        std::vector<uint8_t> channels;
        for (uint8_t channel = 0; channel < 16; ++channel) {
            if (state.transducer[channel] >= 0) channels.push_back(channel);
        }
        std::vector<uint16_t> raw(channels.size());
        std::vector<double> value(channels.size());
        const uint8_t count = static_cast<uint8_t>(channels.size());
        int16_t code = 0;
        if (count > 0) {
            code = i_QMD5820_ReadMoreTransducerChannels(state.handle, count, channels.data(),
                                                        raw.data());
            if (code == 0) {
                code = i_QMD5820_ConvertMoreRawToMetricValues(state.handle, count, channels.data(),
                                                              raw.data(), value.data());
            }
        }
        json += ",\"read_code\":" + std::to_string(code) + ",\"channels\":[";
        for (std::size_t i = 0; code == 0 && i < channels.size(); ++i) {
            char entry[96];
            if (std::isfinite(value[i])) {
                std::snprintf(entry, sizeof entry, "%s[%u,%u,%.9g]", i ? "," : "", channels[i],
                              raw[i], value[i]);
            } else {
                std::snprintf(entry, sizeof entry, "%s[%u,%u,null]", i ? "," : "", channels[i],
                              raw[i]);
            }
            json += entry;
        }
        json += "]";
        uint8_t inputs = 0, outputs = 0;
        if (i_QMD5820_Read8DigitalInputs(state.handle, &inputs) == 0) {
            json += ",\"inputs\":" + std::to_string(inputs);
        }
        if (i_QMD5820_Get8DigitalOutputsStatus(state.handle, &outputs) == 0) {
            json += ",\"outputs\":" + std::to_string(outputs);
        }
    }
    if (RoutineInstalled(index_)) {
        const InterruptCounts counts = Counts(index_);
        json += ",\"timer_interrupts\":" + std::to_string(counts.timer) +
                ",\"sequence_interrupts\":" + std::to_string(counts.sequence) +
                ",\"short_circuit_interrupts\":" + std::to_string(counts.short_circuit);
    }
    for (auto& extend : state.extends) extend(state, json);
    json += ",\"sample\":" + std::to_string(samples_.load() + 1) + "}";
    samples_.fetch_add(1);
    stream_.Publish(std::move(json));
}

}  // namespace qmdpanel
