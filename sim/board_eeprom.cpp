// The board's EEPROM: word requests, and the transducer record search of channel
// initialisation.
#include "board_requests.h"

#include <algorithm>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;
namespace ee = qmd::ee;

namespace {

constexpr uint32_t kLastEepromByteAddress =
    req::eeprom_word::ByteAddress(QMDSIM_EEPROM_WORDS - 1);  // 131070

// The EEPROM words the board reads to find a transducer record (the same walk as the
// library's: directory, transducer functionality, header and input blocks, table).
constexpr uint32_t kEepromWords = QMDSIM_EEPROM_WORDS;
constexpr uint32_t kRecordWords = ee::kRecordWords;
// A table holds at most 14 records; a count far beyond that is not walked to its end.
constexpr uint32_t kMaxRecordsWalked = ee::kMaxTransducers * 4;

// Word address of the transducer table, found like the library finds it: the first
// directory entry of kind 2 gives the transducer functionality B; from B + 2 the walk steps
// over the header block and the input blocks (as many as the number of inputs when bit 0
// of the header configuration is set, else one) by their size words. The EEPROM may hold
// anything: a block whose size word gives no size, or a step that would run past the last
// word, ends the search with nothing found.
bool FindTransducerTable(const std::vector<uint16_t>& e, uint32_t* table) {
    const uint32_t functionalities = e[ee::kFunctionalityCount] & 0xFFu;
    for (uint16_t i = 0; i < functionalities; ++i) {
        if (!ee::IsTransducerKind(e[ee::KindWord(i)])) continue;
        const uint32_t b = ee::FunctionalityWord(e[ee::OffsetWord(i)]);  // at most 32895
        const uint32_t blocks = (e[b + ee::kHeaderConfiguration] & ee::kOneBlockPerInput) != 0
                                    ? e[b + ee::kNumberOfInputs]
                                    : 1u;
        uint32_t a = b + ee::kFirstBlock;
        for (uint32_t k = 0; k <= blocks; ++k) {
            const uint32_t words = ee::SizeInWords(e[a]);
            if (words == 0 || a + words >= kEepromWords) return false;
            a += words;
        }
        *table = a;
        return true;
    }
    return false;
}

}  // namespace

// EEPROM word requests: the byte address of the word and its value.
uint8_t EepromRequest(Board& board, bool write, uint8_t* r) {
    namespace word_request = req::eeprom_word;
    const uint32_t address = bytes::GetU32(r + word_request::kByteAddress);
    if ((address & 1u) != 0 || address > kLastEepromByteAddress) return kStatusBadEepromAddress;
    uint16_t& word = board.eeprom[address / 2];
    if (write) {
        word = static_cast<uint16_t>(bytes::GetU32(r + word_request::kValue));
        board.written_words.push_back(static_cast<uint16_t>(address / 2));
    } else {
        bytes::PutU32(r + word_request::kValue, word);
    }
    return kStatusOk;
}

bool FindTransducerRecord(const std::vector<uint16_t>& e, uint8_t selection_type,
                          uint8_t (&record)[kTransducerRecordBytes]) {
    uint32_t t = 0;
    if (!FindTransducerTable(e, &t) || t + ee::kTableCount >= kEepromWords) return false;
    const uint32_t count = std::min<uint32_t>(e[t + ee::kTableCount], kMaxRecordsWalked);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t first = t + ee::kFirstRecord + kRecordWords * i;
        if (first + kRecordWords > kEepromWords) return false;
        if ((e[first] >> 8) != selection_type) continue;  // record byte 1
        for (uint32_t w = 0; w < kRecordWords; ++w) bytes::PutU16(record + 2 * w, e[first + w]);
        return true;
    }
    return false;
}

}  // namespace qmdsim
