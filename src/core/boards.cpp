// Boards are numbered in the order of the driver's enumeration; record i belongs to board
// index i. Opens are counted per record: a second open returns the same handle and only
// the last close releases it. None of these functions records a result.
#include "core/boards.h"

#include <algorithm>
#include <cstring>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"

namespace qmd {

int32_t CountBoards() {
    const qmd5820_backend& b = Backend();
    return b.count_boards(b.context);
}

int16_t ReadBoardInformation(uint8_t index, Record<req::kBoardInformation>& info) {
    QMD5820_HANDLE handle = 0;
    if (i_QMD5820_OpenBoardViaIndex(index, &handle) != 0) return -1;
    info.fill(0);
    const bool ok = Transfer<req::kBoardInformation>(handle, info);
    // Release the open taken above; the caller's own opens stay as they were.
    (void)i_QMD5820_CloseBoard(handle);
    return ok ? 0 : -2;
}

std::size_t IdentifierLength(const uint8_t* field) {
    const void* end = std::memchr(field, 0, kIdentifierBytes);
    return end == nullptr ? kIdentifierBytes
                          : static_cast<std::size_t>(static_cast<const uint8_t*>(end) - field);
}

namespace {

// Exact, case-sensitive comparison of a board's whole identifier with the caller's text.
bool IdentifierMatches(const Record<req::kBoardInformation>& info, const char* wanted) {
    const uint8_t* field = info.data() + kIdentifierOffset;
    const std::size_t length = IdentifierLength(field);
    // Compare at most length + 1 characters of the caller's text: equal iff the caller's
    // text has exactly this length and these characters.
    return std::strncmp(wanted, reinterpret_cast<const char*>(field), length) == 0 &&
           wanted[length] == '\0';
}

// Refreshes the board count from a new enumeration; false when it failed (count 0).
bool Enumerate() {
    const int32_t n = CountBoards();
    if (n < 0) {
        BoardCount() = 0;
        return false;
    }
    BoardCount() = static_cast<uint8_t>(n);
    return true;
}

}  // namespace

}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_GetNumberOfBoards(uint8_t* pb_NumberOfBoards) {
    if (!Enumerate()) return -1;
    if (pb_NumberOfBoards != nullptr) *pb_NumberOfBoards = BoardCount();
    return 0;
}

int16_t i_QMD5820_OpenBoardViaIndex(uint8_t b_BoardIndex, QMD5820_HANDLE* ph_DeviceHandle) {
    if (!Enumerate()) return -1;
    // Indexes beyond the table are refused before any record is touched.
    if (b_BoardIndex >= BoardCount() || b_BoardIndex >= kBoardRecords) return -2;

    BoardRecord& record = Board(b_BoardIndex);
    if (record.open_count != 0) {
        if (ph_DeviceHandle != nullptr) *ph_DeviceHandle = record.device_handle;
        if (record.device_handle == 0) return -9;
        record.open_count = static_cast<int16_t>(record.open_count + 1);
        return 0;
    }

    const qmd5820_backend& b = Backend();
    QMD5820_HANDLE handle = 0;
    const int32_t step = b.open_board(b.context, b_BoardIndex, &handle);
    if (step == QMD5820_OPEN_CREATE_FAILED) {
        if (ph_DeviceHandle != nullptr) *ph_DeviceHandle = handle;
        return -7;
    }
    if (step != QMD5820_OPEN_OK) {
        // The backend reports the failing step (-3 to -6); anything else is its fault.
        return static_cast<int16_t>(step <= -3 && step >= -6 ? step : -3);
    }
    if (ph_DeviceHandle != nullptr) *ph_DeviceHandle = handle;
    record.device_handle = handle;

    Record<req::kOpenHandshake> handshake{};
    bytes::PutU64(handshake.data() + req::handshake::kHandle, handle);
    (void)Transfer<req::kOpenHandshake>(handle, handshake);  // its result is ignored

    record.open_count = static_cast<int16_t>(record.open_count + 1);
    return 0;
}

int16_t i_QMD5820_OpenBoardViaIdentifier(const char* pc_Identifier,
                                         QMD5820_HANDLE* ph_DeviceHandle) {
    if (!Enumerate()) return -1;
    if (pc_Identifier == nullptr) return -4;
    // The scan re-enumerates on every open; keep the count this call started with. Boards
    // beyond the table cannot be opened and are not scanned.
    const int boards = std::min<int>(BoardCount(), kBoardRecords);
    for (uint8_t index = 0; index < boards; ++index) {
        Record<req::kBoardInformation> info{};
        if (ReadBoardInformation(index, info) != 0) return -2;
        if (IdentifierMatches(info, pc_Identifier)) {
            return i_QMD5820_OpenBoardViaIndex(index, ph_DeviceHandle) == 0 ? 0 : -3;
        }
    }
    return -4;
}

int16_t i_QMD5820_CloseBoard(QMD5820_HANDLE h_DeviceHandle) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -2;
    BoardRecord& record = Board(index);
    // Never below zero (a found record always counts opens; guard against a corrupted one).
    if (record.open_count != 0) record.open_count = static_cast<int16_t>(record.open_count - 1);
    if (record.open_count != 0) return 0;
    record.device_handle = 0;
    const qmd5820_backend& b = Backend();
    return b.close_handle(b.context, h_DeviceHandle) == 0 ? 0 : -1;
}

}  // extern "C"
