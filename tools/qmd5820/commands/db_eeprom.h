// The db command's work on the whole EEPROM: backup, restore and the database check, and
// the backup that add and delete save first.
#ifndef QMD5820_TOOL_COMMANDS_DB_EEPROM_H
#define QMD5820_TOOL_COMMANDS_DB_EEPROM_H

#include <optional>
#include <string>

#include "common/board.h"
#include "eeprom_image.h"

namespace qmdtool {

int DatabaseCheck(const Board& board);
int DatabaseBackup(const Board& board, const std::string& file);
int DatabaseRestore(const Board& board, const std::string& file, bool force);

// The EEPROM saved before an add or a delete changes it, to `given` or a new file in the
// per-user backup directory; the file, or nothing (with a message) when it cannot be saved.
// `image` receives what was saved.
std::optional<std::string> BackupBeforeChange(const Board& board, const std::string& given,
                                              EepromImage& image);

// The whole EEPROM of the board; false (with a message) when a word cannot be read.
bool ReadImage(const Board& board, EepromImage& image);
// Writes back the words of `saved` that differ from what the EEPROM holds now and reads
// the whole EEPROM back; false (with `error`) when it does not then equal `saved`.
bool PutBackImage(const Board& board, const EepromImage& saved, uint32_t& written,
                  std::string& error);

}  // namespace qmdtool

#endif
