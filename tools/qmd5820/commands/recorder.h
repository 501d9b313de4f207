// The rows of a sequence acquisition as the data arrive: complete sequences are converted
// to metric values and written at once, and the output is flushed after every batch.
#ifndef QMD5820_TOOL_COMMANDS_RECORDER_H
#define QMD5820_TOOL_COMMANDS_RECORDER_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/board.h"
#include "common/numbers.h"

namespace qmdtool {

// Reads what the board's stream holds, up to `room` bytes, appending to `data`; false after
// a failed read (its text is printed).
bool ReadWaiting(const Board& board, std::vector<uint8_t>& data, std::size_t room);

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    Recorder(const Board& board, const std::vector<ChannelUse>& uses, std::FILE* out);

    bool WriteHeader();
    // Writes the complete sequences in `data` (and keeps an incomplete rest for the next
    // call); the arrival times of this batch and the one before spread evenly over its rows.
    bool Write(std::vector<uint8_t>& data);

    uint64_t written() const { return written_; }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    bool Put(const std::string& text);

    const Board& board_;
    std::size_t size_;
    std::FILE* out_;
    Clock::time_point start_;
    std::vector<uint8_t> channels_;
    std::vector<uint16_t> raw_;
    std::vector<double> metric_;
    std::string rows_;
    double last_ = 0.0;
    uint64_t written_ = 0;
};

}  // namespace qmdtool

#endif
