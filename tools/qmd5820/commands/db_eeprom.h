// The db command's work on the whole EEPROM: backup, restore and the database check, and
// the backup that add and delete save first.
#ifndef QMD5820_TOOL_COMMANDS_DB_EEPROM_H
#define QMD5820_TOOL_COMMANDS_DB_EEPROM_H

#include <optional>
#include <string>

#include "common/board.h"

namespace qmdtool {

int DatabaseCheck(const Board& board);
int DatabaseBackup(const Board& board, const std::string& file);
int DatabaseRestore(const Board& board, const std::string& file, bool force);

// The EEPROM saved before an add or a delete changes it, to `given` or a new file in the
// per-user backup directory; the file, or nothing (with a message) when it cannot be saved.
std::optional<std::string> BackupBeforeChange(const Board& board, const std::string& given);

}  // namespace qmdtool

#endif
