// Control API of the analog front end (qmd5820sim.h).
#include <cmath>
#include <cstring>

#include "qmd5820sim.h"
#include "sim_board.h"

using qmdsim::Board;
using qmdsim::RunOnBoard;

extern "C" {

void qmdsim_frontend_default_params(qmdsim_frontend_params* params) {
    if (params != nullptr) *params = qmdsim::DefaultFrontEndParams();
}

void qmdsim_frontend_params_get(uint32_t board, qmdsim_frontend_params* params) {
    if (params == nullptr) return;
    *params = qmdsim_frontend_params{};
    RunOnBoard(board, [&](Board& b, uint64_t) { *params = b.frontend.params; });
}

// The new values apply from the next conversion; a new rate from now on.
void qmdsim_frontend_params_set(uint32_t board, const qmdsim_frontend_params* params) {
    if (params == nullptr) return;
    RunOnBoard(board, [&](Board& b, uint64_t now) {
        b.frontend.params = *params;
        b.frontend.SetRate(params->conversions_per_second, now);
    });
}

void qmdsim_frontend_enable(uint32_t board, int32_t on) {
    RunOnBoard(board, [&](Board& b, uint64_t) {
        b.frontend.enabled = on != 0;
        b.RefreshAutoArea();
    });
}

void qmdsim_set_transducer_error(uint32_t board, uint8_t channel, double gain_error,
                                 double zero_offset) {
    if (channel >= qmdsim::kChannelCount) return;
    RunOnBoard(board, [&](Board& b, uint64_t) {
        b.frontend.gain_error[channel] = gain_error;
        b.frontend.zero_offset[channel] = zero_offset;
        b.RefreshAutoArea();
    });
}

void qmdsim_transducer_error(uint32_t board, uint8_t channel, double* gain_error,
                             double* zero_offset) {
    double g = 0.0, z = 0.0;
    if (channel < qmdsim::kChannelCount) {
        RunOnBoard(board, [&](Board& b, uint64_t) {
            g = b.frontend.gain_error[channel];
            z = b.frontend.zero_offset[channel];
        });
    }
    if (gain_error != nullptr) *gain_error = g;
    if (zero_offset != nullptr) *zero_offset = z;
}

double qmdsim_frontend_zero_position(uint32_t board, uint8_t channel) {
    double x = std::nan("");
    if (channel >= qmdsim::kChannelCount) return x;
    RunOnBoard(board, [&](Board& b, uint64_t) { x = b.frontend.ZeroPosition(b, channel); });
    return x;
}

void qmdsim_adjustment(uint32_t board, qmdsim_adjustment_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_adjustment_state{};
    RunOnBoard(board, [&](Board& b, uint64_t now) {
        const qmdsim::FrontEnd& fe = b.frontend;
        state->mode = fe.adjustment.mode;
        state->worker = fe.adjustment.worker ? 1 : 0;
        state->channel = fe.adjustment.channel;
        state->selection_type = fe.adjustment.selection_type;
        state->values[0] = fe.live().value[0].load();
        state->values[1] = fe.live().value[1].load();
        state->address = fe.address();
        state->counter = static_cast<uint16_t>(fe.Conversions(now));
        state->table_count = fe.table.count;
        state->table_amplitude[0] = qmdsim::Amplitude(fe.table.a.data(), fe.table.count);
        state->table_amplitude[1] = qmdsim::Amplitude(fe.table.b.data(), fe.table.count);
    });
}

uint32_t qmdsim_excitation_table(uint32_t board, uint32_t* a, uint32_t* b) {
    uint32_t count = 0;
    RunOnBoard(board, [&](Board& bd, uint64_t) {
        const qmdsim::ExcitationTable& t = bd.frontend.table;
        count = t.count;
        if (a != nullptr) std::memcpy(a, t.a.data(), sizeof t.a);
        if (b != nullptr) std::memcpy(b, t.b.data(), sizeof t.b);
    });
    return count;
}

}  // extern "C"
