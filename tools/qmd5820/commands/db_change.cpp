// The db command's changes to the database (see db_change.h).
#include "commands/db_change.h"

#include <cstdio>
#include <filesystem>
#include <optional>

#include "QMD5820.h"
#include "command.h"
#include "commands/db_eeprom.h"
#include "common/paths.h"
#include "common/simulator.h"
#include "eeprom_image.h"

namespace qmdtool {
namespace {

// Puts the EEPROM back as it was saved before the change and says what came of it.
void Undo(const Board& board, const EepromImage& saved, const std::string& backup) {
    uint32_t written = 0;
    std::string error;
    if (PutBackImage(board, saved, written, error)) {
        std::fprintf(stderr, "qmd5820: the change was undone: %u word(s) written back, the "
                             "EEPROM of board %u reads back as it was before\n",
                     written, board.index());
        return;
    }
    std::fprintf(stderr, "qmd5820: the change could NOT be undone (%s); restore the database "
                         "with 'qmd5820 db %u restore %s'\n",
                 error.c_str(), board.index(), backup.c_str());
}

}  // namespace

std::string DatabaseLockFile(uint8_t board, std::string& error) {
    const std::string name = "board" + std::to_string(board) + ".db-lock";
    const std::vector<std::string> state = SimulatorStateFiles();
    if (!state.empty()) return state.front() + "." + name;
    std::string tried;
    const std::filesystem::path directory = UserStateDirectory("locks", tried);
    if (directory.empty()) {
        error = tried.empty() ? std::string(kNoStateDirectory) : tried + " cannot be created";
        return {};
    }
    return (directory / name).string();
}

bool LockDatabase(const Board& board, FileLock& lock) {
    // Simulated boards without a state file belong to this process alone.
    if (kSimulator && SimulatorStateFiles().empty()) return true;
    std::string error;
    const std::string file = DatabaseLockFile(board.index(), error);
    if (file.empty()) {
        std::fprintf(stderr, "qmd5820: no place for the database lock of board %u: %s; nothing "
                             "was changed\n", board.index(), error.c_str());
        return false;
    }
    bool locked = lock.TryAcquire(file, error);
    if (!locked && error.empty()) {
        std::fprintf(stderr, "qmd5820: another qmd5820 is changing the database of board %u; "
                             "waiting for it\n", board.index());
        locked = lock.Acquire(file, error);
    }
    if (locked) {
        // What the process that held the lock saved is the state this change starts from.
        RefreshSimulatorState();
        return true;
    }
    std::fprintf(stderr, "qmd5820: %s; nothing was changed\n", error.c_str());
    return false;
}

bool SaveDatabaseChange(const Board& board) {
    std::string error;
    if (SaveSimulatorState(error)) return true;
    std::fprintf(stderr, "qmd5820: board %u: %s\n", board.index(), error.c_str());
    return false;
}

int DatabaseChange(const Board& board, const DatabaseArguments& args) {
    FileLock lock;
    if (!LockDatabase(board, lock)) return kFailed;
    EepromImage saved;
    const std::optional<std::string> backup = BackupBeforeChange(board, args.file, saved);
    if (!backup) return kFailed;
    const double* v = args.values;  // range, sensitivity, frequency, voltage, impedance
    const bool add = args.what == "add";
    const int16_t code =
        add ? i_QMD5820_TransducerDatabaseAdd(board.handle(), args.index, v[0], v[1], v[2], v[3], v[4])
            : i_QMD5820_TransducerDatabaseDelete(board.handle(), args.index);
    if (!board.Check(code)) {
        Undo(board, saved, *backup);
        SaveDatabaseChange(board);
        return kFailed;
    }
    // The database as it is now must be one the check accepts; otherwise it is undone.
    EepromImage now;
    if (!ReadImage(board, now)) {
        Undo(board, saved, *backup);
        SaveDatabaseChange(board);
        return kFailed;
    }
    if (const CheckReport report = CheckImage(now); !report.consistent()) {
        std::fprintf(stderr, "qmd5820: after the %s the database of board %u is inconsistent:\n",
                     args.what.c_str(), board.index());
        for (const std::string& p : report.problems) std::fprintf(stderr, "  %s\n", p.c_str());
        Undo(board, saved, *backup);
        SaveDatabaseChange(board);
        return kFailed;
    }
    if (!SaveDatabaseChange(board)) return kFailed;
    if (!add) std::printf("transducer %u deleted from board %u\n", args.index, board.index());
    return 0;
}

}  // namespace qmdtool
