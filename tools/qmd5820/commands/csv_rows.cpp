// CSV rows of a sequence acquisition (see csv_rows.h).
#include "commands/csv_rows.h"

#include <charconv>
#include <system_error>

namespace qmdtool {

std::string CsvHeader(const std::vector<uint8_t>& channels, const char* unit) {
    std::string header = "sequence,arrival/s";
    for (const uint8_t channel : channels) {
        header += ",ch" + std::to_string(channel) + "/" + unit;
    }
    return header + "\n";
}

namespace {

// Room for any double in fixed notation with 6 decimals: 309 digits, sign, point, decimals.
constexpr std::size_t kNumberRoom = 330;

char* Fixed(char* at, char* end, double value) {
    const auto [ptr, ec] = std::to_chars(at, end, value, std::chars_format::fixed, 6);
    return ec == std::errc() ? ptr : at;
}

}  // namespace

void AppendCsvRow(std::string& out, uint64_t sequence, double seconds, const double* values,
                  std::size_t count) {
    const std::size_t start = out.size();
    out.resize(start + 21 + (count + 1) * (kNumberRoom + 1) + 1);
    char* at = out.data() + start;
    char* const end = out.data() + out.size();
    at = std::to_chars(at, end, sequence).ptr;
    *at++ = ',';
    at = Fixed(at, end, seconds);
    for (std::size_t i = 0; i < count; ++i) {
        *at++ = ',';
        at = Fixed(at, end, values[i]);
    }
    *at++ = '\n';
    out.resize(static_cast<std::size_t>(at - out.data()));
}

}  // namespace qmdtool
