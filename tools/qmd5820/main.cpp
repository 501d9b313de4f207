// qmd5820 - command-line tool for QMD5820 boards: list the boards with their identity and
// versions, read and switch digital I/O, run the timer.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QMD5820.h"

namespace {

constexpr const char* kUsage =
    "usage: qmd5820 [command] [arguments]\n"
    "  list                         boards with identity and versions (default)\n"
    "  info BOARD                   identity and versions of one board\n"
    "  inputs BOARD                 read the 8 digital inputs\n"
    "  outputs BOARD [on|off MASK]  read, or switch the outputs selected by MASK\n"
    "  timer BOARD start BASE COUNT [IRQ] | stop | trigger | status\n"
    "BOARD is a board index (0, 1, ...); MASK and COUNT accept 0x prefixes.\n";

bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    value = std::strtoul(text, &end, 0);
    return *end == '\0' && value <= max;
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
    QMD5820_HANDLE handle() const { return handle_; }

    // Prints the library's last-error text when `code` is a failure; true on success.
    bool Check(int16_t code) const {
        if (code == 0) return true;
        std::fprintf(stderr, "qmd5820: %s\n", pc_QMD5820_GetLastError(handle_));
        return false;
    }

private:
    uint8_t index_;
    QMD5820_HANDLE handle_ = 0;
    int16_t code_ = 0;
};

std::string VersionText(uint32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u (0x%08" PRIX32 ")", v >> 16, v & 0xFFFFu, v);
    return text;
}

int ShowBoard(uint8_t index) {
    char identifier[64] = {};
    uint32_t values[7] = {};
    uint8_t value8 = 0;
    const int16_t info = i_QMD5820_GetBoardInformation(index, sizeof identifier, identifier,
                                                       &values[0], &values[1], &values[2],
                                                       &values[3], &values[4], &values[5],
                                                       &values[6], &value8);
    if (info != 0) {
        std::fprintf(stderr, "qmd5820: board %u: board information unavailable (code %d)\n",
                     index, info);
        return 1;
    }
    std::printf("board %u: %s\n", index, identifier);
    std::printf("  board values:     %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32
                " %" PRIu32 " %" PRIu32 " %u\n",
                values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                value8);
    Board board(index);
    if (!board.ok()) return 1;
    char revision = '?';
    uint32_t serial = 0, driver = 0, firmware = 0;
    if (i_QMD5820_GetBoardHardwareRevision(board.handle(), &revision) != 0) revision = '?';
    const bool has_serial = i_QMD5820_GetBoardSerialNumber(board.handle(), &serial) == 0;
    const bool has_driver = i_QMD5820_GetDeviceDriverVersion(board.handle(), &driver) == 0;
    const bool has_firmware = i_QMD5820_GetFirmwareVersion(board.handle(), &firmware) == 0;
    std::printf("  hardware revision: %c\n", revision);
    if (has_serial) {
        std::printf("  serial number:    %" PRIu32 "\n", serial);
    } else {
        std::printf("  serial number:    unavailable\n");
    }
    std::printf("  driver version:   %s\n", has_driver ? VersionText(driver).c_str() : "unavailable");
    std::printf("  firmware version: %s\n", has_firmware ? VersionText(firmware).c_str() : "unavailable");
    return 0;
}

int List() {
    uint32_t dll = 0;
    i_QMD5820_GetDLLVersion(&dll);
    std::printf("QMD5820 library version 0x%08" PRIX32 "\n", dll);
    uint8_t count = 0;
    if (i_QMD5820_GetNumberOfBoards(&count) != 0) {
        std::fprintf(stderr, "qmd5820: the boards cannot be enumerated\n");
        return 1;
    }
    std::printf("%u board(s)\n", count);
    int status = 0;
    for (unsigned index = 0; index < count; ++index) {
        status |= ShowBoard(static_cast<uint8_t>(index));
    }
    return status;
}

int Inputs(const Board& board) {
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Read8DigitalInputs(board.handle(), &port))) return 1;
    std::printf("inputs  7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Outputs(const Board& board, const std::vector<std::string>& args) {
    if (args.size() == 2) {
        unsigned long mask = 0;
        if (!ParseNumber(args[1].c_str(), 0xFF, mask) || (args[0] != "on" && args[0] != "off")) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const uint8_t m = static_cast<uint8_t>(mask);
        const int16_t code = args[0] == "on" ? i_QMD5820_Set8DigitalOutputsOn(board.handle(), m)
                                             : i_QMD5820_Set8DigitalOutputsOff(board.handle(), m);
        if (!board.Check(code)) return 1;
    } else if (!args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Get8DigitalOutputsStatus(board.handle(), &port))) return 1;
    std::printf("outputs 7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Timer(const Board& board, const std::vector<std::string>& args) {
    const std::string what = args.empty() ? "status" : args[0];
    if (what == "start") {
        unsigned long base = 0, count = 0, irq = 0;
        if (args.size() < 3 || !ParseNumber(args[1].c_str(), 0xFF, base) ||
            !ParseNumber(args[2].c_str(), 0xFFFF, count) ||
            (args.size() > 3 && !ParseNumber(args[3].c_str(), 0xFF, irq))) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (!board.Check(i_QMD5820_InitAndStartTimer(board.handle(), static_cast<uint8_t>(base),
                                                     static_cast<uint16_t>(count),
                                                     static_cast<uint8_t>(irq)))) {
            return 1;
        }
    } else if (what == "stop") {
        if (!board.Check(i_QMD5820_StopTimer(board.handle()))) return 1;
    } else if (what == "trigger") {
        if (!board.Check(i_QMD5820_TriggerTimer(board.handle()))) return 1;
    } else if (what != "status") {
        std::fputs(kUsage, stderr);
        return 2;
    }
    uint8_t s1 = 0, s2 = 0;
    uint16_t word = 0, value = 0;
    if (!board.Check(i_QMD5820_ReadTimerStatus(board.handle(), &s1, &s2, &word))) return 1;
    if (!board.Check(i_QMD5820_ReadTimerValue(board.handle(), &value))) return 1;
    std::printf("timer status %u %u %u, value %u\n", s1, s2, word, value);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "list") return List();
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    unsigned long index = 0;
    if (args.size() < 2 || !ParseNumber(args[1].c_str(), 255, index)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    if (args[0] == "info") return ShowBoard(static_cast<uint8_t>(index));
    Board board(static_cast<uint8_t>(index));
    if (!board.ok()) return 1;
    if (args[0] == "inputs") return Inputs(board);
    if (args[0] == "outputs") return Outputs(board, rest);
    if (args[0] == "timer") return Timer(board, rest);
    std::fputs(kUsage, stderr);
    return 2;
}
