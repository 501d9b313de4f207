// Control API of channels, interrupts and acquisition (qmd5820sim.h).
#include <cstring>

#include "qmd5820sim.h"
#include "sim_driver.h"

using qmdsim::TheDriver;

extern "C" {

// Sequences completed before the move carry the old position.
void qmdsim_set_position(uint32_t board, uint8_t channel, double position) {
    if (channel >= qmdsim::kChannelCount) return;
    TheDriver().WithPumpedBoard(board, [&](qmdsim::Board& b, uint64_t) {
        b.channels[channel].position = position;
        b.RefreshAutoArea();
    });
}

void qmdsim_channel(uint32_t board, uint8_t channel, qmdsim_channel_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_channel_state{};
    if (channel >= qmdsim::kChannelCount) return;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        const qmdsim::Channel& c = b.channels[channel];
        state->initialised = c.initialised ? 1 : 0;
        state->selection_type = c.selection_type;
        state->divider1 = c.divider1;
        state->divider2 = c.divider2;
        state->range = c.range;
        state->position = c.position;
    });
}

// 1 only sets the flag (an acquisition the board was not asked for); 0 stops whatever runs,
// as the stop request does.
void qmdsim_set_acquisition_running(uint32_t board, int32_t running) {
    TheDriver().WithPumpedBoard(board, [&](qmdsim::Board& b, uint64_t) {
        if (running != 0) {
            b.acquisition_running = true;
        } else {
            b.StopAcquisition();
        }
    });
}

void qmdsim_set_event_signaller(void (*signal)(uint64_t event)) {
    TheDriver().SetSignaller(signal);
}

uint64_t qmdsim_registered_event(uint32_t board) {
    uint64_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.interrupts.event; });
    return v;
}

void qmdsim_raise_interrupt(uint32_t board, const qmdsim_interrupt* record) {
    if (record == nullptr) return;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.interrupts.Queue(*record); });
}

uint32_t qmdsim_pending_interrupts(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.interrupts.queue.size());
    });
    return v;
}

uint32_t qmdsim_dropped_interrupts(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(std::min<uint64_t>(b.interrupts.dropped, UINT32_MAX));
    });
    return v;
}

void qmdsim_pump(void) { TheDriver().Pump(); }

void qmdsim_acquisition(uint32_t board, qmdsim_acquisition_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_acquisition_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        const qmdsim::Acquisition& a = b.acquisition;
        state->mode = a.mode;
        state->channel_count = a.channel_count;
        std::memcpy(state->channels, a.channels, sizeof a.channels);
        std::memcpy(state->transducer_indexes, a.transducer_indexes, sizeof a.transducer_indexes);
        state->sequences_before_interrupt = a.sequences_before_interrupt;
        state->sequence_size = a.mode == qmdsim::kModeSequence ? a.channel_count : 0;
        state->soft_trigger_mode = a.soft_trigger;
        state->extern_trigger_mode = a.extern_trigger;
        std::memcpy(state->parameters, a.parameters, sizeof a.parameters);
        state->sequences_done = static_cast<uint32_t>(a.sequences_done);
        state->triggers = a.triggers;
        state->division_factor = b.division_factor;
        state->auto_refresh_address =
            b.auto_refresh_mapped ? reinterpret_cast<uintptr_t>(b.auto_refresh.data()) : 0;
    });
}

void qmdsim_set_sequence_period_us(uint32_t board, uint32_t period_us) {
    TheDriver().WithPumpedBoard(
        board, [&](qmdsim::Board& b, uint64_t now) { b.SetSequencePeriod(period_us, now); });
}

uint32_t qmdsim_stream_bytes(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.stream.Waiting());
    });
    return v;
}

}  // extern "C"
