// Per-board interrupt routine and interrupt thread.
#pragma once

#include "core/board_table.h"

namespace qmd {

// The installation and removal behind i_QMD5820_SetBoardIntRoutine and
// i_QMD5820_ResetBoardIntRoutine, on a record already found (the exported functions and
// their LabVIEW twins differ only in what they record).
int16_t InstallInterruptRoutine(BoardRecord& board, QMD5820_HANDLE handle,
                                InterruptRoutine routine);
int16_t RemoveInterruptRoutine(BoardRecord& board);

// How long the removal waits for the interrupt thread to end after setting its kill event.
inline constexpr uint32_t kInterruptThreadStopMs = 100;

}  // namespace qmd

namespace qmd {
// Tests: forget the PostLVUserEvent binding and the module set with SetLVRTModule.
void ForgetLabVIEWRuntimeForTesting();
}  // namespace qmd
