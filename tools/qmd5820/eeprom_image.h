// The board's EEPROM as a whole image: the backup file format and the consistency check of
// the transducer database, both pure functions of the words.
#ifndef QMD5820_TOOL_EEPROM_IMAGE_H
#define QMD5820_TOOL_EEPROM_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qmd5820_protocol/eeprom_map.h"

namespace qmdtool {

constexpr std::size_t kEepromWords = qmd::ee::kWords;
using EepromImage = std::vector<uint16_t>;  // kEepromWords words, word address = index

// What ties a backup to one board.
struct BoardIdentity {
    std::string identifier;  // the board information's identifier (at most 52 characters)
    uint32_t serial_number = 0;
    char revision = '?';

    bool operator==(const BoardIdentity&) const = default;
};

std::string DescribeIdentity(const BoardIdentity& identity);

// Backup file: "QMD5820E", format 1, word count, serial number, revision letter, 52-byte
// identifier, the words (little-endian), CRC-32 of everything before it. Little-endian.
std::vector<uint8_t> EncodeBackup(const BoardIdentity& identity, const EepromImage& image);

struct Backup {
    BoardIdentity identity;
    EepromImage image;
};

// nullopt with `error` set when the bytes are not a complete, intact backup.
std::optional<Backup> DecodeBackup(const std::vector<uint8_t>& bytes, std::string& error);

// The consistency of the transducer database in an image.
struct CheckReport {
    std::vector<std::string> problems;  // each one makes the image inconsistent
    std::vector<std::string> notes;     // worth knowing, not inconsistent
    std::vector<std::string> transducers;  // "index I, selection type S[, calibrated]"
    bool consistent() const { return problems.empty(); }
};

CheckReport CheckImage(const EepromImage& image);

}  // namespace qmdtool

#endif
