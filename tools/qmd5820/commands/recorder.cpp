// The rows of a sequence acquisition (see recorder.h).
#include "commands/recorder.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "QMD5820.h"
#include "command.h"
#include "commands/csv_rows.h"
#include "common/signals.h"

namespace qmdtool {

bool ReadWaiting(const Board& board, std::vector<uint8_t>& data, std::size_t room) {
    std::size_t got = data.size();
    data.resize(got + room);
    while (got < data.size()) {
        const int32_t n = l_QMD5820_ReadSequenceData(
            board.handle(), static_cast<uint32_t>(data.size() - got), data.data() + got);
        if (n < 0) {
            data.resize(got);
            return board.Check(static_cast<int16_t>(n));
        }
        if (n == 0) break;  // nothing more waiting yet
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    return true;
}

// ---- writer -------------------------------------------------------------------------------

RowWriter::RowWriter(std::FILE* out, std::size_t capacity)
    : out_(out), capacity_(capacity), thread_([this] { Run(); }) {}

RowWriter::~RowWriter() { Finish(); }

bool RowWriter::Room(std::size_t bytes) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_ == 0 || waiting_ + bytes <= capacity_;
}

void RowWriter::Offer(std::string&& text, uint64_t rows) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_ += text.size();
        queue_.emplace_back(std::move(text), rows);
    }
    changed_.notify_all();
}

bool RowWriter::Finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return !failed();
}

bool RowWriter::failed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

int RowWriter::error() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

uint64_t RowWriter::rows_written() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return rows_written_;
}

void RowWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !queue_.empty(); });
        if (queue_.empty() || failed_) {
            if (ending_) return;
            queue_.clear();
            waiting_ = 0;
            continue;
        }
        std::pair<std::string, uint64_t> block = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const std::string& text = block.first;
        const bool ok = std::fwrite(text.data(), 1, text.size(), out_) == text.size() &&
                        std::fflush(out_) == 0;
        const int code = errno;
        lock.lock();
        waiting_ -= text.size();
        if (ok) {
            rows_written_ += block.second;
        } else if (!failed_) {
            failed_ = true;
            error_ = code;
        }
    }
}

// ---- rows ---------------------------------------------------------------------------------

Recorder::Recorder(const Board& board, const std::vector<ChannelUse>& uses, RowWriter& writer)
    : board_(board), size_(uses.size()), writer_(writer), start_(Clock::now()) {
    for (const ChannelUse& use : uses) channels_.push_back(use.channel);
    raw_.resize(size_);
    metric_.resize(size_);
}

bool Recorder::Take(std::vector<uint8_t>& data) {
    const std::size_t sequence_bytes = size_ * 2;
    const std::size_t sequences = data.size() / sequence_bytes;
    if (sequences == 0) return true;
    const double arrival = Seconds();
    // A row takes at most this much text: the number, the time and 16 values with their
    // separators, each value of at most 20 characters in the readings' range.
    const std::size_t row_room = 24 + 24 * (size_ + 1);
    if (!writer_.Room(sequences * row_room)) {
        dropped_ += sequences;
        received_ += sequences;
    } else {
        std::string rows;
        if (!header_) rows = CsvHeader(channels_, "mm");
        rows.reserve(rows.size() + sequences * row_room);
        for (std::size_t s = 0; s < sequences; ++s) {
            // Codes: 16 bits little-endian, one per channel, in channel-list order.
            const uint8_t* codes = data.data() + s * sequence_bytes;
            for (std::size_t i = 0; i < size_; ++i) {
                raw_[i] = static_cast<uint16_t>(codes[2 * i] | (codes[2 * i + 1] << 8));
            }
            if (!board_.Check(i_QMD5820_ConvertMoreRawToMetricValues(
                    board_.handle(), static_cast<uint8_t>(size_), channels_.data(), raw_.data(),
                    metric_.data()))) {
                return false;
            }
            AppendCsvRow(rows, ++received_, arrival, metric_.data(), size_);
        }
        header_ = true;
        writer_.Offer(std::move(rows), sequences);
    }
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(sequences * sequence_bytes));
    return true;
}

// ---- the end ------------------------------------------------------------------------------

int ConcludeRecording(OutputFile& output, const std::string& target, uint8_t board,
                      std::size_t channels, uint64_t rows, int status, int interrupted,
                      uint64_t dropped) {
    const bool to_stdout = output.is_stdout();
    const int ended = interrupted != 0 && status == 0 ? InterruptedStatus(interrupted)
                      : status != 0                   ? status
                      : dropped != 0                  ? kFailed
                                                      : 0;
    if (rows == 0 && !to_stdout) {
        output.Abandon();
        std::fprintf(stderr, "qmd5820: nothing was recorded; %s is as it was before the run\n",
                     target.c_str());
        return ended != 0 ? ended : kFailed;
    }
    std::string error;
    std::string kept_at;
    if (!output.CommitOrKeep(error, kept_at)) {
        std::fprintf(stderr, "qmd5820: %s\n", error.c_str());
        if (!kept_at.empty()) {
            std::fprintf(stderr, "qmd5820: the %" PRIu64 " rows recorded are kept in %s\n", rows,
                         kept_at.c_str());
        }
        return kFailed;
    }
    const char* where = to_stdout ? "standard output" : target.c_str();
    if (interrupted != 0) {
        std::fprintf(stderr, "qmd5820: interrupted by %s: %" PRIu64 " rows written to %s\n",
                     SignalName(interrupted), rows, where);
    } else if (status != 0 && !to_stdout) {
        std::fprintf(stderr, "qmd5820: the %" PRIu64 " rows recorded before the failure are "
                             "kept in %s\n", rows, where);
    } else if (!to_stdout) {
        std::printf("board %u: %" PRIu64 " sequences of %zu channel(s) written to %s\n", board,
                    rows, channels, where);
    }
    return ended;
}

}  // namespace qmdtool
