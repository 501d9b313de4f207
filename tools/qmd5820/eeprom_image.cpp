// The EEPROM image: backup file format and database consistency check (see eeprom_image.h).
#include "eeprom_image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "eeprom/settings.h"

namespace qmdtool {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'D', '5', '8', '2', '0', 'E'};
constexpr uint32_t kFormat = 1;
constexpr std::size_t kIdentifierBytes = 52;
constexpr std::size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 + kIdentifierBytes;  // 76

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string Num(uint32_t value) { return std::to_string(value); }

double DoubleAt(const EepromImage& image, uint32_t address) {
    uint64_t bits = 0;
    for (uint32_t k = 0; k < 4; ++k) bits |= uint64_t{image[address + k]} << (16 * k);
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The first word of the configuration block of selection type `type` that differs from
// what an add computes from the record at `record`, or nullopt. The impedance is not
// stored: the impedance code (high byte of block word 64) is not compared.
std::optional<uint32_t> BlockMismatch(const EepromImage& image, uint32_t record, uint32_t type) {
    uint8_t block[qmd::kConfigurationBlockBytes];
    qmd::ComputeTransducerSettings(DoubleAt(image, record + 21), DoubleAt(image, record + 5),
                                   DoubleAt(image, record + 1), 0.0,
                                   qmd::TruncateFrequency(DoubleAt(image, record + 9)), block);
    const uint32_t base = 32768 + 512 * type;
    for (uint32_t i = 0; i < 512; ++i) {
        const uint32_t mask = i == 64 ? 0x00FF : 0xFFFF;
        const uint32_t computed = block[2 * i] | (block[2 * i + 1] << 8);
        if (((image[base + i] ^ computed) & mask) != 0) return base + i;
    }
    return std::nullopt;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, std::size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string DescribeIdentity(const BoardIdentity& identity) {
    return "'" + identity.identifier + "', serial number " + Num(identity.serial_number) +
           ", revision " + std::string(1, identity.revision);
}

std::vector<uint8_t> EncodeBackup(const BoardIdentity& identity, const EepromImage& image) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    PutU32(out, kFormat);
    PutU32(out, static_cast<uint32_t>(image.size()));
    PutU32(out, identity.serial_number);
    PutU32(out, static_cast<uint8_t>(identity.revision));
    std::array<uint8_t, kIdentifierBytes> id{};
    std::memcpy(id.data(), identity.identifier.data(),
                std::min(identity.identifier.size(), id.size()));
    out.insert(out.end(), id.begin(), id.end());
    for (const uint16_t word : image) {
        out.push_back(static_cast<uint8_t>(word));
        out.push_back(static_cast<uint8_t>(word >> 8));
    }
    PutU32(out, Crc32(out.data(), out.size()));
    return out;
}

std::optional<Backup> DecodeBackup(const std::vector<uint8_t>& bytes, std::string& error) {
    if (bytes.size() < kHeaderBytes + 4 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = "not an EEPROM backup of this tool";
        return std::nullopt;
    }
    const uint8_t* p = bytes.data();
    if (GetU32(p + 8) != kFormat) {
        error = "backup format " + Num(GetU32(p + 8)) + " is not known to this tool";
        return std::nullopt;
    }
    const uint32_t words = GetU32(p + 12);
    if (words != kEepromWords || bytes.size() != kHeaderBytes + 2 * std::size_t{words} + 4) {
        error = "the backup is truncated or of the wrong size";
        return std::nullopt;
    }
    const std::size_t body = bytes.size() - 4;
    if (Crc32(p, body) != GetU32(p + body)) {
        error = "the backup's checksum does not match: the file is damaged";
        return std::nullopt;
    }
    Backup backup;
    backup.identity.serial_number = GetU32(p + 16);
    backup.identity.revision = static_cast<char>(p[20]);
    const char* id = reinterpret_cast<const char*>(p + 24);
    backup.identity.identifier.assign(id, std::find(id, id + kIdentifierBytes, '\0'));
    backup.image.resize(words);
    for (std::size_t i = 0; i < words; ++i) {
        backup.image[i] = static_cast<uint16_t>(p[kHeaderBytes + 2 * i] |
                                                (p[kHeaderBytes + 2 * i + 1] << 8));
    }
    return backup;
}

CheckReport CheckImage(const EepromImage& image) {
    CheckReport report;
    auto word = [&](uint32_t address) -> uint32_t {
        return address < image.size() ? image[address] : 0;
    };
    auto problem = [&](std::string text) { report.problems.push_back(std::move(text)); };
    if (image.size() != kEepromWords) {
        problem("the image holds " + Num(static_cast<uint32_t>(image.size())) + " words, not " +
                Num(kEepromWords));
        return report;
    }

    // Structured area and directory.
    const uint32_t current_size = word(132);
    const uint32_t area_end = 133 + current_size / 2;  // first word after the area
    const uint32_t count = word(133) & 0xFF;
    const uint32_t directory_end = 134 + 2 * count;
    if (directory_end > area_end) {
        problem("the directory (" + Num(count) + " functionalities, words 133 to " +
                Num(directory_end - 1) + ") does not fit the structured area of " +
                Num(current_size) + " bytes given by word 132");
        return report;
    }
    struct Functionality {
        uint32_t kind, start, end;
    };
    std::vector<Functionality> functionalities;
    std::optional<std::size_t> transducer;
    bool placed = true;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t kind = word(134 + 2 * i) & 0x3F;
        const uint32_t start = (word(135 + 2 * i) / 2 + 128) & 0xFFFF;
        const uint32_t end = start + (word(start) >> 5);
        if (start < directory_end || end > area_end || end == start) {
            problem("functionality " + Num(i) + " (kind " + Num(kind) + ", words " + Num(start) +
                    " to " + Num(end - (end > start)) + ") lies outside the structured area "
                    "(words " + Num(directory_end) + " to " + Num(area_end - 1) + ")");
            placed = false;
        }
        if (kind == 2 && !transducer) transducer = functionalities.size();
        functionalities.push_back({kind, start, end});
    }
    if (!transducer) {
        problem("the directory lists no transducer functionality (kind 2)");
        return report;
    }
    if (!placed) return report;
    const Functionality& tf = functionalities[*transducer];
    uint32_t last_end = 0;
    for (std::size_t i = 0; i < functionalities.size(); ++i) {
        last_end = std::max(last_end, functionalities[i].end);
        if (i > *transducer && functionalities[i].start < tf.end) {
            problem("functionality " + Num(static_cast<uint32_t>(i)) + " (listed after the "
                    "transducer functionality) begins at word " + Num(functionalities[i].start) +
                    ", inside or before it (it ends at word " + Num(tf.end - 1) + ")");
        }
    }
    if (last_end != area_end) {
        problem("word 132 gives a structured area up to word " + Num(area_end - 1) +
                ", but its functionalities end at word " + Num(last_end - 1));
    }

    // The transducer table: after the header block and the input blocks.
    const uint32_t b = tf.start;
    const uint32_t blocks = (word(b + 12) & 1) ? word(b + 7) : 1;
    uint32_t t = b + 2;
    for (uint32_t i = 0; i <= blocks; ++i) {
        const uint32_t size = word(t) >> 5;
        if (size == 0 || t + size >= tf.end) {
            problem("block " + Num(i) + " of the transducer functionality (word " + Num(t) +
                    ", size word " + Hex(word(t)) + ") leaves no room for the transducer table");
            return report;
        }
        t += size;
    }
    const uint32_t records = word(t + 4);
    const uint32_t table_bytes = word(t) >> 4;
    if (records > 14) {
        problem("the transducer table (word " + Num(t) + ") counts " + Num(records) +
                " transducers; at most 14 fit");
        return report;
    }
    const uint32_t table_end = t + 5 + 29 * records;
    if (table_bytes != 2 * (table_end - t)) {
        problem("the transducer table's size word (word " + Num(t) + ") gives " +
                Num(table_bytes) + " bytes, but " + Num(records) + " transducers take " +
                Num(2 * (table_end - t)));
    }
    if (table_end != tf.end) {
        problem("the transducer functionality's size word (word " + Num(b) +
                ") ends it at word " + Num(tf.end - 1) + ", but its table of " + Num(records) +
                " transducers ends at word " + Num(table_end - 1));
    }
    if (table_end > area_end) return report;

    // The records.
    std::vector<uint32_t> indexes, types;
    for (uint32_t i = 0; i < records; ++i) {
        const uint32_t r = t + 5 + 29 * i;
        const uint32_t index = word(r) & 0xFF;
        const uint32_t type = word(r) >> 8;
        const std::string name = "record " + Num(i) + " (transducer " + Num(index) + ")";
        if (std::find(indexes.begin(), indexes.end(), index) != indexes.end()) {
            problem(name + ": transducer index " + Num(index) + " appears twice");
        }
        if (type < 2 || type > 15) {
            problem(name + ": selection type " + Num(type) + " is not between 2 and 15");
        } else if (std::find(types.begin(), types.end(), type) != types.end()) {
            problem(name + ": selection type " + Num(type) + " is used twice");
        }
        if (word(r + 27) != 0xD6D8 || word(r + 28) != 0xC350) {
            problem(name + ": incomplete, its closing words are " + Hex(word(r + 27)) + " " +
                    Hex(word(r + 28)) + " instead of 0xD6D8 0xC350");
        }
        uint64_t bits = 0;
        for (uint32_t k = 0; k < 4; ++k) bits |= uint64_t{word(r + 1 + k)} << (16 * k);
        double range = 0.0;
        std::memcpy(&range, &bits, sizeof range);
        if (!std::isfinite(range) || range <= 0.0) {
            problem(name + ": its range is not a positive number");
        }
        indexes.push_back(index);
        types.push_back(type);
        const bool calibrated = type >= 2 && type <= 15 && (word(8 * type) & 1);
        // Calibration rewrites the block; an uncalibrated type keeps what the add wrote.
        if (type >= 2 && type <= 15 && !calibrated) {
            if (const std::optional<uint32_t> at = BlockMismatch(image, r, type)) {
                problem(name + ": its configuration block (selection type " + Num(type) +
                        ") differs from the one its record gives, from word " + Num(*at) +
                        " on (an add interrupted while writing it?)");
            }
        }
        report.transducers.push_back("transducer " + Num(index) + ", selection type " +
                                     Num(type) + (calibrated ? ", calibrated" : ""));
    }

    // Calibration marks: bit 0 of both first potis words of a selection type.
    for (uint32_t s = 2; s <= 15; ++s) {
        const uint32_t first = word(8 * s) & 1, second = word(8 * s + 1) & 1;
        const bool used = std::find(types.begin(), types.end(), s) != types.end();
        if (used && first != second) {
            problem("selection type " + Num(s) + ": its calibration marks disagree (bit 0 of "
                    "word " + Num(8 * s) + " is " + Num(first) + ", of word " + Num(8 * s + 1) +
                    " is " + Num(second) + ")");
        } else if (!used && (first | second)) {
            problem("selection type " + Num(s) + " is marked calibrated (words " + Num(8 * s) +
                    ", " + Num(8 * s + 1) + "), but no transducer uses it");
        }
    }

    // The default transducer word.
    const uint32_t default_index = word(0) >> 8, default_type = word(0) & 0xFF;
    bool found = false;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        found = found || (indexes[i] == default_index && types[i] == default_type);
    }
    if (!found) {
        problem("word 0 names transducer " + Num(default_index) + " of selection type " +
                Num(default_type) + " as the default, but the table has no such transducer");
    }
    if (records == 0) report.notes.push_back("the database is empty");
    return report;
}

}  // namespace qmdtool
