// Board discovery, open and close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QMD5820.h"
#include "core/transport.h"

namespace qmd {

inline constexpr std::size_t kIdentifierOffset = req::board_information::kIdentifier;
inline constexpr std::size_t kIdentifierBytes = req::board_information::kIdentifierBytes;

// Number of present boards, or a negative value when the enumeration failed.
int32_t CountBoards();

// Length of the identifier in the 52-byte field of the board information record: up to
// its terminator, or the whole field when it has none.
std::size_t IdentifierLength(const uint8_t* field);

// Opens board `index` (as i_QMD5820_OpenBoardViaIndex), sends the board information
// request on it, then closes it again through the normal close path, so the board's
// open count is left as it was found. 0 and `info` filled; -1 when the open failed;
// -2 when the request failed.
int16_t ReadBoardInformation(uint8_t index, Record<req::kBoardInformation>& info);

}  // namespace qmd
