// The db command's changes to the database (add, delete, restore): one process at a time
// per board, whole or not at all, and saved before the command reports success.
#ifndef QMD5820_TOOL_COMMANDS_DB_CHANGE_H
#define QMD5820_TOOL_COMMANDS_DB_CHANGE_H

#include <string>

#include "commands/db.h"
#include "common/board.h"
#include "common/file_lock.h"

namespace qmdtool {

// The lock file of board `board`'s database: beside the simulated boards' state file when
// there is one, else in the per-user state directory; "" (with `error`) when there is no
// place for it.
std::string DatabaseLockFile(uint8_t board, std::string& error);

// Takes the board's database lock, waiting for another tool process that holds it (and
// saying so); false with a message when it cannot be taken.
bool LockDatabase(const Board& board, FileLock& lock);

// After a change: what the simulated boards hold is saved to their state file; false with
// a message when the save failed.
bool SaveDatabaseChange(const Board& board);

// db add and db delete: under the lock, the EEPROM saved first, the change, the database
// checked afterwards; a change that fails or leaves the database inconsistent is undone
// word by word from the saved image. Returns the exit status (the caller shows an added
// type).
int DatabaseChange(const Board& board, const DatabaseArguments& args);

}  // namespace qmdtool

#endif
