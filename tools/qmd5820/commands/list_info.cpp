// list, info and --version (see list_info.h).
#include "commands/list_info.h"

#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "QMD5820.h"
#include "common/board.h"
#include "common/json.h"
#include "qmd5820_version.h"

namespace qmdtool {
namespace {

std::string VersionText(uint32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u (0x%08" PRIX32 ")", v >> 16, v & 0xFFFFu, v);
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
        std::printf("  board value %zu:    %s\n", i + 1, Hex(r.values[i]).c_str());
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

Json BoardJson(const BoardReport& r) {
    const auto optional = [](const std::optional<uint32_t>& value, bool hex) {
        return !value ? Json(nullptr) : hex ? Json(Hex(*value)) : Json(*value);
    };
    Json values = Json::array();
    for (const uint32_t value : r.values) values.push_back(Hex(value));
    Json json;
    json["index"] = r.index;
    json["identifier"] = r.has_information ? Json(r.identifier) : Json(nullptr);
    json["board_values"] = values;
    json["board_value_8"] = Hex(r.value8, 2);
    json["hardware_revision"] =
        r.opened && r.revision != '?' ? Json(std::string(1, r.revision)) : Json(nullptr);
    json["serial_number"] = optional(r.serial, false);
    json["driver_version"] = optional(r.driver, true);
    json["firmware_version"] = optional(r.firmware, true);
    return json;
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

}  // namespace

void ListCommand::Declare(CLI::App& command) { command.add_flag("--json", json_, "JSON output"); }

int ListCommand::Run(const Invocation&) const {
    uint32_t dll = 0;
    i_QMD5820_GetDLLVersion(&dll);
    uint8_t count = 0;
    if (i_QMD5820_GetNumberOfBoards(&count) != 0) {
        std::fprintf(stderr, "qmd5820: the boards cannot be enumerated\n");
        return kFailed;
    }
    int status = 0;
    if (json_) {
        Json boards = Json::array();
        for (unsigned index = 0; index < count; ++index) {
            const BoardReport report = CollectBoard(static_cast<uint8_t>(index));
            if (!Complete(report)) status = kFailed;
            boards.push_back(BoardJson(report));
        }
        Json json;
        json["library_version"] = QMD5820_VERSION_TEXT;
        json["library_version_number"] = Hex(dll);
        json["boards"] = boards;
        PrintJson(json);
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

void InfoCommand::Declare(CLI::App& command) { command.add_flag("--json", json_, "JSON output"); }

int InfoCommand::Run(const Invocation& invocation) const {
    const BoardReport report = CollectBoard(invocation.board_index);
    if (json_ && report.has_information) PrintJson(BoardJson(report));
    if (!json_) PrintBoard(report);
    return Complete(report) ? 0 : kFailed;
}

int PrintVersions() {
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

}  // namespace qmdtool
