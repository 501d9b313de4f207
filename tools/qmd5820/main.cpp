// qmd5820 - command-line tool for QMD5820 boards: list the boards with their identity and
// versions, read and switch digital I/O, run the timer, look after the transducer database,
// read transducer channels in metric units, once or continuously, run a sequence
// acquisition into CSV and test, rearm and calibrate the primary line.
//
// Exit status: 0 success, 1 a library call failed (its last-error text is printed),
// 2 bad arguments (the usage is printed).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "qmd5820_backend.h"
#include "qmd5820_version.h"
#include "cli_args.h"
#include "eeprom_image.h"
#include "eeprom_words.h"
#include "output_file.h"
#include "csv_rows.h"
#include "calibrate.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <unistd.h>

#include "qmd5820sim.h"
#endif

namespace {

using namespace qmdtool;

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

// The metric unit of the transducers' positions.
constexpr const char* kUnit = "mm";

constexpr const char* kUsage =
    "usage: qmd5820 [options] [command] [arguments]\n"
    "Each command has its own help: qmd5820 COMMAND --help.\n"
    "  list [--json]                boards with identity and versions (default)\n"
    "  info BOARD [--json]          identity and versions of one board\n"
    "  inputs BOARD                 read the 8 digital inputs\n"
    "  outputs BOARD [on|off MASK]  read, or switch the outputs selected by MASK\n"
    "  timer BOARD start BASE COUNT [IRQ] | stop | trigger | status\n"
    "  db BOARD list [--json]       transducer types in the board's database\n"
    "  db BOARD show INDEX          one transducer type\n"
    "  db BOARD add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE [--backup FILE]\n"
    "                               add a transducer type (FREQUENCY in Hz)\n"
    "  db BOARD delete INDEX [--backup FILE]\n"
    "                               delete a transducer type\n"
    "                               (add and delete save the EEPROM first, to --backup FILE\n"
    "                               or a per-user directory, and say how to restore it)\n"
    "  db BOARD backup FILE         save the board's whole EEPROM to FILE\n"
    "  db BOARD restore FILE [--force]\n"
    "                               write a backup back (only words that differ) and verify;\n"
    "                               --force: also when it was saved from another board\n"
    "  db BOARD check               check the transducer database in the EEPROM\n"
    "  read BOARD CH:INDEX... [--json]\n"
    "                               initialise each channel CH with transducer type INDEX,\n"
    "                               read them and print raw codes and values in mm\n"
    "  watch BOARD CH:INDEX... [--interval MS] [--count N]\n"
    "                               the same, refreshed every MS milliseconds (default 500),\n"
    "                               N times (default: until Ctrl-C)\n"
    "  acquire BOARD CH:INDEX... [--sequences-per-interrupt N] [--interrupts M]\n"
    "          [--csv FILE] [--trigger soft|none]\n"
    "                               sequence acquisition of the channels until M sequence\n"
    "                               interrupts (default 3; 0: until Ctrl-C or SIGTERM) came,\n"
    "                               one every N sequences (default 10; channels x N must be\n"
    "                               even); writes CSV (sequence, time/s, values in mm), one\n"
    "                               line per sequence as it arrives, to FILE or stdout.\n"
    "                               --trigger soft starts on a software trigger, none\n"
    "                               (default) at once. Ctrl-C keeps what was received\n"
    "  line BOARD ACTION...         primary line, actions in order: test (status byte),\n"
    "                               rearm, calibrate (line test threshold), interrupts on|off\n"
    "                               (short-circuit interrupts)\n"
    "%s"
#if !defined(_WIN32)
    "  sim reset | show             the simulated boards' state file: back to the factory\n"
    "                               state, or print what it holds\n"
#endif
    "options, before the command:\n"
    "  --version                    the tool, library, driver and firmware versions\n"
#if !defined(_WIN32)
    "  --trace                      print every driver request and its answer to stderr\n"
    "options (simulated board), before the command:\n"
    "  --position BOARD:CH=VALUE    set the simulated transducer position of a channel, in\n"
    "                               metric units (repeatable)\n"
    "  --moving                     watch, acquire: positions drift slowly around their set\n"
    "                               values\n"
    "  --short-circuit BOARD        latch a short circuit on the board's primary line\n"
    "  --sequence-period BOARD:US   acquire: one sequence takes US microseconds (default 1000)\n"
    "  --virtual-clock              the simulated board runs on a virtual clock: its waits\n"
    "                               (calibrate, line) take no real time\n"
    "  --frozen-counter BOARD       calibrate: the board's live values are never refreshed\n"
#endif
    "BOARD is a board index (0, 1, ...), CH a channel 0 to 15, INDEX a transducer index as\n"
    "listed by 'db BOARD list'. Integers are decimal or 0x-prefixed hexadecimal.\n"
#if !defined(_WIN32)
    "The simulated boards keep their EEPROM, outputs and potentiometers in a state file\n"
    "(QMD5820_SIM_STATE, or a per-user default; 'off': none); 'sim reset' forgets them.\n"
#endif
    ;

// Standard output must have taken everything: a full disk or a closed pipe is a failure.
bool StdoutWritten() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    std::fprintf(stderr, "qmd5820: standard output cannot be written: %s\n", std::strerror(errno));
    return false;
}

std::string Bits(uint8_t port) {
    std::string bits;
    for (int channel = 7; channel >= 0; --channel) bits += ((port >> channel) & 1) ? '1' : '0';
    return bits;
}

// An open board, closed again when it goes out of scope.
class Board {
public:
    explicit Board(uint8_t index) : index_(index) {
        code_ = i_QMD5820_OpenBoardViaIndex(index, &handle_);
        if (code_ != 0) {
            std::fprintf(stderr, "qmd5820: board %u cannot be opened (code %d)\n", index, code_);
        }
    }
    ~Board() {
        if (code_ == 0) i_QMD5820_CloseBoard(handle_);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    bool ok() const { return code_ == 0; }
    uint8_t index() const { return index_; }
    QMD5820_HANDLE handle() const { return handle_; }

    // Prints the library's last-error text when `code` is a failure, after `context` when
    // one is given; true on success.
    bool Check(int16_t code, const std::string& context = {}) const {
        if (code == 0) return true;
        const char* text = pc_QMD5820_GetLastError(handle_);
        if (context.empty()) {
            std::fprintf(stderr, "qmd5820: %s\n", text);
        } else {
            std::fprintf(stderr, "qmd5820: %s: %s\n", context.c_str(), text);
        }
        return false;
    }

private:
    uint8_t index_;
    QMD5820_HANDLE handle_ = 0;
    int16_t code_ = 0;
};

// ---- boards, digital I/O, timer ----------------------------------------------------------

std::string VersionText(uint32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u (0x%08" PRIX32 ")", v >> 16, v & 0xFFFFu, v);
    return text;
}

// Text for JSON: quoted, with quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A finite number for JSON (null otherwise: JSON has no NaN or infinity).
std::string JsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("null");
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

// What the tool reports about one board.
struct BoardReport {
    uint8_t index = 0;
    bool has_information = false;
    std::string identifier;
    uint32_t values[7] = {};
    uint8_t value8 = 0;
    bool opened = false;
    char revision = '?';
    std::optional<uint32_t> serial, driver, firmware;
};

BoardReport CollectBoard(uint8_t index) {
    BoardReport report;
    report.index = index;
    char identifier[64] = {};
    uint32_t* v = report.values;
    const int16_t info = i_QMD5820_GetBoardInformation(index, sizeof identifier, identifier,
                                                       &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                                                       &v[6], &report.value8);
    if (info != 0) {
        std::fprintf(stderr, "qmd5820: board %u: board information unavailable (code %d)\n",
                     index, info);
        return report;
    }
    report.has_information = true;
    report.identifier = identifier;
    Board board(index);
    if (!board.ok()) return report;
    report.opened = true;
    if (i_QMD5820_GetBoardHardwareRevision(board.handle(), &report.revision) != 0) {
        report.revision = '?';
    }
    uint32_t value = 0;
    if (i_QMD5820_GetBoardSerialNumber(board.handle(), &value) == 0) report.serial = value;
    if (i_QMD5820_GetDeviceDriverVersion(board.handle(), &value) == 0) report.driver = value;
    if (i_QMD5820_GetFirmwareVersion(board.handle(), &value) == 0) report.firmware = value;
    return report;
}

bool Complete(const BoardReport& report) { return report.has_information && report.opened; }

void PrintBoard(const BoardReport& r) {
    if (!r.has_information) return;
    std::printf("board %u: %s\n", r.index, r.identifier.c_str());
    for (std::size_t i = 0; i < 7; ++i) {
        std::printf("  board value %zu:    %s\n", i + 1, Hex32(r.values[i]).c_str());
    }
    std::printf("  board value 8:    0x%02X\n", r.value8);
    if (!r.opened) return;
    std::printf("  hardware revision: %c\n", r.revision);
    if (r.serial) {
        std::printf("  serial number:    %" PRIu32 "\n", *r.serial);
    } else {
        std::printf("  serial number:    unavailable\n");
    }
    std::printf("  driver version:   %s\n", r.driver ? VersionText(*r.driver).c_str() : "unavailable");
    std::printf("  firmware version: %s\n", r.firmware ? VersionText(*r.firmware).c_str() : "unavailable");
}

std::string BoardJson(const BoardReport& r) {
    auto optional = [](const std::optional<uint32_t>& value, bool hex) {
        return !value ? std::string("null") : hex ? JsonString(Hex32(*value)) : std::to_string(*value);
    };
    std::string json = "{\"index\": " + std::to_string(r.index) +
                       ", \"identifier\": " + (r.has_information ? JsonString(r.identifier) : "null") +
                       ", \"board_values\": [";
    for (std::size_t i = 0; i < 7; ++i) json += (i ? ", " : "") + JsonString(Hex32(r.values[i]));
    char value8[8];
    std::snprintf(value8, sizeof value8, "0x%02X", r.value8);
    json += std::string("], \"board_value_8\": ") + JsonString(value8) +
            ", \"hardware_revision\": " +
            (r.opened && r.revision != '?' ? JsonString(std::string(1, r.revision)) : "null") +
            ", \"serial_number\": " + optional(r.serial, false) +
            ", \"driver_version\": " + optional(r.driver, true) +
            ", \"firmware_version\": " + optional(r.firmware, true) + "}";
    return json;
}

int ShowBoard(uint8_t index, bool json) {
    const BoardReport report = CollectBoard(index);
    if (json && report.has_information) std::printf("%s\n", BoardJson(report).c_str());
    if (!json) PrintBoard(report);
    return Complete(report) ? 0 : kFailed;
}

void DriverHint() {
#if defined(_WIN32)
    std::fprintf(stderr, "qmd5820: no QMD5820 board found: is the board's driver installed "
                         "(Device Manager, the QMD5820 entry) and the board seated?\n");
#else
    std::fprintf(stderr, "qmd5820: no QMD5820 board found: check that the board's driver is "
                         "loaded and the board is seated\n");
#endif
}

int List(bool json) {
    uint32_t dll = 0;
    i_QMD5820_GetDLLVersion(&dll);
    uint8_t count = 0;
    if (i_QMD5820_GetNumberOfBoards(&count) != 0) {
        std::fprintf(stderr, "qmd5820: the boards cannot be enumerated\n");
        return kFailed;
    }
    int status = 0;
    if (json) {
        std::printf("{\"library_version\": %s, \"library_version_number\": %s, \"boards\": [",
                    JsonString(QMD5820_VERSION_TEXT).c_str(), JsonString(Hex32(dll)).c_str());
        for (unsigned index = 0; index < count; ++index) {
            const BoardReport report = CollectBoard(static_cast<uint8_t>(index));
            if (!Complete(report)) status = kFailed;
            std::printf("%s%s", index ? ", " : "", BoardJson(report).c_str());
        }
        std::printf("]}\n");
    } else {
        std::printf("QMD5820 library version %s (0x%08" PRIX32 ")\n", QMD5820_VERSION_TEXT, dll);
        std::printf("%u board(s)\n", count);
        for (unsigned index = 0; index < count; ++index) {
            const BoardReport report = CollectBoard(static_cast<uint8_t>(index));
            if (!Complete(report)) status = kFailed;
            PrintBoard(report);
        }
    }
    if (count == 0) DriverHint();
    return status;
}

// --version: the tool, the library and each board's driver and firmware.
int Version() {
    uint32_t dll = 0;
    i_QMD5820_GetDLLVersion(&dll);
    std::printf("qmd5820 %s\n", QMD5820_VERSION_TEXT);
    std::printf("library %s (0x%08" PRIX32 ")\n",
                dll == QMD5820_VERSION_NUMBER ? QMD5820_VERSION_TEXT : "(another version)", dll);
    uint8_t count = 0;
    if (i_QMD5820_GetNumberOfBoards(&count) != 0) count = 0;
    for (unsigned index = 0; index < count; ++index) {
        const BoardReport r = CollectBoard(static_cast<uint8_t>(index));
        std::printf("board %u: %s, driver %s, firmware %s\n", index,
                    r.has_information ? r.identifier.c_str() : "?",
                    r.driver ? VersionText(*r.driver).c_str() : "unavailable",
                    r.firmware ? VersionText(*r.firmware).c_str() : "unavailable");
    }
    if (count == 0) DriverHint();
    return 0;
}

int Inputs(const Board& board) {
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Read8DigitalInputs(board.handle(), &port))) return kFailed;
    std::printf("inputs  7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Outputs(const Board& board, const OutputsArguments& args) {
    if (args.change) {
        const int16_t code = args.on ? i_QMD5820_Set8DigitalOutputsOn(board.handle(), args.mask)
                                     : i_QMD5820_Set8DigitalOutputsOff(board.handle(), args.mask);
        if (!board.Check(code)) return kFailed;
    }
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Get8DigitalOutputsStatus(board.handle(), &port))) return kFailed;
    std::printf("outputs 7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Timer(const Board& board, const TimerArguments& args) {
    if (args.what == "start") {
        if (!board.Check(i_QMD5820_InitAndStartTimer(board.handle(), args.base, args.count,
                                                     args.irq))) {
            return kFailed;
        }
    } else if (args.what == "stop") {
        if (!board.Check(i_QMD5820_StopTimer(board.handle()))) return kFailed;
    } else if (args.what == "trigger") {
        if (!board.Check(i_QMD5820_TriggerTimer(board.handle()))) return kFailed;
    }
    uint8_t s1 = 0, s2 = 0;
    uint16_t word = 0, value = 0;
    if (!board.Check(i_QMD5820_ReadTimerStatus(board.handle(), &s1, &s2, &word))) return kFailed;
    if (!board.Check(i_QMD5820_ReadTimerValue(board.handle(), &value))) return kFailed;
    std::printf("timer status %u %u %u, value %u\n", s1, s2, word, value);
    return 0;
}

// ---- transducer database -------------------------------------------------------------------

struct TransducerInfo {
    double range = 0.0;
    double sensitivity = 0.0;
    double frequency = 0.0;
    double primary_voltage = 0.0;
    uint8_t calibrated = 0;
};

std::optional<TransducerInfo> ReadInfo(const Board& board, uint8_t index) {
    TransducerInfo info;
    const int16_t code = i_QMD5820_TransducerDatabaseReadTransducerInfo(
        board.handle(), index, &info.range, &info.sensitivity, &info.frequency,
        &info.primary_voltage, &info.calibrated);
    if (!board.Check(code, "transducer " + std::to_string(index))) return std::nullopt;
    return info;
}

// The transducer indexes of the board's database in table order; the library's code.
int16_t TransducerIndexes(const Board& board, std::vector<uint8_t>& indexes) {
    indexes.assign(255, 0);
    uint8_t count = 0;
    const int16_t code = i_QMD5820_GetAvailableTransducerTypes(
        board.handle(), indexes.data(), static_cast<uint8_t>(indexes.size()), &count);
    indexes.resize(code == 0 ? count : 0);
    return code;
}

// False only when the board's database is readable and lacks `index`.
bool InDatabase(const Board& board, uint8_t index) {
    std::vector<uint8_t> indexes;
    if (TransducerIndexes(board, indexes) != 0) return true;
    return std::find(indexes.begin(), indexes.end(), index) != indexes.end();
}

std::string InfoJson(uint8_t index, const TransducerInfo& info) {
    return "{\"index\": " + std::to_string(index) + ", \"range_mm\": " + JsonNumber(info.range) +
           ", \"sensitivity_mV_per_V_per_mm\": " + JsonNumber(info.sensitivity) +
           ", \"frequency_Hz\": " + JsonNumber(info.frequency) +
           ", \"primary_voltage_V\": " + JsonNumber(info.primary_voltage) +
           ", \"calibrated\": " + (info.calibrated ? "true" : "false") + "}";
}

void PrintInfo(uint8_t index, const TransducerInfo& info) {
    std::printf("transducer %u\n", index);
    std::printf("  range:            %g %s\n", info.range, kUnit);
    std::printf("  sensitivity:      %g mV/V/%s\n", info.sensitivity, kUnit);
    std::printf("  frequency:        %g Hz\n", info.frequency);
    std::printf("  primary voltage:  %g V\n", info.primary_voltage);
    std::printf("  calibrated:       %s\n", info.calibrated ? "yes" : "no");
}

int DatabaseList(const Board& board, bool json) {
    std::vector<uint8_t> indexes;
    if (!board.Check(TransducerIndexes(board, indexes))) return kFailed;
    if (json) {
        // Everything is read before anything is printed: a failure prints no broken JSON.
        std::string text = "{\"board\": " + std::to_string(board.index()) + ", \"transducers\": [";
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            const std::optional<TransducerInfo> info = ReadInfo(board, indexes[i]);
            if (!info) return kFailed;
            text += (i ? ", " : "") + InfoJson(indexes[i], *info);
        }
        std::printf("%s]}\n", text.c_str());
        return 0;
    }
    std::printf("board %u: %zu transducer type(s)\n", board.index(), indexes.size());
    std::printf("index    range/mm  sens/mV/V/mm  frequency/Hz  primary volt/V  calibrated\n");
    for (const uint8_t index : indexes) {
        const std::optional<TransducerInfo> info = ReadInfo(board, index);
        if (!info) return kFailed;
        std::printf("%5u  %10g  %11g  %12g  %15g  %s\n", index, info->range, info->sensitivity,
                    info->frequency, info->primary_voltage, info->calibrated ? "yes" : "no");
    }
    return 0;
}

// ---- EEPROM backup, restore and check ---------------------------------------------------------

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

// The whole EEPROM of the board; false (with a message) when a word cannot be read.
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

// Saves the EEPROM to `file`; false (with a message) on any failure.
bool SaveBackup(const Board& board, const std::string& file) {
    BoardIdentity identity;
    EepromImage image;
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
    fs::path directory;
#if defined(_WIN32)
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        directory = fs::path(local) / "qmd5820" / "backups";
    }
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        directory = fs::path(state) / "qmd5820" / "backups";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        directory = fs::path(home) / ".local" / "state" / "qmd5820" / "backups";
    }
#endif
    std::error_code ec;
    if (directory.empty() || (fs::create_directories(directory, ec), ec)) {
        std::fprintf(stderr, "qmd5820: no directory for the EEPROM backup%s%s (give one with "
                             "--backup FILE)\n", directory.empty() ? "" : ": ",
                     directory.empty() ? "" : directory.string().c_str());
        return {};
    }
    uint32_t serial = 0;
    i_QMD5820_GetBoardSerialNumber(board.handle(), &serial);
    char stamp[32] = "undated";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", utc);
    const std::string stem = "board" + std::to_string(board.index()) + "-serial" +
                             std::to_string(serial) + "-" + stamp;
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
    if (!SaveBackup(board, file)) return kFailed;
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

// The EEPROM is saved before an add or a delete changes it; the change does not run
// without the backup.
std::optional<std::string> BackupBeforeChange(const Board& board, const std::string& given) {
    const std::string file = given.empty() ? DefaultBackupFile(board) : given;
    if (file.empty() || !SaveBackup(board, file)) {
        std::fprintf(stderr, "qmd5820: the database of board %u was not changed\n", board.index());
        return std::nullopt;
    }
    std::printf("EEPROM of board %u saved to %s (undo with 'qmd5820 db %u restore %s')\n",
                board.index(), file.c_str(), board.index(), file.c_str());
    return file;
}

void ExplainFailedChange(const Board& board, const std::string& backup) {
    std::fprintf(stderr, "qmd5820: check the database with 'qmd5820 db %u check'; if it is "
                         "damaged, restore it with 'qmd5820 db %u restore %s'\n",
                 board.index(), board.index(), backup.c_str());
}

int Database(const Board& board, const DatabaseArguments& args, bool json) {
    const DatabaseArguments* parsed = &args;
    const std::string& what = parsed->what;
    if (what == "list") return DatabaseList(board, json);
    if (what == "check") return DatabaseCheck(board);
    if (what == "backup") return DatabaseBackup(board, parsed->file);
    if (what == "restore") return DatabaseRestore(board, parsed->file, parsed->force);
    if (what == "show") {
        const std::optional<TransducerInfo> info = ReadInfo(board, parsed->index);
        if (!info) return kFailed;
        PrintInfo(parsed->index, *info);
        return 0;
    }
    const std::optional<std::string> backup = BackupBeforeChange(board, parsed->file);
    if (!backup) return kFailed;
    if (what == "delete") {
        if (!board.Check(i_QMD5820_TransducerDatabaseDelete(board.handle(), parsed->index))) {
            ExplainFailedChange(board, *backup);
            return kFailed;
        }
        std::printf("transducer %u deleted from board %u\n", parsed->index, board.index());
        return 0;
    }
    const double* v = parsed->values;  // range, sensitivity, frequency, voltage, impedance
    if (!board.Check(i_QMD5820_TransducerDatabaseAdd(board.handle(), parsed->index, v[0], v[1],
                                                     v[2], v[3], v[4]))) {
        ExplainFailedChange(board, *backup);
        return kFailed;
    }
    // Read back what the board stored.
    const std::optional<TransducerInfo> info = ReadInfo(board, parsed->index);
    if (!info) return kFailed;
    std::printf("added to board %u: ", board.index());
    PrintInfo(parsed->index, *info);
    return 0;
}

// ---- transducer channels ------------------------------------------------------------------

// One reading of the channels: channel numbers in argument order, raw codes, metric values.
struct Readings {
    std::vector<uint8_t> channels;
    std::vector<uint16_t> raw;
    std::vector<double> metric;
};

bool InitChannels(const Board& board, const std::vector<ChannelUse>& uses) {
    for (const ChannelUse& use : uses) {
        const int16_t code = i_QMD5820_Init1TransducerChannel(board.handle(), use.channel,
                                                              use.transducer, 0.0);
        const std::string context = "channel " + std::to_string(use.channel) +
                                    ", transducer " + std::to_string(use.transducer);
        if (!board.Check(code, context)) {
            if (!InDatabase(board, use.transducer)) {
                std::fprintf(stderr,
                             "qmd5820: transducer %u is not in the database of board %u (see "
                             "'qmd5820 db %u list')\n",
                             use.transducer, board.index(), board.index());
            }
            return false;
        }
    }
    return true;
}

bool ReadChannels(const Board& board, Readings& readings) {
    const uint8_t count = static_cast<uint8_t>(readings.channels.size());
    readings.raw.assign(count, 0);
    readings.metric.assign(count, 0.0);
    return board.Check(i_QMD5820_ReadMoreTransducerChannels(
               board.handle(), count, readings.channels.data(), readings.raw.data())) &&
           board.Check(i_QMD5820_ConvertMoreRawToMetricValues(
               board.handle(), count, readings.channels.data(), readings.raw.data(),
               readings.metric.data()));
}

constexpr const char* kReadingsHeader = "channel  transducer  raw         value/mm\n";

std::string ReadingLine(const ChannelUse& use, uint16_t raw, double metric) {
    char line[96];
    std::snprintf(line, sizeof line, "%7u  %10u  0x%04X  %13.6f", use.channel, use.transducer,
                  raw, metric);
    return line;
}

Readings ReadingsFor(const std::vector<ChannelUse>& uses) {
    Readings readings;
    for (const ChannelUse& use : uses) readings.channels.push_back(use.channel);
    return readings;
}

int Read(const Board& board, const ChannelArguments& args, bool json) {
    const ChannelArguments* parsed = &args;
    if (!InitChannels(board, parsed->uses)) return kFailed;
    Readings readings = ReadingsFor(parsed->uses);
    if (!ReadChannels(board, readings)) return kFailed;
    if (json) {
        std::printf("{\"board\": %u, \"unit\": \"%s\", \"channels\": [", board.index(), kUnit);
        for (std::size_t i = 0; i < parsed->uses.size(); ++i) {
            std::printf("%s{\"channel\": %u, \"transducer\": %u, \"raw\": \"0x%04X\", "
                        "\"value\": %s}",
                        i ? ", " : "", parsed->uses[i].channel, parsed->uses[i].transducer,
                        readings.raw[i], JsonNumber(readings.metric[i]).c_str());
        }
        std::printf("]}\n");
        return 0;
    }
    std::fputs(kReadingsHeader, stdout);
    for (std::size_t i = 0; i < parsed->uses.size(); ++i) {
        std::printf("%s\n", ReadingLine(parsed->uses[i], readings.raw[i], readings.metric[i]).c_str());
    }
    return 0;
}

// Ctrl-C ends a watch between two refreshes.
// Ctrl-C (and, for acquire, SIGTERM) sets the signal's number here.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal_number) { g_interrupted = signal_number; }

// Waits `ms` milliseconds in short slices; false when interrupted meanwhile.
bool Pause(unsigned long ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (g_interrupted == 0) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now,
                                                              std::chrono::milliseconds(20)));
    }
    return false;
}

// True when standard output is a terminal that interprets cursor sequences. On Windows the
// console is asked to interpret them (virtual terminal processing, Windows 10 and later);
// an older console or a redirected output gets plain lines.
bool StdoutIsTerminal() {
#if !defined(_WIN32)
    return isatty(STDOUT_FILENO) == 1;
#else
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#endif
}

// --moving on the simulated board: each watched channel swings around the position it had
// when the watch began, by a quarter of its transducer's range, once every 10 seconds.
class Drift {
public:
#if !defined(_WIN32)
    Drift(bool on, uint8_t board, const std::vector<ChannelUse>& uses)
        : on_(on), board_(board), start_(std::chrono::steady_clock::now()) {
        if (!on_) return;
        for (const ChannelUse& use : uses) {
            qmdsim_channel_state state{};
            qmdsim_channel(board_, use.channel, &state);
            channels_.push_back({use.channel, state.position, state.range / 4.0});
        }
    }
    void Step() const {
        if (!on_) return;
        constexpr double kPeriodSeconds = 10.0;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double swing = std::sin(2.0 * 3.14159265358979323846 * seconds / kPeriodSeconds);
        for (const Channel& c : channels_) {
            qmdsim_set_position(board_, c.channel, c.centre + c.amplitude * swing);
        }
    }

private:
    struct Channel {
        uint8_t channel;
        double centre;
        double amplitude;
    };
    bool on_;
    uint8_t board_;
    std::chrono::steady_clock::time_point start_;
    std::vector<Channel> channels_;
#else
    Drift(bool, uint8_t, const std::vector<ChannelUse>&) {}
    void Step() const {}
#endif
};

int Watch(const Board& board, const ChannelArguments& args, bool moving) {
    const ChannelArguments* parsed = &args;
    if (!InitChannels(board, parsed->uses)) return kFailed;
    const Drift drift(moving, board.index(), parsed->uses);
    Readings readings = ReadingsFor(parsed->uses);
    const bool terminal = StdoutIsTerminal();
    const std::size_t lines = parsed->uses.size();

    g_interrupted = 0;
    const auto previous = std::signal(SIGINT, OnInterrupt);
    int status = 0;
    std::printf("refresh  %s", kReadingsHeader);
    for (unsigned long refresh = 1; parsed->count == 0 || refresh <= parsed->count; ++refresh) {
        drift.Step();
        if (!ReadChannels(board, readings)) {
            status = kFailed;
            break;
        }
        // On a terminal the block of lines is redrawn in place; elsewhere it is appended.
        if (terminal && refresh > 1) std::printf("\x1b[%zuA", lines);
        for (std::size_t i = 0; i < lines; ++i) {
            std::printf("%s%7lu  %s\n", terminal ? "\r\x1b[2K" : "", refresh,
                        ReadingLine(parsed->uses[i], readings.raw[i], readings.metric[i]).c_str());
        }
        // Nobody reads what cannot be written: stop.
        if (!StdoutWritten()) {
            status = kFailed;
            break;
        }
        if (refresh == parsed->count || !Pause(parsed->interval_ms)) break;
    }
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    return status;
}

// ---- sequence acquisition -------------------------------------------------------------------

constexpr uint8_t kSequenceInterrupt = 1;         // b_InterruptInfo of a sequence interrupt
constexpr std::chrono::seconds kInterruptTimeout{5};

// What the interrupt routine, on the board's interrupt thread, tells the command's thread.
struct SequenceInterrupts {
    std::mutex mutex;
    std::condition_variable arrived;
    unsigned long count = 0;       // sequence interrupts since the routine was installed
    uint32_t sequences_so_far = 0;  // the last one's first value
};

SequenceInterrupts g_sequence_interrupts;

extern "C" void OnBoardInterrupt(QMD5820_HANDLE, uint8_t info, uint32_t value1, uint32_t,
                                 uint32_t*, uint32_t) {
    if (info != kSequenceInterrupt) return;
    {
        const std::lock_guard<std::mutex> lock(g_sequence_interrupts.mutex);
        ++g_sequence_interrupts.count;
        g_sequence_interrupts.sequences_so_far = value1;
    }
    g_sequence_interrupts.arrived.notify_all();
}

// The interrupt routine of one board for the lifetime of the object.
class InterruptRoutine {
public:
    explicit InterruptRoutine(const Board& board) : board_(board) {
        {
            const std::lock_guard<std::mutex> lock(g_sequence_interrupts.mutex);
            g_sequence_interrupts.count = 0;
            g_sequence_interrupts.sequences_so_far = 0;
        }
        // Neither install nor removal records a result: the code alone tells.
        code_ = i_QMD5820_SetBoardIntRoutine(board.handle(), OnBoardInterrupt);
        if (code_ != 0) {
            std::fprintf(stderr, "qmd5820: the interrupt routine of board %u cannot be installed "
                                 "(code %d)\n", board.index(), code_);
        }
    }
    ~InterruptRoutine() { Remove(); }
    InterruptRoutine(const InterruptRoutine&) = delete;
    InterruptRoutine& operator=(const InterruptRoutine&) = delete;

    bool ok() const { return code_ == 0; }

    bool Remove() {
        if (code_ != 0) return true;
        code_ = -1;
        const int16_t code = i_QMD5820_ResetBoardIntRoutine(board_.handle());
        if (code == 0) return true;
        std::fprintf(stderr, "qmd5820: the interrupt routine of board %u cannot be removed "
                             "(code %d)\n", board_.index(), code);
        return false;
    }

private:
    const Board& board_;
    int16_t code_ = 0;
};

// A started acquisition, stopped again when the object goes out of scope.
class RunningAcquisition {
public:
    explicit RunningAcquisition(const Board& board) : board_(board) {}
    ~RunningAcquisition() {
        if (running_) i_QMD5820_StopTransducerAcquisition(board_.handle());
    }
    RunningAcquisition(const RunningAcquisition&) = delete;
    RunningAcquisition& operator=(const RunningAcquisition&) = delete;

    void Started() { running_ = true; }
    bool Stop() {
        running_ = false;
        return board_.Check(i_QMD5820_StopTransducerAcquisition(board_.handle()));
    }

private:
    const Board& board_;
    bool running_ = false;
};

// After a failed start: names what the library's text leaves open.
void ExplainStartFailure(const Board& board, const AcquireArguments& parsed, int16_t code) {
    if (code == -7) {
        std::fprintf(stderr, "qmd5820: with an odd number of channels (%zu), "
                             "--sequences-per-interrupt must be even\n", parsed.uses.size());
    }
    if (code != -10) return;
    for (const ChannelUse& use : parsed.uses) {
        if (!InDatabase(board, use.transducer)) {
            std::fprintf(stderr,
                         "qmd5820: transducer %u is not in the database of board %u (see "
                         "'qmd5820 db %u list')\n",
                         use.transducer, board.index(), board.index());
        }
    }
}

// Reads what the board's stream holds, up to `room` bytes, appending to `data`; false after
// a failed read (its text is printed).
bool ReadWaiting(const Board& board, std::vector<uint8_t>& data, std::size_t room) {
    std::size_t got = data.size();
    data.resize(got + room);
    while (got < data.size()) {
        const int32_t n = l_QMD5820_ReadSequenceData(
            board.handle(), static_cast<uint32_t>(data.size() - got), data.data() + got);
        if (n < 0) {
            data.resize(got);
            return board.Check(static_cast<int16_t>(n));
        }
        if (n == 0) break;  // nothing more waiting yet
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    return true;
}

// SIGINT and SIGTERM handled by OnInterrupt for the lifetime of the object.
class InterruptSignals {
public:
    InterruptSignals() {
        g_interrupted = 0;
        int_ = std::signal(SIGINT, OnInterrupt);
        // A run started with Ctrl-C ignored (in the background, under nohup) keeps ignoring it.
        if (int_ == SIG_IGN) std::signal(SIGINT, SIG_IGN);
        term_ = std::signal(SIGTERM, OnInterrupt);
    }
    ~InterruptSignals() {
        std::signal(SIGINT, int_ == SIG_ERR ? SIG_DFL : int_);
        std::signal(SIGTERM, term_ == SIG_ERR ? SIG_DFL : term_);
    }
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

private:
    void (*int_)(int) = SIG_DFL;
    void (*term_)(int) = SIG_DFL;
};

bool StderrIsTerminal() {
#if !defined(_WIN32)
    return isatty(STDERR_FILENO) == 1;
#else
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || err == nullptr || !GetConsoleMode(err, &mode)) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#endif
}

// Writes the rows of an acquisition as the data arrive: complete sequences are converted
// and written at once, and the file is flushed after every batch.
class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    Recorder(const Board& board, const AcquireArguments& args, std::FILE* out)
        : board_(board), size_(args.uses.size()), out_(out), start_(Clock::now()) {
        for (const ChannelUse& use : args.uses) channels_.push_back(use.channel);
        raw_.resize(size_);
        metric_.resize(size_);
    }

    bool WriteHeader() {
        const std::string header = CsvHeader(channels_, kUnit);
        return Put(header);
    }

    // Writes the complete sequences in `data` (and keeps an incomplete rest for the next
    // call); the arrival times of this batch and the one before spread evenly over its rows.
    bool Write(std::vector<uint8_t>& data) {
        const std::size_t sequence_bytes = size_ * 2;
        const std::size_t sequences = data.size() / sequence_bytes;
        if (sequences == 0) return true;
        const double now = Seconds();
        rows_.clear();
        for (std::size_t s = 0; s < sequences; ++s) {
            // Codes: 16 bits little-endian, one per channel, in channel-list order.
            const uint8_t* codes = data.data() + s * sequence_bytes;
            for (std::size_t i = 0; i < size_; ++i) {
                raw_[i] = static_cast<uint16_t>(codes[2 * i] | (codes[2 * i + 1] << 8));
            }
            if (!board_.Check(i_QMD5820_ConvertMoreRawToMetricValues(
                    board_.handle(), static_cast<uint8_t>(size_), channels_.data(), raw_.data(),
                    metric_.data()))) {
                return false;
            }
            const double seconds =
                last_ + (now - last_) * static_cast<double>(s + 1) / static_cast<double>(sequences);
            AppendCsvRow(rows_, ++written_, seconds, metric_.data(), size_);
        }
        last_ = now;
        data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(sequences * sequence_bytes));
        return Put(rows_);
    }

    uint64_t written() const { return written_; }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    bool Put(const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
            std::fprintf(stderr, "qmd5820: %s cannot be written: %s\n",
                         out_ == stdout ? "standard output" : "the CSV file", std::strerror(errno));
            return false;
        }
        return true;
    }

    const Board& board_;
    std::size_t size_;
    std::FILE* out_;
    Clock::time_point start_;
    std::vector<uint8_t> channels_;
    std::vector<uint16_t> raw_;
    std::vector<double> metric_;
    std::string rows_;
    double last_ = 0.0;
    uint64_t written_ = 0;
};

// The progress line on stderr (only when stderr is a terminal), at most 5 times a second.
class Progress {
public:
    Progress() : on_(StderrIsTerminal()) {}
    void Show(uint64_t sequences, double seconds, uint64_t dropped, bool last = false) {
        if (!on_ || (!last && seconds - shown_ < 0.2)) return;
        shown_ = seconds;
        std::fprintf(stderr, "\r\x1b[2K%" PRIu64 " sequences, %.0f sequences/s, %.1f s, %" PRIu64
                             " dropped",
                     sequences, seconds > 0 ? static_cast<double>(sequences) / seconds : 0.0,
                     seconds, dropped);
        if (last) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    bool on_;
    double shown_ = -1.0;
};

int Acquire(const Board& board, const AcquireArguments& args, bool moving) {
    const AcquireArguments* parsed = &args;
    const std::size_t size = parsed->uses.size();
    const std::size_t bytes_per_interrupt = parsed->sequences_per_interrupt * size * 2;
    const bool unlimited = parsed->interrupts == 0;
    const uint64_t sequences = static_cast<uint64_t>(parsed->interrupts) * parsed->sequences_per_interrupt;
    const std::string target = parsed->csv.empty() ? "-" : parsed->csv;

    // The output first: a file that cannot be written costs no acquisition. The CSV goes to
    // a temporary file beside the target, renamed into place at the end; a run that fails
    // leaves the target as it was.
    OutputFile output;
    std::string error;
    if (!output.Open(target, error)) {
        std::fprintf(stderr, "qmd5820: %s\n", error.c_str());
        return kFailed;
    }

    // The board takes 16 entries in each list whatever the count.
    uint8_t channels[16] = {};
    uint8_t indexes[16] = {};
    for (std::size_t i = 0; i < size; ++i) {
        channels[i] = parsed->uses[i].channel;
        indexes[i] = parsed->uses[i].transducer;
    }

    // Ctrl-C or SIGTERM ends the run early; what was received is kept.
    const InterruptSignals signals;
    Recorder recorder(board, *parsed, output.stream());
    Progress progress;
    std::optional<Drift> drift;  // once the start has set the channels' ranges
    std::vector<uint8_t> data;
    uint64_t announced = 0;  // sequences the board's interrupts announced
    {
        InterruptRoutine routine(board);
        if (!routine.ok()) return kFailed;
        RunningAcquisition acquisition(board);
        const uint8_t soft_mode = parsed->soft_trigger ? 1 : 0;
        const int16_t start = i_QMD5820_InitAndStartTransducerSequence(
            board.handle(), static_cast<uint16_t>(parsed->sequences_per_interrupt), 0,
            static_cast<uint8_t>(size), channels, indexes, 0, soft_mode, 0, 0);
        if (!board.Check(start)) {
            ExplainStartFailure(board, *parsed, start);
            return kFailed;
        }
        acquisition.Started();
        drift.emplace(moving, board.index(), parsed->uses);
        if (!recorder.WriteHeader()) return kFailed;
        if (parsed->soft_trigger &&
            !board.Check(i_QMD5820_TriggerTransducerAcquisition(board.handle()))) {
            return kFailed;
        }

        // Collect and write the data of every interrupt as it comes, so the board's buffer
        // never fills; a board silent for too long ends the run.
        using Clock = std::chrono::steady_clock;
        unsigned long seen = 0;
        while ((unlimited || seen < parsed->interrupts) && g_interrupted == 0) {
            {
                const Clock::time_point deadline = Clock::now() + kInterruptTimeout;
                std::unique_lock<std::mutex> lock(g_sequence_interrupts.mutex);
                while (g_sequence_interrupts.count <= seen && g_interrupted == 0) {
                    if (Clock::now() >= deadline) {
                        std::fprintf(stderr,
                                     "qmd5820: no sequence interrupt from board %u for %lld s "
                                     "(%lu%s received)\n",
                                     board.index(),
                                     static_cast<long long>(kInterruptTimeout.count()), seen,
                                     unlimited ? "" : (" of " + std::to_string(parsed->interrupts)).c_str());
                        return kFailed;
                    }
                    lock.unlock();
                    drift->Step();
                    lock.lock();
                    g_sequence_interrupts.arrived.wait_for(lock, std::chrono::milliseconds(50));
                }
                seen = unlimited ? g_sequence_interrupts.count
                                 : std::min(g_sequence_interrupts.count, parsed->interrupts);
            }
            announced = static_cast<uint64_t>(seen) * parsed->sequences_per_interrupt;
            const uint64_t due = announced * size * 2;
            const uint64_t have = (recorder.written() * size * 2) + data.size();
            if (due > have && !ReadWaiting(board, data, static_cast<std::size_t>(due - have))) {
                return kFailed;
            }
            if (!recorder.Write(data)) return kFailed;
            progress.Show(recorder.written(), recorder.Seconds(),
                          announced > recorder.written() ? announced - recorder.written() : 0);
        }
        // Whatever the last interrupt announced and was not waiting yet.
        const Clock::time_point deadline = Clock::now() + kInterruptTimeout;
        while (!unlimited && recorder.written() < sequences && g_interrupted == 0) {
            if (Clock::now() >= deadline) {
                std::fprintf(stderr, "qmd5820: board %u delivered %" PRIu64 " of %" PRIu64
                                     " sequences\n", board.index(), recorder.written(), sequences);
                return kFailed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const uint64_t left = (sequences - recorder.written()) * size * 2 - data.size();
            if (!ReadWaiting(board, data, static_cast<std::size_t>(left))) return kFailed;
            if (!recorder.Write(data)) return kFailed;
        }
        if (!acquisition.Stop()) return kFailed;
        if (!routine.Remove()) return kFailed;
        // Interrupted: the stopped board's stream still holds what it acquired.
        // Everything it holds, however far behind the run was (a limited run: no more than
        // was asked for).
        while (g_interrupted != 0) {
            uint64_t room = std::max<uint64_t>(bytes_per_interrupt, 1u << 20);
            if (!unlimited) {
                const uint64_t wanted = sequences * size * 2;
                const uint64_t have = recorder.written() * size * 2 + data.size();
                room = std::min(room, wanted > have ? wanted - have : 0);
            }
            const std::size_t before = data.size();
            if (room == 0) break;
            if (!ReadWaiting(board, data, static_cast<std::size_t>(room))) return kFailed;
            const bool more = data.size() > before;
            if (!recorder.Write(data)) return kFailed;
            if (!more) break;
        }
    }
    const int interrupted = g_interrupted;
    const uint64_t written = recorder.written();
    progress.Show(written, recorder.Seconds(), announced > written ? announced - written : 0, true);
    const bool to_stdout = output.is_stdout();
    if (!output.Commit(error)) {
        std::fprintf(stderr, "qmd5820: %s\n", error.c_str());
        return kFailed;
    }
    const char* where = to_stdout ? "standard output" : target.c_str();
    if (interrupted != 0) {
        if (unlimited) {
            std::fprintf(stderr, "qmd5820: interrupted: %" PRIu64 " sequences written to %s\n",
                         written, where);
        } else {
            std::fprintf(stderr, "qmd5820: interrupted: %" PRIu64 " of %" PRIu64
                                 " sequences written to %s\n", written, sequences, where);
        }
        return 128 + interrupted;
    }
    if (!to_stdout) {
        std::printf("board %u: %" PRIu64 " sequences of %zu channel(s) written to %s\n",
                    board.index(), written, size, target.c_str());
    }
    return 0;
}

// ---- primary line -----------------------------------------------------------------------------

constexpr uint8_t kLineDetectionResponds = 0x01;
constexpr uint8_t kLineShortCircuit = 0x02;

// The actions were checked by the parser before the first one runs.
int Line(const Board& board, const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& action = args[i];
        if (action == "test") {
            uint8_t status = 0;
            if (!board.Check(i_QMD5820_TestPrimaryLine(board.handle(), &status))) return kFailed;
            std::printf("primary line status 0x%02X\n", status);
            if ((status & kLineShortCircuit) != 0) {
                std::printf("  short circuit:  latched (clear it with 'qmd5820 line %u rearm')\n",
                            board.index());
            } else {
                std::printf("  short circuit:  none\n");
            }
            std::printf("  line test:      detection %s\n",
                        (status & kLineDetectionResponds) != 0 ? "responds" : "does not respond");
        } else if (action == "rearm") {
            if (!board.Check(i_QMD5820_RearmPrimaryLine(board.handle()))) return kFailed;
            std::printf("primary line rearmed\n");
        } else if (action == "calibrate") {
            if (!board.Check(i_QMD5820_CalibratePrimaryLineTest(board.handle()))) return kFailed;
            std::printf("primary line test calibrated (threshold potentiometer adjusted)\n");
        } else {
            const bool on = args[++i] == "on";
            if (!board.Check(i_QMD5820_EnableDisableShortCircuitInterrupts(board.handle(),
                                                                           on ? 1 : 0))) {
                return kFailed;
            }
            std::printf("short-circuit interrupts %s\n", on ? "enabled" : "disabled");
        }
    }
    return 0;
}

// ---- calibration ------------------------------------------------------------------------------

int Calibrate(const Board& board, const std::vector<std::string>& args) {
    const int status = qmd5820cli::Calibrate(board.handle(), board.index(), args);
    if (status == kBadArguments) {
        std::fprintf(stderr, "qmd5820: calibrate: the arguments are not valid\nusage:\n%s",
                     qmd5820cli::kCalibrateUsage);
    }
    return status;
}

// ---- options for the simulated board ------------------------------------------------------

#if !defined(_WIN32)
constexpr bool kSimulated = true;

// Applies a setting given before the command; false (with a message) for a board that the
// simulation does not have.
bool ApplySetting(const SimulatedSetting& setting) {
    static constexpr const char* kOptions[] = {"--position", "--short-circuit",
                                               "--sequence-period", "--virtual-clock",
                                               "--frozen-counter"};
    if (setting.board >= qmdsim_board_count()) {
        std::fprintf(stderr, "qmd5820: %s: there is no simulated board %u\n",
                     kOptions[setting.kind], setting.board);
        return false;
    }
    switch (setting.kind) {
        case SimulatedSetting::kPosition:
            qmdsim_set_position(setting.board, setting.channel, setting.position);
            break;
        case SimulatedSetting::kShortCircuit:
            qmdsim_inject_short_circuit(setting.board, 0);
            break;
        case SimulatedSetting::kSequencePeriod:
            qmdsim_set_sequence_period_us(setting.board, setting.period_us);
            break;
        case SimulatedSetting::kVirtualClock:
            qmdsim_set_virtual_clock(1);
            break;
        case SimulatedSetting::kFrozenCounter: {
            // Calibration: the board's live values are never refreshed.
            qmdsim_frontend_params params{};
            qmdsim_frontend_params_get(setting.board, &params);
            params.conversions_per_second = 0.0;
            qmdsim_frontend_params_set(setting.board, &params);
            break;
        }
    }
    return true;
}
// sim reset | sim show: the simulated boards' state file.
int Simulation(const std::string& what) {
    const int32_t attached = qmdsim_state_attach(nullptr);
    if (attached == 1) {
        std::printf("no state file is kept (QMD5820_SIM_STATE is empty or \"off\"): every run "
                    "starts from the factory state\n");
        return 0;
    }
    if (attached != 0) return kFailed;  // the simulator said why
    char path[4096] = {};
    qmdsim_state_path(path, sizeof path);
    if (what == "reset") {
        if (qmdsim_state_reset() != 0) {
            std::fprintf(stderr, "qmd5820: the state file %s cannot be removed\n", path);
            return kFailed;
        }
        std::printf("simulated boards back to the factory state (%s removed)\n", path);
        return 0;
    }
    const int32_t length = qmdsim_state_describe(nullptr, 0);
    if (length < 0) {
        std::fprintf(stderr, "qmd5820: no state file attached\n");
        return kFailed;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    qmdsim_state_describe(text.data(), static_cast<uint32_t>(text.size()));
    text.resize(static_cast<std::size_t>(length));
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    return 0;
}
#else
constexpr bool kSimulated = false;

bool ApplySetting(const SimulatedSetting&) { return false; }
int Simulation(const std::string&) { return kBadArguments; }
#endif

std::string FullUsage() {
    std::string text(std::strlen(kUsage) + std::strlen(qmd5820cli::kCalibrateUsage), '\0');
    const int n = std::snprintf(text.data(), text.size() + 1, kUsage, qmd5820cli::kCalibrateUsage);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

int Run(const std::vector<std::string>& all) {
    const CommandLine line = ParseCommandLine(all, kSimulated, FullUsage());
    switch (line.kind) {
        case CommandLine::kHelp:
            std::fputs(line.text.c_str(), stdout);
            return 0;
        case CommandLine::kError:
            std::fputs(line.text.c_str(), stderr);
            return kBadArguments;
        case CommandLine::kVersion:
            return Version();
        case CommandLine::kRun:
            break;
    }
#if !defined(_WIN32)
    if (line.options.trace) qmd5820_set_trace(stderr);
#endif
    for (const SimulatedSetting& setting : line.options.settings) {
        if (!ApplySetting(setting)) {
            std::fputs("usage: qmd5820 [options] [command] [arguments]\n", stderr);
            return kBadArguments;
        }
    }
    if (line.command == "list") return List(line.json);
    if (line.command == "info") return ShowBoard(line.board, line.json);
    if (line.command == "sim") return Simulation(line.actions.front());

    Board board(line.board);
    if (!board.ok()) return kFailed;
    if (line.command == "inputs") return Inputs(board);
    if (line.command == "outputs") return Outputs(board, line.outputs);
    if (line.command == "timer") return Timer(board, line.timer);
    if (line.command == "db") return Database(board, line.database, line.json);
    if (line.command == "read") return Read(board, line.channels, line.json);
    if (line.command == "acquire") return Acquire(board, line.acquire, line.options.moving);
    if (line.command == "line") return Line(board, line.actions);
    if (line.command == "calibrate") return Calibrate(board, line.actions);
    return Watch(board, line.channels, line.options.moving);
}

}  // namespace

int main(int argc, char** argv) {
    const int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    // Whatever the command printed must have reached standard output.
    if (status == 0 && !StdoutWritten()) return kFailed;
    return status;
}
