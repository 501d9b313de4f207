// The EEPROM image a board leaves the factory with: identity, potis area, the directory of
// functionalities with the transducer database, and the configuration blocks of the
// factory transducer types.
//
// Word map of the image (word addresses; qmd5820_protocol/eeprom_map.h names them):
//   0            default transducer (index << 8 | selection type)
//   1, 131       image marker and image format (kept untouched by the library)
//   8s..8s+7     potis words of each factory selection type s
//   128..130     hardware revision << 12, serial number low / high
//   132          current size of the structured area that starts at word 133
//   133          number of functionalities
//   134..139     directory: kind and offset word of each functionality
//   140..        board functionality (kind 1)
//   B            transducer functionality (kind 2): B, B+1, header block (12 words),
//                16 input blocks (4 words each), transducer table T
//   after T      production functionality (kind 3), the last item of the area
//   32768+512s   configuration block of selection type s
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/settings.h"
#include "qmd5820sim.h"
#include "sim_board.h"

namespace qmdsim {
namespace {

namespace bytes = qmd::bytes;
namespace ee = qmd::ee;
namespace rec = qmd::rec;

constexpr qmdsim_transducer kFactoryTransducers[] = {
    // index, selection type, calibrated, range, sensitivity, frequency, voltage, impedance
    {1, 2, 1, 2.0, 50.0, 5000.0, 3.0, 6.0},
    {5, 3, 0, 10.0, 29.0, 4883.0, 2.0, 1.5},
    {12, 4, 0, 1.0, 100.0, 13951.0, 4.0, 20.0},
};
constexpr uint32_t kFactoryTransducerCount =
    sizeof kFactoryTransducers / sizeof kFactoryTransducers[0];

// The two words the library leaves alone carry the factory's image marker and format.
constexpr uint16_t kWordImageMarker = ee::kSpareWord1;
constexpr uint16_t kWordImageFormat = ee::kSpareWord131;

constexpr uint16_t kImageMarker = 0x5820;
constexpr uint16_t kImageFormat = 0x0001;

// Functionality kinds.
constexpr uint16_t kKindBoard = 1;
constexpr uint16_t kKindTransducers = ee::kTransducerKind;
constexpr uint16_t kKindProduction = 3;

// Bits 0 to 3 of the size words: the factory's tag for each kind of item.
constexpr uint16_t kTagFunctionality = 0x1;
constexpr uint16_t kTagHeader = 0x3;
constexpr uint16_t kTagInput = 0x4;
constexpr uint16_t kTagTable = 0x6;

constexpr uint16_t kInputCount = qmd::board::kChannels;
// The header block, from B + 2: its size word, then the words up to the header
// configuration (header word 10, B + 12) and one more.
constexpr uint16_t kHeaderWords = ee::kHeaderConfiguration - ee::kFirstBlock + 2;
constexpr uint16_t kInputBlockWords = 4;
constexpr uint16_t kTableHeadWords = ee::kFirstRecord;  // size word, 3 unused words, count

using ee::SizeWord;

// Sequential writer over the image.
class Image {
  public:
    explicit Image(uint16_t* words) : w_(words) {}
    uint16_t pos() const { return pos_; }
    void Seek(uint16_t word) { pos_ = word; }
    void Put(uint16_t v) { w_[pos_++] = v; }
    void Set(uint32_t word, uint16_t v) { w_[word] = v; }
    uint16_t Get(uint32_t word) const { return w_[word]; }
    // Writes a byte image as little-endian words.
    void PutBytes(const uint8_t* b, std::size_t n) {
        for (std::size_t i = 0; i + 1 < n; i += 2) Put(bytes::GetU16(b + i));
    }

  private:
    uint16_t* w_;
    uint16_t pos_ = 0;
};

void PutRecord(Image& image, const qmdsim_transducer& t) {
    uint8_t r[rec::kBytes] = {};
    bytes::PutU8(r + rec::kIndex, t.transducer_index);
    bytes::PutU8(r + rec::kSelectionType, t.selection_type);
    bytes::PutF64(r + rec::kRange, t.range);
    bytes::PutF64(r + rec::kSensitivity, t.sensitivity);
    bytes::PutF64(r + rec::kFrequency, t.frequency);
    bytes::PutF64(r + rec::kFrequencyCopy1, t.frequency);
    bytes::PutF64(r + rec::kFrequencyCopy2, t.frequency);
    bytes::PutF64(r + rec::kPrimaryVoltage, t.primary_voltage);
    bytes::PutU32(r + rec::kReserved, 0);
    bytes::PutU32(r + rec::kSignature, rec::kSignatureValue);
    image.PutBytes(r, sizeof r);
}

// The board functionality: what the board carries.
void PutBoardFunctionality(Image& image) {
    const uint16_t content[] = {0x5820, 16 /* channels */, 8 /* inputs */, 8 /* outputs */,
                                32 /* potentiometers */};
    image.Put(SizeWord(1 + sizeof content / sizeof content[0], kTagFunctionality));
    for (uint16_t v : content) image.Put(v);
}

// The transducer functionality, its transducer table last.
void PutTransducerFunctionality(Image& image) {
    const uint16_t b = image.pos();
    image.Put(0);  // size word, written when the table is complete
    image.Put(0);  // not used

    uint16_t header[kHeaderWords] = {SizeWord(kHeaderWords, kTagHeader),
                                     0x0001 /* layout version */};
    header[ee::kNumberOfInputs - ee::kFirstBlock] = kInputCount;
    header[ee::kHeaderConfiguration - ee::kFirstBlock] = ee::kOneBlockPerInput;
    for (uint16_t v : header) image.Put(v);

    for (uint16_t i = 0; i < kInputCount; ++i) {
        image.Put(SizeWord(kInputBlockWords, kTagInput));
        image.Put(i);                                  // channel
        image.Put(static_cast<uint16_t>(i / 8));       // channel group
        image.Put(0);                                  // no transducer assigned
    }

    image.Put(SizeWord(kTableHeadWords + ee::kRecordWords * kFactoryTransducerCount, kTagTable));
    image.Put(0);
    image.Put(0);
    image.Put(0);
    image.Put(static_cast<uint16_t>(kFactoryTransducerCount));
    for (const qmdsim_transducer& tr : kFactoryTransducers) PutRecord(image, tr);

    image.Set(b, SizeWord(static_cast<uint32_t>(image.pos() - b), kTagFunctionality));
}

// Production data, stored after the transducer table.
void PutProductionFunctionality(Image& image) {
    const uint16_t content[] = {2026 /* year */, 14 /* week */, 3 /* test station */,
                                0x0107 /* test program */, 0 /* spare */};
    image.Put(SizeWord(1 + sizeof content / sizeof content[0], kTagFunctionality));
    for (uint16_t v : content) image.Put(v);
}

void PutPotisAndConfiguration(Image& image, const qmdsim_transducer& t) {
    const uint8_t s = t.selection_type;
    for (uint16_t i = 0; i < ee::kPotisWordsPerType; ++i) {
        uint16_t v = ee::kDefaultPotis[i];
        if (t.calibrated != 0 && i < 2) v = static_cast<uint16_t>(v | ee::kCalibratedBit);
        image.Set(ee::PotisWord(s) + i, v);
    }
    uint8_t block[qmd::kConfigurationBlockBytes];
    qmd::ComputeTransducerSettings(t.primary_voltage, t.sensitivity, t.range, t.impedance,
                                   qmd::TruncateFrequency(t.frequency), block);
    for (uint16_t i = 0; i < ee::kConfigurationWords; ++i) {
        image.Set(ee::ConfigurationWord(s, i), bytes::GetU16(block + 2 * i));
    }
}

}  // namespace

void BuildFactoryImage(uint16_t* words, uint32_t serial_number, uint8_t hardware_revision) {
    std::memset(words, 0, QMDSIM_EEPROM_WORDS * sizeof(uint16_t));
    Image image(words);

    const qmdsim_transducer& preferred = kFactoryTransducers[0];
    image.Set(ee::kDefaultTransducer,
              ee::DefaultTransducerWord(preferred.transducer_index, preferred.selection_type));
    image.Set(kWordImageMarker, kImageMarker);
    image.Set(ee::kRevisionWord,
              static_cast<uint16_t>((hardware_revision & 0xFu) << ee::kRevisionShift));
    image.Set(ee::kSerialLowWord, static_cast<uint16_t>(serial_number));
    image.Set(ee::kSerialHighWord, static_cast<uint16_t>(serial_number >> 16));
    image.Set(kWordImageFormat, kImageFormat);

    // Structured area: directory, then the functionalities in directory order.
    constexpr uint16_t kKinds[] = {kKindBoard, kKindTransducers, kKindProduction};
    constexpr uint16_t kCount = sizeof kKinds / sizeof kKinds[0];
    image.Set(ee::kFunctionalityCount, kCount);
    image.Seek(ee::KindWord(kCount));
    for (uint16_t i = 0; i < kCount; ++i) {
        image.Set(ee::KindWord(i), kKinds[i]);
        image.Set(ee::OffsetWord(i), ee::FunctionalityOffset(image.pos()));
        switch (kKinds[i]) {
            case kKindBoard:
                PutBoardFunctionality(image);
                break;
            case kKindTransducers:
                PutTransducerFunctionality(image);
                break;
            default:
                PutProductionFunctionality(image);
                break;
        }
    }
    const uint16_t last = static_cast<uint16_t>(image.pos() - 1);
    image.Set(ee::kCurrentSize, static_cast<uint16_t>((last - ee::kCurrentSize) * 2));

    for (const qmdsim_transducer& t : kFactoryTransducers) PutPotisAndConfiguration(image, t);
}

}  // namespace qmdsim

extern "C" {

void qmdsim_build_factory_image(uint16_t* words, uint32_t serial_number,
                                uint8_t hardware_revision) {
    if (words != nullptr) qmdsim::BuildFactoryImage(words, serial_number, hardware_revision);
}

uint32_t qmdsim_factory_transducer(uint32_t index, qmdsim_transducer* out) {
    if (out != nullptr && index < qmdsim::kFactoryTransducerCount) {
        *out = qmdsim::kFactoryTransducers[index];
    }
    return qmdsim::kFactoryTransducerCount;
}

}  // extern "C"
