// Control API of the boards themselves: the board set, identity, handles, EEPROM
// (qmd5820sim.h).
#include <cstring>

#include "qmd5820sim.h"
#include "sim_driver.h"

using qmdsim::TheDriver;

extern "C" {

void qmdsim_reset(void) { TheDriver().Reset(); }

void qmdsim_clear_boards(void) { TheDriver().ClearBoards(); }

void qmdsim_default_board_config(uint32_t index, qmdsim_board_config* config) {
    if (config != nullptr) *config = qmdsim::DemoBoardConfig(index);
}

int32_t qmdsim_add_board(const qmdsim_board_config* config) { return TheDriver().AddBoard(config); }

uint32_t qmdsim_board_count(void) { return TheDriver().BoardCount(); }

uint32_t qmdsim_open_handles(uint32_t board) { return TheDriver().OpenHandles(board); }

uint64_t qmdsim_last_handshake(uint32_t board) {
    uint64_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.last_handshake; });
    return v;
}

uint16_t qmdsim_eeprom_get(uint32_t board, uint16_t word_address) {
    uint16_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.eeprom[word_address]; });
    return v;
}

void qmdsim_eeprom_set(uint32_t board, uint16_t word_address, uint16_t value) {
    TheDriver().WithBoard(board,
                          [&](qmdsim::Board& b, uint64_t) {
                              b.eeprom[word_address] = value;
                              b.written_words.push_back(word_address);
                          });
}

void qmdsim_eeprom_load(uint32_t board, const uint16_t* words, uint32_t count) {
    if (words == nullptr) return;
    if (count > QMDSIM_EEPROM_WORDS) count = QMDSIM_EEPROM_WORDS;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        std::memcpy(b.eeprom.data(), words, count * sizeof(uint16_t));
        for (uint32_t w = 0; w < count; ++w) b.written_words.push_back(static_cast<uint16_t>(w));
    });
}

void qmdsim_eeprom_dump(uint32_t board, uint16_t* words, uint32_t count) {
    if (words == nullptr) return;
    if (count > QMDSIM_EEPROM_WORDS) count = QMDSIM_EEPROM_WORDS;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        std::memcpy(words, b.eeprom.data(), count * sizeof(uint16_t));
    });
}

uint32_t qmdsim_restart_count(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.restarts; });
    return v;
}

}  // extern "C"
