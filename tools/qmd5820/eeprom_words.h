// Word access to a board's EEPROM for the tool's backup, restore and check: the driver's
// two EEPROM word requests, sent through the library's backend (on its own device handle).
#ifndef QMD5820_TOOL_EEPROM_WORDS_H
#define QMD5820_TOOL_EEPROM_WORDS_H

#include <cstdint>
#include <string>

#include "eeprom_image.h"
#include "qmd5820_backend.h"

namespace qmdtool {

class EepromWords {
public:
    // Opens board `index` through `backend`; ok() tells whether that worked.
    EepromWords(const qmd5820_backend& backend, uint8_t index);
    ~EepromWords();
    EepromWords(const EepromWords&) = delete;
    EepromWords& operator=(const EepromWords&) = delete;

    bool ok() const { return open_; }
    bool Read(uint16_t address, uint16_t& value);
    bool Write(uint16_t address, uint16_t value);

    // The whole image; false (with `error`) at the first word that cannot be read.
    bool ReadAll(EepromImage& image, std::string& error);
    // Writes the words of `wanted` that differ from `current` (lowest address first), then
    // reads the whole EEPROM back into `current` and compares. `written` counts the writes.
    bool WriteDifferences(EepromImage& current, const EepromImage& wanted, uint32_t& written,
                          std::string& error);

private:
    bool Request(uint32_t code, uint16_t address, uint16_t& value);

    qmd5820_backend backend_;
    uint64_t handle_ = 0;
    bool open_ = false;
};

}  // namespace qmdtool

#endif
