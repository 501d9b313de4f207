// CSV rows of a sequence acquisition: the board's sequence number (counted from 1 in the
// order of the board's stream; a sequence the tool had to drop leaves a gap), the host
// time in seconds since the start at which the block holding the sequence arrived (rows of
// one block share it; after a stall a backlog arrives together) and one value per channel,
// formatted with std::to_chars (no locale, no iostreams).
#ifndef QMD5820_TOOL_CSV_ROWS_H
#define QMD5820_TOOL_CSV_ROWS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmdtool {

// "sequence,arrival/s,ch9/mm,ch3/mm\n" for the channels in list order.
std::string CsvHeader(const std::vector<uint8_t>& channels, const char* unit);

// Appends "SEQUENCE,SECONDS,V0,V1,...\n": seconds and values fixed with 6 decimals;
// a value that is not finite is written as "nan", "inf" or "-inf".
void AppendCsvRow(std::string& out, uint64_t sequence, double seconds, const double* values,
                  std::size_t count);

}  // namespace qmdtool

#endif
