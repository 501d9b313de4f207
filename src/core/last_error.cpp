// The last-error text: the board's last recorded (function, code) pair as one line.
#include <cstdio>

#include "core/board_table.h"
#include "core/catalogue.h"

using namespace qmd;

extern "C" const char* pc_QMD5820_GetLastError(QMD5820_HANDLE h_DeviceHandle) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) {
        return "pc_QMD5820_GetLastError failed: The h_DeviceHandle parameter is wrong (-1)";
    }
    BoardRecord& record = Board(index);
    const char* function = record.last_function.load(std::memory_order_relaxed);
    const int32_t code = record.last_code.load(std::memory_order_relaxed);
    if (function == nullptr) {
        return "No error information is available for this board.";
    }
    const char* message = code == 0 ? kNoErrorMessage : CatalogueMessage(function, code);
    if (message == nullptr) message = kFallbackMessage;
    std::snprintf(record.last_error_text, sizeof record.last_error_text, "%s: %s (%d)",
                  function, message, static_cast<int>(code));
    return record.last_error_text;
}
