// The rows of a sequence acquisition as the data arrive. The command's thread reads the
// board's stream and converts complete sequences to rows; a writer thread of its own
// writes them, so a slow or stalled output never stops the reading. Between the two, at
// most a fixed amount of text waits: when it is full, the sequences read meanwhile are
// dropped, counted, and leave gaps in the sequence column.
#ifndef QMD5820_TOOL_COMMANDS_RECORDER_H
#define QMD5820_TOOL_COMMANDS_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/board.h"
#include "common/numbers.h"
#include "common/output_file.h"

namespace qmdtool {

// Reads what the board's stream holds, up to `room` bytes, appending to `data`; false after
// a failed read (its text is printed).
bool ReadWaiting(const Board& board, std::vector<uint8_t>& data, std::size_t room);

// Writes blocks of text on a thread of its own, flushing after each.
class RowWriter {
public:
    // `capacity`: the most text (bytes) that may wait to be written.
    RowWriter(std::FILE* out, std::size_t capacity);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Whether a block of `bytes` fits now (the waiting text leaves room for it, or nothing
    // waits at all).
    bool Room(std::size_t bytes) const;
    // Queues `text` holding `rows` rows.
    void Offer(std::string&& text, uint64_t rows);
    // Waits until everything queued is written and ends the thread; false when a write
    // failed (the error is then in error()).
    bool Finish();

    bool failed() const;
    int error() const;
    uint64_t rows_written() const;  // rows whose text reached the output

private:
    void Run();

    std::FILE* out_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::string, uint64_t>> queue_;
    std::size_t waiting_ = 0;  // bytes in queue_
    bool ending_ = false;
    bool failed_ = false;
    int error_ = 0;
    uint64_t rows_written_ = 0;
    std::thread thread_;
};

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    Recorder(const Board& board, const std::vector<ChannelUse>& uses, RowWriter& writer);

    // Takes the complete sequences in `data` (and keeps an incomplete rest for the next
    // call): rows for the writer, or dropped when it has no room. False when a conversion
    // failed (its text is printed).
    bool Take(std::vector<uint8_t>& data);

    uint64_t received() const { return received_; }  // sequences read from the board
    uint64_t dropped() const { return dropped_; }    // of them, dropped for want of room
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    const Board& board_;
    std::size_t size_;
    RowWriter& writer_;
    Clock::time_point start_;
    std::vector<uint8_t> channels_;
    std::vector<uint16_t> raw_;
    std::vector<double> metric_;
    bool header_ = false;  // the header is queued (it goes with the first rows)
    uint64_t received_ = 0;
    uint64_t dropped_ = 0;
};

// The end of a recording: `rows` rows reached the output, the run ended with `status`
// (0, kFailed) or by signal `interrupted` (0: none), and `dropped` sequences were left
// out. Renames the file into place whenever it holds a row (beside it, named, when that
// fails), leaves an existing target as it was when it holds none, says so on stderr and
// returns the exit status: 128 + the signal, else 1 after a failure or with sequences
// dropped, else 0.
int ConcludeRecording(OutputFile& output, const std::string& target, uint8_t board,
                      std::size_t channels, uint64_t rows, int status, int interrupted,
                      uint64_t dropped);

}  // namespace qmdtool

#endif
