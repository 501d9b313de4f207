// The rows of a sequence acquisition (see recorder.h).
#include "commands/recorder.h"

#include <cerrno>
#include <cstring>

#include "QMD5820.h"
#include "commands/csv_rows.h"

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

Recorder::Recorder(const Board& board, const std::vector<ChannelUse>& uses, std::FILE* out)
    : board_(board), size_(uses.size()), out_(out), start_(Clock::now()) {
    for (const ChannelUse& use : uses) channels_.push_back(use.channel);
    raw_.resize(size_);
    metric_.resize(size_);
}

bool Recorder::WriteHeader() { return Put(CsvHeader(channels_, "mm")); }

bool Recorder::Write(std::vector<uint8_t>& data) {
    const std::size_t sequence_bytes = size_ * 2;
    const std::size_t sequences = data.size() / sequence_bytes;
    if (sequences == 0) return true;
    const double now = Seconds();
    rows_.clear();
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
        const double seconds =
            last_ + (now - last_) * static_cast<double>(s + 1) / static_cast<double>(sequences);
        AppendCsvRow(rows_, ++written_, seconds, metric_.data(), size_);
    }
    last_ = now;
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(sequences * sequence_bytes));
    return Put(rows_);
}

bool Recorder::Put(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
        std::fprintf(stderr, "qmd5820: %s cannot be written: %s\n",
                     out_ == stdout ? "standard output" : "the CSV file", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace qmdtool
