// Control API of digital I/O, the timer, the logic load, the potentiometers and the
// primary line (qmd5820sim.h).
#include <cstring>

#include "qmd5820sim.h"
#include "sim_driver.h"

using qmdsim::TheDriver;

extern "C" {

void qmdsim_set_digital_inputs(uint32_t board, uint8_t inputs) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.inputs = inputs; });
}

uint8_t qmdsim_digital_outputs(uint32_t board) {
    uint8_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.outputs; });
    return v;
}

uint8_t qmdsim_digital_output_memory(uint32_t board) {
    uint8_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.output_memory; });
    return v;
}

void qmdsim_timer(uint32_t board, qmdsim_timer_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_timer_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t now) {
        state->running = b.timer.running ? 1 : 0;
        state->time_base = b.timer.time_base;
        state->reload_value = b.timer.reload;
        state->interrupt_enabled = b.timer.interrupt_enabled ? 1 : 0;
        state->expirations = b.timer.Expirations(now);
    });
}

uint32_t qmdsim_logic_word_count(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.logic.words.size());
    });
    return v;
}

uint32_t qmdsim_logic_last_command(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.logic.last_command; });
    return v;
}

uint8_t qmdsim_potentiometer(uint32_t board, uint8_t index) {
    uint8_t v = 0;
    if (index >= qmdsim::kPotentiometerCount) return 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.potentiometers[index]; });
    return v;
}

void qmdsim_set_line_test_threshold(uint32_t board, uint16_t threshold) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.line.threshold = threshold; });
}

void qmdsim_inject_short_circuit(uint32_t board, int32_t persistent) {
    TheDriver().WithBoard(
        board, [&](qmdsim::Board& b, uint64_t) { b.InjectShortCircuit(persistent != 0); });
}

// The short circuit is gone; a latch stays until the next rearm.
void qmdsim_clear_short_circuit(uint32_t board) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.line.persistent = false; });
}

void qmdsim_primary_line(uint32_t board, qmdsim_primary_line_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_primary_line_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        state->test_on = b.line.test_on ? 1 : 0;
        state->latched = b.line.latched ? 1 : 0;
        state->persistent = b.line.persistent ? 1 : 0;
        state->interrupts_enabled = b.line.interrupts_enabled ? 1 : 0;
        state->rearms = b.line.rearms;
        state->tests_switched_on = b.line.tests_switched_on;
    });
}

}  // extern "C"
