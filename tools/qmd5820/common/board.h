// An open board and what several commands ask of it: the library's text after a failure,
// the transducer types of its database.
#ifndef QMD5820_TOOL_BOARD_H
#define QMD5820_TOOL_BOARD_H

#include <cstdint>
#include <string>
#include <vector>

#include "QMD5820.h"

namespace qmdtool {

// An open board, closed again when it goes out of scope.
class Board {
public:
    explicit Board(uint8_t index);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    bool ok() const { return code_ == 0; }
    uint8_t index() const { return index_; }
    QMD5820_HANDLE handle() const { return handle_; }

    // Prints the library's last-error text when `code` is a failure, after `context` when
    // one is given; true on success.
    bool Check(int16_t code, const std::string& context = {}) const;

private:
    uint8_t index_;
    QMD5820_HANDLE handle_ = 0;
    int16_t code_ = 0;
};

// The transducer indexes of the board's database in table order; the library's code.
int16_t TransducerIndexes(const Board& board, std::vector<uint8_t>& indexes);
// False only when the board's database is readable and lacks `index`.
bool InDatabase(const Board& board, uint8_t index);
// Says so on stderr when `index` is not in the board's database.
void ExplainMissingTransducer(const Board& board, uint8_t index);

}  // namespace qmdtool

#endif
