// EEPROM word access through the backend (see eeprom_words.h).
#include "eeprom_words.h"

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"

namespace qmdtool {
namespace {

namespace req = qmd::req;
constexpr uint32_t kReadWord = req::kEepromRead;
constexpr uint32_t kWriteWord = req::kEepromWrite;
constexpr uint32_t kRequestBytes = qmd::RecordSize(req::kEepromRead);
static_assert(qmd::RecordSize(req::kEepromWrite) == kRequestBytes);

std::string Address(uint32_t address) { return "EEPROM word " + std::to_string(address); }

}  // namespace

EepromWords::EepromWords(const qmd5820_backend& backend, uint8_t index) : backend_(backend) {
    open_ = backend_.open_board(backend_.context, index, &handle_) == QMD5820_OPEN_OK;
}

EepromWords::~EepromWords() {
    if (open_) backend_.close_handle(backend_.context, handle_);
}

// The word request: status byte, 3 zero bytes, byte address, value (LE).
bool EepromWords::Request(uint32_t code, uint16_t address, uint16_t& value) {
    namespace layout = req::eeprom_word;
    uint8_t buffer[kRequestBytes] = {};
    qmd::bytes::PutU32(buffer + layout::kByteAddress, layout::ByteAddress(address));
    qmd::bytes::PutU32(buffer + layout::kValue, code == kWriteWord ? value : 0u);
    if (!open_ || backend_.device_io_control(backend_.context, handle_, code, buffer,
                                             kRequestBytes, kRequestBytes) != 1 ||
        buffer[req::kStatus] != 0) {
        return false;
    }
    if (code == kReadWord) value = qmd::bytes::GetU16(buffer + layout::kValue);
    return true;
}

bool EepromWords::Read(uint16_t address, uint16_t& value) {
    return Request(kReadWord, address, value);
}

bool EepromWords::Write(uint16_t address, uint16_t value) {
    return Request(kWriteWord, address, value);
}

bool EepromWords::ReadAll(EepromImage& image, std::string& error) {
    image.assign(kEepromWords, 0);
    for (uint32_t a = 0; a < kEepromWords; ++a) {
        if (!Read(static_cast<uint16_t>(a), image[a])) {
            error = Address(a) + " cannot be read";
            return false;
        }
    }
    return true;
}

bool EepromWords::WriteDifferences(EepromImage& current, const EepromImage& wanted,
                                   uint32_t& written, std::string& error) {
    written = 0;
    if (current.size() != kEepromWords || wanted.size() != kEepromWords) {
        error = "the images are not whole EEPROM images";
        return false;
    }
    for (uint32_t a = 0; a < kEepromWords; ++a) {
        if (current[a] == wanted[a]) continue;
        if (!Write(static_cast<uint16_t>(a), wanted[a])) {
            error = Address(a) + " cannot be written (" + std::to_string(written) +
                    " word(s) written before it)";
            return false;
        }
        ++written;
    }
    if (!ReadAll(current, error)) return false;
    for (uint32_t a = 0; a < kEepromWords; ++a) {
        if (current[a] != wanted[a]) {
            error = Address(a) + " reads back as " + std::to_string(current[a]) +
                    " after writing " + std::to_string(wanted[a]);
            return false;
        }
    }
    return true;
}

}  // namespace qmdtool
