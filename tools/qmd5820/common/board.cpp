// An open board (see board.h).
#include "common/board.h"

#include <algorithm>
#include <cstdio>

namespace qmdtool {

Board::Board(uint8_t index) : index_(index) {
    code_ = i_QMD5820_OpenBoardViaIndex(index, &handle_);
    if (code_ != 0) {
        std::fprintf(stderr, "qmd5820: board %u cannot be opened (code %d)\n", index, code_);
    }
}

Board::~Board() {
    if (code_ == 0) i_QMD5820_CloseBoard(handle_);
}

bool Board::Check(int16_t code, const std::string& context) const {
    if (code == 0) return true;
    const char* text = pc_QMD5820_GetLastError(handle_);
    if (context.empty()) {
        std::fprintf(stderr, "qmd5820: %s\n", text);
    } else {
        std::fprintf(stderr, "qmd5820: %s: %s\n", context.c_str(), text);
    }
    return false;
}

int16_t TransducerIndexes(const Board& board, std::vector<uint8_t>& indexes) {
    indexes.assign(255, 0);
    uint8_t count = 0;
    const int16_t code = i_QMD5820_GetAvailableTransducerTypes(
        board.handle(), indexes.data(), static_cast<uint8_t>(indexes.size()), &count);
    indexes.resize(code == 0 ? count : 0);
    return code;
}

bool InDatabase(const Board& board, uint8_t index) {
    std::vector<uint8_t> indexes;
    if (TransducerIndexes(board, indexes) != 0) return true;
    return std::find(indexes.begin(), indexes.end(), index) != indexes.end();
}

void ExplainMissingTransducer(const Board& board, uint8_t index) {
    if (InDatabase(board, index)) return;
    std::fprintf(stderr,
                 "qmd5820: transducer %u is not in the database of board %u (see 'qmd5820 db %u "
                 "list')\n",
                 index, board.index(), board.index());
}

}  // namespace qmdtool
