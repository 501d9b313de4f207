// db (see db.h): the subcommands on the database; the whole EEPROM is db_eeprom.cpp.
#include "commands/db.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "QMD5820.h"
#include "commands/db_change.h"
#include "commands/db_eeprom.h"
#include "common/arguments.h"
#include "common/board.h"
#include "common/file_lock.h"
#include "common/json.h"
#include "qmd5820_texts.h"

namespace qmdtool {
namespace {

// The metric unit of the transducers' positions.
constexpr const char* kUnit = "mm";

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

// A number for JSON: null when not finite (JSON has no NaN or infinity).
Json Number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json InfoJson(uint8_t index, const TransducerInfo& info) {
    Json json;
    json["index"] = index;
    json["range_mm"] = Number(info.range);
    json["sensitivity_mV_per_V_per_mm"] = Number(info.sensitivity);
    json["frequency_Hz"] = Number(info.frequency);
    json["primary_voltage_V"] = Number(info.primary_voltage);
    json["calibrated"] = info.calibrated != 0;
    return json;
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
        Json transducers = Json::array();
        for (const uint8_t index : indexes) {
            const std::optional<TransducerInfo> info = ReadInfo(board, index);
            if (!info) return kFailed;
            transducers.push_back(InfoJson(index, *info));
        }
        Json list;
        list["board"] = board.index();
        list["transducers"] = transducers;
        PrintJson(list);
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

// db add and delete (db_change.cpp); an added type is read back as the board stored it.
int Change(const Board& board, const DatabaseArguments& args) {
    if (const int status = DatabaseChange(board, args); status != 0) return status;
    if (args.what != "add") return 0;
    const std::optional<TransducerInfo> info = ReadInfo(board, args.index);
    if (!info) return kFailed;
    std::printf("added to board %u: ", board.index());
    PrintInfo(args.index, *info);
    return 0;
}

}  // namespace

void DbCommand::Declare(CLI::App& command) {
    command.require_subcommand(1, 1);
    const auto index = [this](CLI::App* sub) {
        sub->add_option("INDEX", texts_.index, "transducer index")
            ->required()
            ->type_name("")
            ->check(Unsigned(0, 255, "a transducer index"));
    };
    CLI::App* list = command.add_subcommand("list", "transducer types in the database");
    list->add_flag("--json", texts_.json, "JSON output");
    index(command.add_subcommand("show", "one transducer type"));
    CLI::App* add = command.add_subcommand("add", "add a transducer type (EEPROM saved first)");
    index(add);
    static const char* const kValueNames[5] = {"RANGE", "SENSITIVITY", "FREQUENCY", "VOLTAGE",
                                               "IMPEDANCE"};
    static const char* const kValueHelp[5] = {"range, metric units", "sensitivity, mV/V per unit",
                                              "primary frequency, Hz", "primary voltage, V",
                                              "impedance, ohm"};
    for (std::size_t i = 0; i < 5; ++i) {
        add->add_option(kValueNames[i], texts_.values[i], kValueHelp[i])
            ->required()
            ->type_name("")
            ->check(Real());
    }
    CLI::App* remove = command.add_subcommand("delete", "delete a transducer type (EEPROM saved first)");
    index(remove);
    for (CLI::App* change : {add, remove}) {
        change->add_option("--backup", texts_.backup, "save the EEPROM to FILE first")
            ->type_name("FILE")
            ->check(NotEmpty())
            ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
    CLI::App* backup = command.add_subcommand("backup", "save the board's whole EEPROM to FILE");
    backup->add_option("FILE", texts_.file, "backup file")->required()->type_name("")->check(NotEmpty());
    CLI::App* restore = command.add_subcommand(
        "restore", "write a backup back (only words that differ) and verify");
    restore->add_option("FILE", texts_.file, "backup file")->required()->type_name("")->check(NotEmpty());
    restore->add_flag("--force", texts_.force,
                      "also a backup saved from another board, or one whose database is "
                      "inconsistent")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command.add_subcommand("check", "check the transducer database in the EEPROM");
}

std::string DbCommand::Finish(const CLI::App& command) {
    DatabaseArguments& d = arguments_;
    d = {};
    d.what = command.get_subcommands().front()->get_name();
    if (!texts_.index.empty()) d.index = *ParseByte(texts_.index);
    d.file = (d.what == "add" || d.what == "delete") ? texts_.backup : texts_.file;
    d.force = texts_.force;
    d.json = texts_.json && d.what == "list";
    if (d.what == "add") {
        for (std::size_t i = 0; i < 5; ++i) d.values[i] = *ParseReal(texts_.values[i]);
        // What a record cannot hold, or the settings computation cannot use, is refused
        // before the board is touched (the library's own add has no code for it).
        char problem[QMD5820_PROBLEM_TEXT_SIZE];
        if (qmd5820_transducer_data_problem(d.values[0], d.values[1], d.values[2], d.values[3],
                                            d.values[4], problem, sizeof problem) != 0) {
            return problem;
        }
    }
    return {};
}

int DbCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const DatabaseArguments& args = arguments_;
    if (args.what == "list") return DatabaseList(board, args.json);
    if (args.what == "check") return DatabaseCheck(board);
    if (args.what == "backup") return DatabaseBackup(board, args.file);
    if (args.what == "restore") {
        FileLock lock;
        if (!LockDatabase(board, lock)) return kFailed;
        const int status = DatabaseRestore(board, args.file, args.force);
        return SaveDatabaseChange(board) ? status : kFailed;
    }
    if (args.what == "show") {
        const std::optional<TransducerInfo> info = ReadInfo(board, args.index);
        if (!info) return kFailed;
        PrintInfo(args.index, *info);
        return 0;
    }
    return Change(board, args);
}

}  // namespace qmdtool
