// The EEPROM image: backup file format and database consistency check (see eeprom_image.h).
#include "eeprom_image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/crc32.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/settings.h"
#include "qmd5820_texts.h"

namespace qmdtool {
namespace {

namespace ee = qmd::ee;
namespace rec = qmd::rec;
namespace cfg = qmd::cfg;
using qmd::Crc32;

constexpr char kMagic[8] = {'Q', 'M', 'D', '5', '8', '2', '0', 'E'};
constexpr uint32_t kFormat = 1;
constexpr std::size_t kIdentifierBytes = 52;
constexpr std::size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 + kIdentifierBytes;  // 76

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

using qmd::bytes::GetU32;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string Num(uint32_t value) { return std::to_string(value); }

// The double of the record at word `record` whose field begins at byte `field`.
double DoubleAt(const EepromImage& image, uint32_t record, std::size_t field) {
    const uint32_t address = record + rec::Word(field);
    uint8_t b[8];
    for (uint32_t k = 0; k < 4; ++k) qmd::bytes::PutU16(b + 2 * k, image[address + k]);
    return qmd::bytes::GetF64(b);
}

// The first word of the configuration block of selection type `type` that differs from
// what an add computes from the record at `record`, or nullopt. The impedance is not
// stored: the impedance code (the high byte of the excitation control's low word) is not
// compared.
std::optional<uint32_t> BlockMismatch(const EepromImage& image, uint32_t record, uint8_t type) {
    uint8_t block[qmd::kConfigurationBlockBytes];
    qmd::ComputeTransducerSettings(DoubleAt(image, record, rec::kPrimaryVoltage),
                                   DoubleAt(image, record, rec::kSensitivity),
                                   DoubleAt(image, record, rec::kRange), 0.0,
                                   qmd::TruncateFrequency(DoubleAt(image, record, rec::kFrequency)),
                                   block);
    constexpr uint16_t kImpedanceWord = cfg::FieldWord(cfg::kExcitationControl);
    for (uint16_t i = 0; i < ee::kConfigurationWords; ++i) {
        const uint32_t mask = i == kImpedanceWord ? 0x00FF : 0xFFFF;
        const uint32_t computed = qmd::bytes::GetU16(block + 2 * i);
        const uint16_t address = ee::ConfigurationWord(type, i);
        if (((image[address] ^ computed) & mask) != 0) return address;
    }
    return std::nullopt;
}

}  // namespace

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
    const uint32_t current_size = word(ee::kCurrentSize);
    const uint32_t area_end = ee::kFunctionalityCount + current_size / 2;  // first word after it
    const uint32_t count = word(ee::kFunctionalityCount) & 0xFF;
    const uint32_t directory_end = ee::KindWord(static_cast<uint16_t>(count));
    if (directory_end > area_end) {
        problem("the directory (" + Num(count) + " functionalities, words " +
                Num(ee::kFunctionalityCount) + " to " + Num(directory_end - 1) +
                ") does not fit the structured area of " + Num(current_size) +
                " bytes given by word " + Num(ee::kCurrentSize));
        return report;
    }
    struct Functionality {
        uint32_t kind, start, end;
    };
    std::vector<Functionality> functionalities;
    std::optional<std::size_t> transducer;
    bool placed = true;
    for (uint16_t i = 0; i < count; ++i) {
        const uint32_t kind = word(ee::KindWord(i)) & ee::kKindMask;
        const uint32_t start = ee::FunctionalityWord(static_cast<uint16_t>(word(ee::OffsetWord(i))));
        const uint32_t end = start + ee::SizeInWords(static_cast<uint16_t>(word(start)));
        if (start < directory_end || end > area_end || end == start) {
            problem("functionality " + Num(i) + " (kind " + Num(kind) + ", words " + Num(start) +
                    " to " + Num(end - (end > start)) + ") lies outside the structured area "
                    "(words " + Num(directory_end) + " to " + Num(area_end - 1) + ")");
            placed = false;
        }
        if (kind == ee::kTransducerKind && !transducer) transducer = functionalities.size();
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
        problem("word " + Num(ee::kCurrentSize) + " gives a structured area up to word " +
                Num(area_end - 1) + ", but its functionalities end at word " + Num(last_end - 1));
    }

    // The transducer table: after the header block and the input blocks.
    const uint32_t b = tf.start;
    const uint32_t blocks = (word(b + ee::kHeaderConfiguration) & ee::kOneBlockPerInput) != 0
                                ? word(b + ee::kNumberOfInputs)
                                : 1;
    uint32_t t = b + ee::kFirstBlock;
    for (uint32_t i = 0; i <= blocks; ++i) {
        const uint32_t size = ee::SizeInWords(static_cast<uint16_t>(word(t)));
        if (size == 0 || t + size >= tf.end) {
            problem("block " + Num(i) + " of the transducer functionality (word " + Num(t) +
                    ", size word " + Hex(word(t)) + ") leaves no room for the transducer table");
            return report;
        }
        t += size;
    }
    const uint32_t records = word(t + ee::kTableCount);
    const uint32_t table_bytes = word(t) >> 4;
    if (records > ee::kMaxTransducers) {
        problem("the transducer table (word " + Num(t) + ") counts " + Num(records) +
                " transducers; at most " + Num(ee::kMaxTransducers) + " fit");
        return report;
    }
    const uint32_t table_end = t + ee::kFirstRecord + ee::kRecordWords * records;
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
    const auto valid_type = [](uint32_t type) {
        return type >= ee::kFirstSelectionType && type <= ee::kLastSelectionType;
    };
    std::vector<uint32_t> indexes, types;
    for (uint32_t i = 0; i < records; ++i) {
        const uint32_t r = ee::RecordWord(static_cast<uint16_t>(t), i);
        const uint32_t index = word(r) & 0xFF;  // record byte 0
        const uint32_t type = word(r) >> 8;     // record byte 1
        const std::string name = "record " + Num(i) + " (transducer " + Num(index) + ")";
        if (std::find(indexes.begin(), indexes.end(), index) != indexes.end()) {
            problem(name + ": transducer index " + Num(index) + " appears twice");
        }
        if (!valid_type(type)) {
            problem(name + ": selection type " + Num(type) + " is not between " +
                    Num(ee::kFirstSelectionType) + " and " + Num(ee::kLastSelectionType));
        } else if (std::find(types.begin(), types.end(), type) != types.end()) {
            problem(name + ": selection type " + Num(type) + " is used twice");
        }
        // The signature closes the record: its low half in the first word.
        const uint32_t closing = r + rec::Word(rec::kSignature);
        const uint32_t signature_low = rec::kSignatureValue & 0xFFFF;
        const uint32_t signature_high = rec::kSignatureValue >> 16;
        if (word(closing) != signature_low || word(closing + 1) != signature_high) {
            problem(name + ": incomplete, its closing words are " + Hex(word(closing)) + " " +
                    Hex(word(closing + 1)) + " instead of " + Hex(signature_low) + " " +
                    Hex(signature_high));
        }
        // The data sheet values the record holds, by the check every add passes (the
        // impedance is not stored: any acceptable one).
        char data_problem[QMD5820_PROBLEM_TEXT_SIZE];
        if (qmd5820_transducer_data_problem(DoubleAt(image, r, rec::kRange),
                                            DoubleAt(image, r, rec::kSensitivity),
                                            DoubleAt(image, r, rec::kFrequency),
                                            DoubleAt(image, r, rec::kPrimaryVoltage), 1.0,
                                            data_problem, sizeof data_problem) != 0) {
            problem(name + ": " + data_problem);
        }
        indexes.push_back(index);
        types.push_back(type);
        const bool calibrated =
            valid_type(type) &&
            (word(ee::PotisWord(static_cast<uint8_t>(type))) & ee::kCalibratedBit) != 0;
        // Calibration rewrites the block; an uncalibrated type keeps what the add wrote.
        if (valid_type(type) && !calibrated) {
            if (const std::optional<uint32_t> at =
                    BlockMismatch(image, r, static_cast<uint8_t>(type))) {
                problem(name + ": its configuration block (selection type " + Num(type) +
                        ") differs from the one its record gives, from word " + Num(*at) +
                        " on (an add interrupted while writing it?)");
            }
        }
        report.transducers.push_back("transducer " + Num(index) + ", selection type " +
                                     Num(type) + (calibrated ? ", calibrated" : ""));
    }

    // Calibration marks: bit 0 of both first potis words of a selection type.
    for (uint8_t s = ee::kFirstSelectionType; s <= ee::kLastSelectionType; ++s) {
        const uint32_t w = ee::PotisWord(s);
        const uint32_t first = word(w) & ee::kCalibratedBit;
        const uint32_t second = word(w + 1) & ee::kCalibratedBit;
        const bool used = std::find(types.begin(), types.end(), s) != types.end();
        if (used && first != second) {
            problem("selection type " + Num(s) + ": its calibration marks disagree (bit 0 of "
                    "word " + Num(w) + " is " + Num(first) + ", of word " + Num(w + 1) +
                    " is " + Num(second) + ")");
        } else if (!used && (first | second)) {
            problem("selection type " + Num(s) + " is marked calibrated (words " + Num(w) +
                    ", " + Num(w + 1) + "), but no transducer uses it");
        }
    }

    // The default transducer word: index in the high byte, selection type in the low byte.
    const uint32_t default_index = word(ee::kDefaultTransducer) >> 8;
    const uint32_t default_type = word(ee::kDefaultTransducer) & 0xFF;
    bool found = false;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        found = found || (indexes[i] == default_index && types[i] == default_type);
    }
    if (!found) {
        problem("word " + Num(ee::kDefaultTransducer) + " names transducer " + Num(default_index) + " of selection type " +
                Num(default_type) + " as the default, but the table has no such transducer");
    }
    if (records == 0) report.notes.push_back("the database is empty");
    return report;
}

}  // namespace qmdtool
