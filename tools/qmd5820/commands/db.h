// db: the transducer database in the board's EEPROM (list, show, add, delete, check) and the
// whole EEPROM (backup, restore).
#ifndef QMD5820_TOOL_COMMANDS_DB_H
#define QMD5820_TOOL_COMMANDS_DB_H

#include <cstdint>

#include "command.h"

namespace qmdtool {

// db BOARD list [--json] | show INDEX | delete INDEX [--backup FILE] |
// add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE [--backup FILE] |
// backup FILE | restore FILE [--force] | check
struct DatabaseArguments {
    std::string what;
    uint8_t index = 0;
    double values[5] = {};  // add: range, sensitivity, frequency, primary voltage, impedance
    std::string file;       // backup, restore: the file; add, delete: --backup (may be empty)
    bool force = false;     // restore: also onto another board
    bool json = false;      // list
};

class DbCommand final : public Command {
public:
    void Declare(CLI::App& command) override;
    void Reset() override { texts_ = {}; }
    std::string Finish(const CLI::App& command) override;
    int Run(const Invocation& invocation) const override;
    const DatabaseArguments& arguments() const { return arguments_; }

private:
    struct {
        std::string index, file, backup;
        std::string values[5];  // bound one by one: an array keeps their addresses
        bool force = false;
        bool json = false;
    } texts_;
    DatabaseArguments arguments_;
};

}  // namespace qmdtool

#endif
