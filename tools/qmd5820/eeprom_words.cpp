// EEPROM word access through the backend (see eeprom_words.h).
#include "eeprom_words.h"

namespace qmdtool {
namespace {

constexpr uint32_t kReadWord = 0x9001c00c;
constexpr uint32_t kWriteWord = 0x9001c008;
constexpr uint32_t kRequestBytes = 12;

std::string Address(uint32_t address) { return "EEPROM word " + std::to_string(address); }

}  // namespace

EepromWords::EepromWords(const qmd5820_backend& backend, uint8_t index) : backend_(backend) {
    open_ = backend_.open_board(backend_.context, index, &handle_) == QMD5820_OPEN_OK;
}

EepromWords::~EepromWords() {
    if (open_) backend_.close_handle(backend_.context, handle_);
}

// The 12-byte word request: status byte, 3 zero bytes, byte address, value (LE).
bool EepromWords::Request(uint32_t code, uint16_t address, uint16_t& value) {
    uint8_t buffer[kRequestBytes] = {};
    const uint32_t byte_address = 2u * address;
    const uint32_t in_value = code == kWriteWord ? value : 0;
    for (int i = 0; i < 4; ++i) {
        buffer[4 + i] = static_cast<uint8_t>(byte_address >> (8 * i));
        buffer[8 + i] = static_cast<uint8_t>(in_value >> (8 * i));
    }
    if (!open_ || backend_.device_io_control(backend_.context, handle_, code, buffer,
                                             kRequestBytes, kRequestBytes) != 1 ||
        buffer[0] != 0) {
        return false;
    }
    if (code == kReadWord) value = static_cast<uint16_t>(buffer[8] | (buffer[9] << 8));
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
