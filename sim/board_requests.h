// The request handlers of the board's subsystems, one file each (board_*.cpp); Execute
// (sim_board.cpp) dispatches to them. Each answers the driver's status; `r` is the record
// (the input on entry, the reply on return).
#pragma once

#include <cstdint>

#include "sim_board.h"

namespace qmdsim {

// board_eeprom.cpp: the byte address of the word and its value.
uint8_t EepromRequest(Board& board, bool write, uint8_t* r);
// board_channels.cpp. A failed initialisation leaves the channel as it was.
uint8_t InitChannel(Board& board, const uint8_t* r);
uint8_t ReadChannel(const Board& board, uint8_t* r);
// board_acquisition.cpp.
uint8_t StartAutoRefresh(Board& board, uint8_t* r);
uint8_t StartSequence(Board& board, const uint8_t* r, uint64_t now_us);
void TriggerAcquisition(Board& board, uint64_t now_us);
// board_timer.cpp.
uint8_t TimerRequest(Board& board, uint32_t code, uint8_t* r, uint64_t now_us);
// board_logic.cpp.
uint8_t LogicRequest(Board& board, uint32_t code, uint8_t* r);
// board_line.cpp.
uint8_t PotentiometerRequest(Board& board, bool write, uint8_t* r);
uint8_t PrimaryLineRequest(Board& board, uint32_t code, uint8_t* r);
// board_digital_io.cpp.
uint8_t DigitalIoRequest(Board& board, uint32_t code, uint8_t* r);

}  // namespace qmdsim
