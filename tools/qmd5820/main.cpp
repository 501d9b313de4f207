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
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "calibrate.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "qmd5820sim.h"
#endif

namespace {

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

constexpr const char* kUsage =
    "usage: qmd5820 [options] [command] [arguments]\n"
    "  list                         boards with identity and versions (default)\n"
    "  info BOARD                   identity and versions of one board\n"
    "  inputs BOARD                 read the 8 digital inputs\n"
    "  outputs BOARD [on|off MASK]  read, or switch the outputs selected by MASK\n"
    "  timer BOARD start BASE COUNT [IRQ] | stop | trigger | status\n"
    "  db BOARD list                transducer types in the board's database\n"
    "  db BOARD show INDEX          one transducer type\n"
    "  db BOARD add INDEX RANGE SENSITIVITY FREQUENCY VOLTAGE IMPEDANCE\n"
    "                               add a transducer type (FREQUENCY in Hz)\n"
    "  db BOARD delete INDEX        delete a transducer type\n"
    "  read BOARD CH:INDEX...       initialise each channel CH with transducer type INDEX,\n"
    "                               read them and print raw codes and metric values\n"
    "  watch BOARD CH:INDEX... [--interval MS] [--count N]\n"
    "                               the same, refreshed every MS milliseconds (default 500),\n"
    "                               N times (default: until Ctrl-C)\n"
    "  acquire BOARD CH:INDEX... [--sequences-per-interrupt N] [--interrupts M]\n"
    "          [--csv FILE] [--trigger soft|none]\n"
    "                               sequence acquisition of the channels until M sequence\n"
    "                               interrupts (default 3) came, one every N sequences\n"
    "                               (default 10; channels x N must be even); writes CSV of\n"
    "                               the metric values, one line per sequence, to FILE or\n"
    "                               stdout. --trigger soft starts on a software trigger,\n"
    "                               none (default) at once\n"
    "  line BOARD ACTION...         primary line, actions in order: test (status byte),\n"
    "                               rearm, calibrate (line test threshold), interrupts on|off\n"
    "                               (short-circuit interrupts)\n"
    "%s"
#if !defined(_WIN32)
    "options (simulated board), before the command:\n"
    "  --position BOARD:CH=VALUE    set the simulated transducer position of a channel, in\n"
    "                               metric units (repeatable)\n"
    "  --moving                     watch: positions drift slowly around their set values\n"
    "  --short-circuit BOARD        latch a short circuit on the board's primary line\n"
    "  --sequence-period BOARD:US   acquire: one sequence takes US microseconds (default 1000)\n"
    "  --virtual-clock              the simulated board runs on a virtual clock: its waits\n"
    "                               (calibrate, line) take no real time\n"
    "  --frozen-counter BOARD       calibrate: the board's live values are never refreshed\n"
#endif
    "BOARD is a board index (0, 1, ...), CH a channel 0 to 15, INDEX a transducer index as\n"
    "listed by 'db BOARD list'. Integers are decimal or 0x-prefixed hexadecimal.\n"
#if !defined(_WIN32)
    "The simulated board starts from its factory EEPROM on every run: a db add or delete\n"
    "lasts only for the run that makes it.\n"
#endif
    ;

int Usage() {
    std::fprintf(stderr, kUsage, qmd5820cli::kCalibrateUsage);
    return kBadArguments;
}

// ---- strict argument parsing: the whole text must be a number within range ----------------

// A decimal or 0x-prefixed hexadecimal integer from 0 to `max`; no sign, no spaces.
std::optional<unsigned long> ParseUnsigned(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr != end || value > max) return std::nullopt;
    return value;
}

std::optional<uint8_t> ParseByte(std::string_view text, unsigned long max = 0xFF) {
    const std::optional<unsigned long> value = ParseUnsigned(text, max);
    if (!value) return std::nullopt;
    return static_cast<uint8_t>(*value);
}

// A finite decimal number ("1.25", "-7.5", "1e3").
std::optional<double> ParseReal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
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
        return kFailed;
    }
    std::printf("board %u: %s\n", index, identifier);
    std::printf("  board values:     %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32
                " %" PRIu32 " %" PRIu32 " %u\n",
                values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                value8);
    Board board(index);
    if (!board.ok()) return kFailed;
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
        return kFailed;
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
    if (!board.Check(i_QMD5820_Read8DigitalInputs(board.handle(), &port))) return kFailed;
    std::printf("inputs  7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Outputs(const Board& board, const std::vector<std::string>& args) {
    if (args.size() == 2) {
        const std::optional<uint8_t> mask = ParseByte(args[1]);
        if (!mask || (args[0] != "on" && args[0] != "off")) return Usage();
        const int16_t code = args[0] == "on" ? i_QMD5820_Set8DigitalOutputsOn(board.handle(), *mask)
                                             : i_QMD5820_Set8DigitalOutputsOff(board.handle(), *mask);
        if (!board.Check(code)) return kFailed;
    } else if (!args.empty()) {
        return Usage();
    }
    uint8_t port = 0;
    if (!board.Check(i_QMD5820_Get8DigitalOutputsStatus(board.handle(), &port))) return kFailed;
    std::printf("outputs 7..0: %s (0x%02X)\n", Bits(port).c_str(), port);
    return 0;
}

int Timer(const Board& board, const std::vector<std::string>& args) {
    const std::string what = args.empty() ? "status" : args[0];
    if (what == "start") {
        if (args.size() < 3 || args.size() > 4) return Usage();
        const std::optional<uint8_t> base = ParseByte(args[1]);
        const std::optional<unsigned long> count = ParseUnsigned(args[2], 0xFFFF);
        const std::optional<uint8_t> irq = args.size() > 3 ? ParseByte(args[3]) : uint8_t{0};
        if (!base || !count || !irq) return Usage();
        if (!board.Check(i_QMD5820_InitAndStartTimer(board.handle(), *base,
                                                     static_cast<uint16_t>(*count), *irq))) {
            return kFailed;
        }
    } else if (what == "stop" && args.size() == 1) {
        if (!board.Check(i_QMD5820_StopTimer(board.handle()))) return kFailed;
    } else if (what == "trigger" && args.size() == 1) {
        if (!board.Check(i_QMD5820_TriggerTimer(board.handle()))) return kFailed;
    } else if (what != "status" || args.size() > 1) {
        return Usage();
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

void PrintInfo(uint8_t index, const TransducerInfo& info) {
    std::printf("transducer %u\n", index);
    std::printf("  range:            %g\n", info.range);
    std::printf("  sensitivity:      %g\n", info.sensitivity);
    std::printf("  frequency:        %g Hz\n", info.frequency);
    std::printf("  primary voltage:  %g\n", info.primary_voltage);
    std::printf("  calibrated:       %s\n", info.calibrated ? "yes" : "no");
}

int DatabaseList(const Board& board) {
    std::vector<uint8_t> indexes;
    if (!board.Check(TransducerIndexes(board, indexes))) return kFailed;
    std::printf("board %u: %zu transducer type(s)\n", board.index(), indexes.size());
    std::printf("index       range  sensitivity  frequency/Hz  primary voltage  calibrated\n");
    for (const uint8_t index : indexes) {
        const std::optional<TransducerInfo> info = ReadInfo(board, index);
        if (!info) return kFailed;
        std::printf("%5u  %10g  %11g  %12g  %15g  %s\n", index, info->range, info->sensitivity,
                    info->frequency, info->primary_voltage, info->calibrated ? "yes" : "no");
    }
    return 0;
}

int Database(const Board& board, const std::vector<std::string>& args) {
    if (args.empty()) return Usage();
    const std::string& what = args[0];
    if (what == "list") {
        if (args.size() != 1) return Usage();
        return DatabaseList(board);
    }
    if (what == "show" || what == "delete") {
        if (args.size() != 2) return Usage();
        const std::optional<uint8_t> index = ParseByte(args[1]);
        if (!index) return Usage();
        if (what == "delete") {
            if (!board.Check(i_QMD5820_TransducerDatabaseDelete(board.handle(), *index))) {
                return kFailed;
            }
            std::printf("transducer %u deleted from board %u\n", *index, board.index());
            return 0;
        }
        const std::optional<TransducerInfo> info = ReadInfo(board, *index);
        if (!info) return kFailed;
        PrintInfo(*index, *info);
        return 0;
    }
    if (what == "add") {
        if (args.size() != 7) return Usage();
        const std::optional<uint8_t> index = ParseByte(args[1]);
        if (!index) return Usage();
        // Range, sensitivity, frequency, primary voltage, impedance.
        double values[5] = {};
        for (std::size_t i = 0; i < 5; ++i) {
            const std::optional<double> value = ParseReal(args[2 + i]);
            if (!value) return Usage();
            values[i] = *value;
        }
        if (!board.Check(i_QMD5820_TransducerDatabaseAdd(board.handle(), *index, values[0],
                                                         values[1], values[2], values[3],
                                                         values[4]))) {
            return kFailed;
        }
        // Read back what the board stored.
        const std::optional<TransducerInfo> info = ReadInfo(board, *index);
        if (!info) return kFailed;
        std::printf("added to board %u: ", board.index());
        PrintInfo(*index, *info);
        return 0;
    }
    return Usage();
}

// ---- transducer channels ------------------------------------------------------------------

struct ChannelUse {
    uint8_t channel = 0;
    uint8_t transducer = 0;
};

// "CH:INDEX": channel 0 to 15 and a transducer index.
std::optional<ChannelUse> ParseChannelUse(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint8_t> channel = ParseByte(text.substr(0, colon), 15);
    const std::optional<uint8_t> transducer = ParseByte(text.substr(colon + 1));
    if (!channel || !transducer) return std::nullopt;
    return ChannelUse{*channel, *transducer};
}

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

constexpr const char* kReadingsHeader = "channel  transducer  raw      metric value\n";

std::string ReadingLine(const ChannelUse& use, uint16_t raw, double metric) {
    char line[96];
    std::snprintf(line, sizeof line, "%7u  %10u  0x%04X  %13.6f", use.channel, use.transducer,
                  raw, metric);
    return line;
}

// Appends the channel use "CH:INDEX"; false when malformed or its channel is listed already.
bool AddChannelUse(std::string_view text, std::vector<ChannelUse>& uses) {
    const std::optional<ChannelUse> use = ParseChannelUse(text);
    if (!use) return false;
    const bool repeated = std::any_of(uses.begin(), uses.end(), [&](const ChannelUse& listed) {
        return listed.channel == use->channel;
    });
    if (repeated) return false;
    uses.push_back(*use);
    return true;
}

struct ChannelArguments {
    std::vector<ChannelUse> uses;
    unsigned long interval_ms = 500;
    unsigned long count = 0;  // 0: until interrupted
};

// The channel list of read and watch; `with_options` admits --interval and --count.
std::optional<ChannelArguments> ParseChannelArguments(const std::vector<std::string>& args,
                                                      bool with_options) {
    ChannelArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (with_options && (args[i] == "--interval" || args[i] == "--count")) {
            if (i + 1 == args.size()) return std::nullopt;
            const bool interval = args[i] == "--interval";
            const std::optional<unsigned long> value =
                ParseUnsigned(args[++i], interval ? 3600000UL : 0xFFFFFFFFUL);
            if (!value || *value == 0) return std::nullopt;
            (interval ? parsed.interval_ms : parsed.count) = *value;
            continue;
        }
        if (!AddChannelUse(args[i], parsed.uses)) return std::nullopt;
    }
    if (parsed.uses.empty()) return std::nullopt;
    return parsed;
}

Readings ReadingsFor(const std::vector<ChannelUse>& uses) {
    Readings readings;
    for (const ChannelUse& use : uses) readings.channels.push_back(use.channel);
    return readings;
}

int Read(const Board& board, const std::vector<std::string>& args) {
    const std::optional<ChannelArguments> parsed = ParseChannelArguments(args, false);
    if (!parsed) return Usage();
    if (!InitChannels(board, parsed->uses)) return kFailed;
    Readings readings = ReadingsFor(parsed->uses);
    if (!ReadChannels(board, readings)) return kFailed;
    std::fputs(kReadingsHeader, stdout);
    for (std::size_t i = 0; i < parsed->uses.size(); ++i) {
        std::printf("%s\n", ReadingLine(parsed->uses[i], readings.raw[i], readings.metric[i]).c_str());
    }
    return 0;
}

// Ctrl-C ends a watch between two refreshes.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

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

bool StdoutIsTerminal() {
#if !defined(_WIN32)
    return isatty(STDOUT_FILENO) == 1;
#else
    return false;  // the console may not interpret cursor sequences: plain lines
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

int Watch(const Board& board, const std::vector<std::string>& args, bool moving) {
    const std::optional<ChannelArguments> parsed = ParseChannelArguments(args, true);
    if (!parsed) return Usage();
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
        std::fflush(stdout);
        if (refresh == parsed->count || !Pause(parsed->interval_ms)) break;
    }
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    return status;
}

// ---- sequence acquisition -------------------------------------------------------------------

constexpr uint8_t kSequenceInterrupt = 1;         // b_InterruptInfo of a sequence interrupt
constexpr unsigned long kMaxSequences = 1UL << 20;  // per acquire run: at most 32 MiB of codes
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

struct AcquireArguments {
    std::vector<ChannelUse> uses;
    unsigned long sequences_per_interrupt = 10;
    unsigned long interrupts = 3;
    std::string csv;  // empty: stdout
    bool soft_trigger = false;
};

std::optional<AcquireArguments> ParseAcquireArguments(const std::vector<std::string>& args) {
    AcquireArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--sequences-per-interrupt" || arg == "--interrupts" || arg == "--csv" ||
            arg == "--trigger") {
            if (i + 1 == args.size()) return std::nullopt;
            const std::string& value = args[++i];
            if (arg == "--csv") {
                if (value.empty()) return std::nullopt;
                parsed.csv = value;
            } else if (arg == "--trigger") {
                if (value != "soft" && value != "none") return std::nullopt;
                parsed.soft_trigger = value == "soft";
            } else {
                const std::optional<unsigned long> number = ParseUnsigned(value, 0xFFFF);
                if (!number || *number == 0) return std::nullopt;
                (arg == "--interrupts" ? parsed.interrupts : parsed.sequences_per_interrupt) =
                    *number;
            }
            continue;
        }
        if (!AddChannelUse(arg, parsed.uses)) return std::nullopt;
    }
    if (parsed.uses.empty()) return std::nullopt;
    if (parsed.interrupts * parsed.sequences_per_interrupt > kMaxSequences) return std::nullopt;
    return parsed;
}

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

// Reads the sequence data that are due into `data` (from `got` up to `due` bytes); false
// after a failed read (its text is printed).
bool ReadDue(const Board& board, std::vector<uint8_t>& data, std::size_t& got, std::size_t due) {
    while (got < due) {
        const int32_t n = l_QMD5820_ReadSequenceData(
            board.handle(), static_cast<uint32_t>(due - got), data.data() + got);
        if (n < 0) return board.Check(static_cast<int16_t>(n));
        if (n == 0) break;  // nothing more waiting yet
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteCsv(std::FILE* out, const std::vector<ChannelUse>& uses,
              const std::vector<double>& metric) {
    std::fputs("sequence", out);
    for (const ChannelUse& use : uses) std::fprintf(out, ",ch%u", use.channel);
    std::fputc('\n', out);
    const std::size_t size = uses.size();
    for (std::size_t sequence = 0; sequence * size < metric.size(); ++sequence) {
        std::fprintf(out, "%zu", sequence + 1);
        for (std::size_t i = 0; i < size; ++i) std::fprintf(out, ",%.6f", metric[sequence * size + i]);
        std::fputc('\n', out);
    }
    return std::fflush(out) == 0 && std::ferror(out) == 0;
}

int Acquire(const Board& board, const std::vector<std::string>& args) {
    const std::optional<AcquireArguments> parsed = ParseAcquireArguments(args);
    if (!parsed) return Usage();
    const std::size_t size = parsed->uses.size();
    const std::size_t sequences = parsed->interrupts * parsed->sequences_per_interrupt;
    const std::size_t bytes_per_interrupt = parsed->sequences_per_interrupt * size * 2;

    // The output first: a file that cannot be written costs no acquisition. A run that
    // fails leaves no file behind.
    std::FILE* out = stdout;
    if (!parsed->csv.empty()) {
        out = std::fopen(parsed->csv.c_str(), "w");
        if (out == nullptr) {
            std::fprintf(stderr, "qmd5820: %s: %s\n", parsed->csv.c_str(), std::strerror(errno));
            return kFailed;
        }
    }
    struct Output {
        std::FILE* file;
        const std::string& path;
        bool written = false;
        ~Output() {
            if (file == stdout) return;
            std::fclose(file);
            if (!written) std::remove(path.c_str());
        }
    } output{out, parsed->csv};

    // The board takes 16 entries in each list whatever the count.
    uint8_t channels[16] = {};
    uint8_t indexes[16] = {};
    for (std::size_t i = 0; i < size; ++i) {
        channels[i] = parsed->uses[i].channel;
        indexes[i] = parsed->uses[i].transducer;
    }

    std::vector<uint8_t> data(sequences * size * 2);
    std::size_t got = 0;
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
        if (parsed->soft_trigger &&
            !board.Check(i_QMD5820_TriggerTransducerAcquisition(board.handle()))) {
            return kFailed;
        }

        // Collect the data of every interrupt as it comes, so the board's buffer never
        // fills, until the M-th; a board silent for too long ends the run.
        unsigned long seen = 0;
        while (seen < parsed->interrupts) {
            {
                std::unique_lock<std::mutex> lock(g_sequence_interrupts.mutex);
                const bool arrived = g_sequence_interrupts.arrived.wait_for(
                    lock, kInterruptTimeout, [&] { return g_sequence_interrupts.count > seen; });
                if (!arrived) {
                    std::fprintf(stderr,
                                 "qmd5820: no sequence interrupt from board %u for %lld s "
                                 "(%lu of %lu received)\n",
                                 board.index(), static_cast<long long>(kInterruptTimeout.count()),
                                 seen, parsed->interrupts);
                    return kFailed;
                }
                seen = std::min(g_sequence_interrupts.count, parsed->interrupts);
            }
            if (!ReadDue(board, data, got, seen * bytes_per_interrupt)) return kFailed;
        }
        // Whatever the last interrupt announced and was not waiting yet.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + kInterruptTimeout;
        while (got < data.size()) {
            if (Clock::now() >= deadline) {
                std::fprintf(stderr, "qmd5820: board %u delivered %zu of %zu bytes of sequence "
                                     "data\n", board.index(), got, data.size());
                return kFailed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!ReadDue(board, data, got, data.size())) return kFailed;
        }
        if (!acquisition.Stop()) return kFailed;
        if (!routine.Remove()) return kFailed;
    }

    // Codes: 16 bits little-endian, one per channel per sequence, in channel-list order.
    std::vector<uint16_t> raw(sequences * size);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    std::vector<double> metric(raw.size());
    for (std::size_t sequence = 0; sequence < sequences; ++sequence) {
        if (!board.Check(i_QMD5820_ConvertMoreRawToMetricValues(
                board.handle(), static_cast<uint8_t>(size), channels, raw.data() + sequence * size,
                metric.data() + sequence * size))) {
            return kFailed;
        }
    }
    if (!WriteCsv(out, parsed->uses, metric)) {
        std::fprintf(stderr, "qmd5820: %s cannot be written\n",
                     parsed->csv.empty() ? "standard output" : parsed->csv.c_str());
        return kFailed;
    }
    output.written = true;
    if (out != stdout) {
        std::printf("board %u: %zu sequences of %zu channel(s) written to %s\n", board.index(),
                    sequences, size, parsed->csv.c_str());
    }
    return 0;
}

// ---- primary line -----------------------------------------------------------------------------

constexpr uint8_t kLineDetectionResponds = 0x01;
constexpr uint8_t kLineShortCircuit = 0x02;

int Line(const Board& board, const std::vector<std::string>& args) {
    // Every action is checked before the first one runs.
    if (args.empty()) return Usage();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "interrupts") {
            if (i + 1 == args.size() || (args[i + 1] != "on" && args[i + 1] != "off")) {
                return Usage();
            }
            ++i;
        } else if (args[i] != "test" && args[i] != "rearm" && args[i] != "calibrate") {
            return Usage();
        }
    }
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
    return status == kBadArguments ? Usage() : status;
}

// ---- options for the simulated board ------------------------------------------------------

struct GlobalOptions {
    bool moving = false;
};

#if !defined(_WIN32)
// "BOARD:CH=VALUE": sets the simulated position; false on a malformed or unknown target.
bool ApplyPosition(std::string_view text) {
    const std::size_t colon = text.find(':');
    const std::size_t equals = text.find('=');
    if (colon == std::string_view::npos || equals == std::string_view::npos || equals < colon) {
        return false;
    }
    const std::optional<uint8_t> board = ParseByte(text.substr(0, colon));
    const std::optional<uint8_t> channel = ParseByte(text.substr(colon + 1, equals - colon - 1), 15);
    const std::optional<double> position = ParseReal(text.substr(equals + 1));
    if (!board || !channel || !position) return false;
    if (*board >= qmdsim_board_count()) {
        std::fprintf(stderr, "qmd5820: --position: there is no simulated board %u\n", *board);
        return false;
    }
    qmdsim_set_position(*board, *channel, *position);
    return true;
}

// "BOARD": latches a short circuit on the simulated board's primary line (a rearm clears it).
bool ApplyShortCircuit(std::string_view text) {
    const std::optional<uint8_t> board = ParseByte(text);
    if (!board) return false;
    if (*board >= qmdsim_board_count()) {
        std::fprintf(stderr, "qmd5820: --short-circuit: there is no simulated board %u\n", *board);
        return false;
    }
    qmdsim_inject_short_circuit(*board, 0);
    return true;
}

// "BOARD:US": the time one sequence of an acquisition takes on the simulated board.
bool ApplySequencePeriod(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::optional<uint8_t> board = ParseByte(text.substr(0, colon));
    const std::optional<unsigned long> period = ParseUnsigned(text.substr(colon + 1), 0xFFFFFFFFUL);
    if (!board || !period || *period == 0) return false;
    if (*board >= qmdsim_board_count()) {
        std::fprintf(stderr, "qmd5820: --sequence-period: there is no simulated board %u\n", *board);
        return false;
    }
    qmdsim_set_sequence_period_us(*board, static_cast<uint32_t>(*period));
    return true;
}
#endif

// Consumes the options before the command; false on a bad option.
bool ParseGlobalOptions(const std::vector<std::string>& args, std::size_t& next,
                        GlobalOptions& options) {
    while (next < args.size() && args[next].starts_with("--") && args[next] != "--help") {
        const std::string& option = args[next++];
#if !defined(_WIN32)
        if (option == "--virtual-clock") {
            qmdsim_set_virtual_clock(1);
            continue;
        }
        if (option == "--frozen-counter" && next < args.size()) {
            const std::optional<uint8_t> board = ParseByte(args[next++]);
            if (!board || *board >= qmdsim_board_count()) return false;
            qmdsim_frontend_params params{};
            qmdsim_frontend_params_get(*board, &params);
            params.conversions_per_second = 0.0;
            qmdsim_frontend_params_set(*board, &params);
            continue;
        }
        if (option == "--moving") {
            options.moving = true;
            continue;
        }
        if (option == "--position" && next < args.size()) {
            if (!ApplyPosition(args[next++])) return false;
            continue;
        }
        if (option == "--short-circuit" && next < args.size()) {
            if (!ApplyShortCircuit(args[next++])) return false;
            continue;
        }
        if (option == "--sequence-period" && next < args.size()) {
            if (!ApplySequencePeriod(args[next++])) return false;
            continue;
        }
#else
        (void)options;
#endif
        std::fprintf(stderr, "qmd5820: unknown or incomplete option %s\n", option.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    GlobalOptions options;
    std::size_t first = 0;
    if (!ParseGlobalOptions(all, first, options)) return Usage();
    const std::vector<std::string> args(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());

    if (args.empty() || (args[0] == "list" && args.size() == 1)) return List();
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        std::printf(kUsage, qmd5820cli::kCalibrateUsage);
        return 0;
    }
    const std::optional<uint8_t> index = args.size() >= 2 ? ParseByte(args[1]) : std::nullopt;
    if (!index) return Usage();
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    if (args[0] == "info") return rest.empty() ? ShowBoard(*index) : Usage();

    static constexpr const char* kBoardCommands[] = {"inputs", "outputs", "timer", "db",
                                                     "read",   "watch",   "acquire", "line",
                                                     "calibrate"};
    if (std::find(std::begin(kBoardCommands), std::end(kBoardCommands), args[0]) ==
        std::end(kBoardCommands)) {
        return Usage();
    }
    Board board(*index);
    if (!board.ok()) return kFailed;
    if (args[0] == "inputs") return rest.empty() ? Inputs(board) : Usage();
    if (args[0] == "outputs") return Outputs(board, rest);
    if (args[0] == "timer") return Timer(board, rest);
    if (args[0] == "db") return Database(board, rest);
    if (args[0] == "read") return Read(board, rest);
    if (args[0] == "acquire") return Acquire(board, rest);
    if (args[0] == "line") return Line(board, rest);
    if (args[0] == "calibrate") return Calibrate(board, rest);
    return Watch(board, rest, options.moving);
}
