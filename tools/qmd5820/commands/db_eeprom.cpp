// The db command's work on the whole EEPROM (see db_eeprom.h).
#include "commands/db_eeprom.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "QMD5820.h"
#include "command.h"
#include "common/output_file.h"
#include "common/paths.h"
#include "eeprom_image.h"
#include "eeprom_words.h"
#include "qmd5820_backend.h"

namespace qmdtool {
namespace {

// The identity a backup is tied to; false (with a message) when the board does not give it.
bool ReadIdentity(const Board& board, BoardIdentity& identity) {
    char identifier[64] = {};
    uint32_t values[7] = {};
    uint8_t value8 = 0;
    if (i_QMD5820_GetBoardInformation(board.index(), sizeof identifier, identifier, &values[0],
                                      &values[1], &values[2], &values[3], &values[4],
                                      &values[5], &values[6], &value8) != 0) {
        std::fprintf(stderr, "qmd5820: board %u: board information unavailable\n", board.index());
        return false;
    }
    identifier[sizeof identifier - 1] = '\0';
    identity.identifier = identifier;
    return board.Check(i_QMD5820_GetBoardSerialNumber(board.handle(), &identity.serial_number),
                       "serial number") &&
           board.Check(i_QMD5820_GetBoardHardwareRevision(board.handle(), &identity.revision),
                       "hardware revision");
}

// Saves the EEPROM to `file` (and gives it in `image`); false (with a message) on any
// failure.
bool SaveBackup(const Board& board, const std::string& file, EepromImage& image) {
    BoardIdentity identity;
    if (!ReadIdentity(board, identity) || !ReadImage(board, image)) return false;
    std::string error;
    if (!WriteFileAtomically(file, EncodeBackup(identity, image), error)) {
        std::fprintf(stderr, "qmd5820: the backup cannot be saved: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Where db add and delete keep their backups when no --backup is given: a directory of the
// user's (created when missing) and a file name with the board, its serial number and the
// time. Empty (with a message) when there is no such directory.
std::string DefaultBackupFile(const Board& board) {
    namespace fs = std::filesystem;
    std::string tried;
    const fs::path directory = UserStateDirectory("backups", tried);
    if (directory.empty()) {
        if (tried.empty()) {
            std::fprintf(stderr, "qmd5820: no directory for the EEPROM backup: %s (give a file "
                                 "with --backup FILE)\n", kNoStateDirectory);
        } else {
            std::fprintf(stderr, "qmd5820: no directory for the EEPROM backup: %s cannot be "
                                 "created (give a file with --backup FILE)\n", tried.c_str());
        }
        return {};
    }
    uint32_t serial = 0;
    i_QMD5820_GetBoardSerialNumber(board.handle(), &serial);
    char stamp[32] = "undated";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", utc);
    const std::string stem = "board" + std::to_string(board.index()) + "-serial" +
                             std::to_string(serial) + "-" + stamp;
    std::error_code ec;
    for (unsigned n = 1;; ++n) {
        const fs::path file = directory / (stem + (n > 1 ? "-" + std::to_string(n) : "") + ".eeprom");
        if (!fs::exists(fs::symlink_status(file, ec))) return file.string();
    }
}

void PrintCheck(const CheckReport& report, std::FILE* out) {
    for (const std::string& t : report.transducers) std::fprintf(out, "  %s\n", t.c_str());
    for (const std::string& n : report.notes) std::fprintf(out, "  note: %s\n", n.c_str());
    for (const std::string& p : report.problems) std::fprintf(out, "  problem: %s\n", p.c_str());
}

}  // namespace

bool ReadImage(const Board& board, EepromImage& image) {
    EepromWords words(*qmd5820_default_backend(), board.index());
    std::string error;
    if (!words.ok()) {
        error = "the board cannot be opened for EEPROM access";
    } else if (words.ReadAll(image, error)) {
        return true;
    }
    std::fprintf(stderr, "qmd5820: board %u: %s\n", board.index(), error.c_str());
    return false;
}

bool PutBackImage(const Board& board, const EepromImage& saved, uint32_t& written,
                  std::string& error) {
    EepromWords words(*qmd5820_default_backend(), board.index());
    EepromImage current;
    written = 0;
    if (!words.ok()) {
        error = "the board cannot be opened for EEPROM access";
        return false;
    }
    return words.ReadAll(current, error) &&
           words.WriteDifferences(current, saved, written, error);
}

int DatabaseCheck(const Board& board) {
    EepromImage image;
    if (!ReadImage(board, image)) return kFailed;
    const CheckReport report = CheckImage(image);
    std::printf("board %u: transducer database %s\n", board.index(),
                report.consistent() ? "consistent" : "INCONSISTENT");
    PrintCheck(report, stdout);
    if (!report.consistent()) {
        std::printf("An interrupted 'db add' or 'db delete' leaves such damage: restore the backup "
                    "it saved with 'qmd5820 db %u restore FILE'.\n", board.index());
        return kFailed;
    }
    return 0;
}

int DatabaseBackup(const Board& board, const std::string& file) {
    EepromImage image;
    if (!SaveBackup(board, file, image)) return kFailed;
    std::printf("board %u: EEPROM (%zu words) saved to %s\n", board.index(), kEepromWords,
                file.c_str());
    return 0;
}

int DatabaseRestore(const Board& board, const std::string& file, bool force) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(file, bytes, error)) {
        std::fprintf(stderr, "qmd5820: %s\n", error.c_str());
        return kFailed;
    }
    const std::optional<Backup> backup = DecodeBackup(bytes, error);
    if (!backup) {
        std::fprintf(stderr, "qmd5820: %s: %s; nothing was written\n", file.c_str(), error.c_str());
        return kFailed;
    }
    // A database the check calls inconsistent is written only on request.
    if (const CheckReport wanted = CheckImage(backup->image); !wanted.consistent()) {
        std::fprintf(force ? stdout : stderr, "%s: %s holds an inconsistent transducer database:\n",
                     force ? "warning" : "qmd5820", file.c_str());
        PrintCheck(wanted, force ? stdout : stderr);
        if (!force) {
            std::fprintf(stderr, "qmd5820: nothing was written (add --force to restore it "
                                 "anyway)\n");
            return kFailed;
        }
    }
    BoardIdentity identity;
    if (!ReadIdentity(board, identity)) return kFailed;
    if (!(identity == backup->identity)) {
        if (!force) {
            std::fprintf(stderr,
                         "qmd5820: %s was saved from board %s, but board %u is %s; nothing was "
                         "written (add --force to restore it onto this board anyway)\n",
                         file.c_str(), DescribeIdentity(backup->identity).c_str(), board.index(),
                         DescribeIdentity(identity).c_str());
            return kFailed;
        }
        std::fprintf(stderr, "qmd5820: restoring a backup of board %s onto board %s (--force)\n",
                     DescribeIdentity(backup->identity).c_str(), DescribeIdentity(identity).c_str());
    }
    EepromWords words(*qmd5820_default_backend(), board.index());
    EepromImage current;
    uint32_t written = 0;
    if (!words.ok() || !words.ReadAll(current, error) ||
        !words.WriteDifferences(current, backup->image, written, error)) {
        std::fprintf(stderr, "qmd5820: board %u: restore failed: %s\n", board.index(),
                     words.ok() ? error.c_str() : "the board cannot be opened for EEPROM access");
        return kFailed;
    }
    std::printf("board %u: %u word(s) written from %s; the EEPROM reads back equal to the "
                "backup\n", board.index(), written, file.c_str());
    const CheckReport report = CheckImage(current);
    if (!report.consistent()) {
        std::printf("warning: the restored transducer database is inconsistent:\n");
        PrintCheck(report, stdout);
    }
    return 0;
}

std::optional<std::string> BackupBeforeChange(const Board& board, const std::string& given,
                                              EepromImage& image) {
    const std::string file = given.empty() ? DefaultBackupFile(board) : given;
    if (file.empty() || !SaveBackup(board, file, image)) {
        std::fprintf(stderr, "qmd5820: the database of board %u was not changed\n", board.index());
        return std::nullopt;
    }
    std::printf("EEPROM of board %u saved to %s (undo with 'qmd5820 db %u restore %s')\n",
                board.index(), file.c_str(), board.index(), file.c_str());
    return file;
}

}  // namespace qmdtool
