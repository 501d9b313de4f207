// acquire (see acquire.h): the acquisition runs while the interrupt routine counts the
// board's sequence interrupts; after each one the sequences that arrived are recorded.
#include "commands/acquire.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "QMD5820.h"
#include "commands/recorder.h"
#include "common/arguments.h"
#include "common/board.h"
#include "common/output_file.h"
#include "common/signals.h"
#include "common/simulator.h"
#include "common/status_line.h"

namespace qmdtool {
namespace {

constexpr uint8_t kSequenceInterrupt = 1;         // b_InterruptInfo of a sequence interrupt

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
    for (const ChannelUse& use : parsed.uses) ExplainMissingTransducer(board, use.transducer);
}

// The progress line on stderr (only when stderr is a terminal), at most 5 times a second.
class Progress {
public:
    Progress() : line_(StatusLine::kQuiet) {}
    void Show(uint64_t sequences, double seconds, uint64_t dropped, uint64_t missing,
              bool last = false) {
        if (!line_.terminal() || (!last && seconds - shown_ < 0.2)) return;
        shown_ = seconds;
        char text[200];
        std::snprintf(text, sizeof text,
                      "%" PRIu64 " sequences, %.0f sequences/s, %.1f s, %" PRIu64
                      " dropped, %" PRIu64 " not received yet",
                      sequences, seconds > 0 ? static_cast<double>(sequences) / seconds : 0.0,
                      seconds, dropped, missing);
        line_.Show(text);
        if (last) line_.End(true);
    }

private:
    StatusLine line_;
    double shown_ = -1.0;
};

}  // namespace

void AcquireCommand::Declare(CLI::App& command) {
    AddChannelUses(command, texts_.uses);
    command.add_option("--sequences-per-interrupt", texts_.per_interrupt,
                       "sequences per interrupt (10)")
        ->type_name("N")
        ->check(Unsigned(1, 0xFFFF, "a number of sequences"));
    command.add_option("--interrupts", texts_.interrupts,
                       "interrupts to record (3); 0: until Ctrl-C or SIGTERM")
        ->type_name("M")
        ->check(Unsigned(0, 0xFFFFFFFFUL, "a number of interrupts"));
    command.add_option("--csv", texts_.csv, "CSV file (default: stdout)")
        ->type_name("FILE")
        ->check(NotEmpty());
    command.add_option("--trigger", texts_.trigger, "soft or none (default)")
        ->type_name("soft|none")
        ->check(Expect([](const std::string& t) { return t == "soft" || t == "none"; },
                       "soft or none"));
    command.footer(
        "Sequence acquisition of the channels until M sequence interrupts (default 3; 0: until\n"
        "Ctrl-C or SIGTERM) came, one every N sequences (default 10; channels x N must be\n"
        "even); writes CSV (the board's sequence number, the arrival time of its block in s,\n"
        "values in mm), one line per sequence as it arrives, to FILE or stdout. --trigger soft\n"
        "starts on a software trigger, none (default) at once. Ctrl-C, SIGTERM or SIGHUP ends the run (exit 128 + the signal); a failure or a\n"
        "signal keeps the rows recorded so far in FILE. Sequences the output could not take\n"
        "are dropped, counted on stderr and left as gaps in the sequence column.");
}

std::string AcquireCommand::Finish(const CLI::App&) {
    arguments_ = {};
    arguments_.sequences_per_interrupt = Number(texts_.per_interrupt);
    arguments_.interrupts = Number(texts_.interrupts);
    arguments_.csv = texts_.csv;
    arguments_.soft_trigger = texts_.trigger == "soft";
    return ChannelUses(texts_.uses, arguments_.uses);
}

namespace {

// The longest the tool waits for the next sequence interrupt: a margin plus twice the
// time the board takes for one interrupt's sequences, as far as it is known (at the start
// 1 ms a sequence, later the longest interval between two interrupts seen so far). Time in
// which the process was stopped (SIGSTOP, a suspended machine) does not count: a gap of
// more than a second between two looks at the clock (each wait is 50 ms) is left out.
class InterruptWait {
public:
    using Clock = std::chrono::steady_clock;
    explicit InterruptWait(unsigned long per_interrupt)
        : per_interrupt_(static_cast<double>(per_interrupt)), last_(Clock::now()) {}

    // After a look that found no new interrupt: false when the wait is over.
    bool Waiting() {
        waited_ += Tick();
        return waited_ <= Limit();
    }
    // After a look that found `count` new interrupts.
    void Arrived(unsigned long count) {
        waited_ += Tick();
        if (count > 0 && waited_ > 0.0) interval_ = std::max(interval_, waited_ / static_cast<double>(count));
        waited_ = 0.0;
    }
    double Limit() const {
        const double expected = std::max(interval_, per_interrupt_ * 0.001);
        return kMarginSeconds + 2.0 * expected;
    }

private:
    static constexpr double kMarginSeconds = 5.0;
    double Tick() {
        const Clock::time_point now = Clock::now();
        const double gap = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        return gap > 1.0 ? 0.0 : gap;  // the process was stopped meanwhile
    }
    double per_interrupt_;
    double interval_ = 0.0;
    double waited_ = 0.0;
    Clock::time_point last_;
};

// The most the tool reads from the board at once, and the most text that waits for the
// writer: together what the recorder holds whatever the output does.
constexpr std::size_t kReadChunk = 1u << 20;
constexpr std::size_t kWaitingText = 8u << 20;

// Reads the stream of `board` up to `wanted` bytes in chunks and hands each to the
// recorder; false after a failure (printed).
bool Collect(const Board& board, Recorder& recorder, std::vector<uint8_t>& data,
                    uint64_t wanted, bool* more = nullptr) {
    if (more != nullptr) *more = false;
    while (wanted > 0) {
        const std::size_t before = data.size();
        const std::size_t room = static_cast<std::size_t>(std::min<uint64_t>(wanted, kReadChunk));
        if (!ReadWaiting(board, data, room)) return false;
        const std::size_t got = data.size() - before;
        if (!recorder.Take(data)) return false;
        if (got == 0) break;
        if (more != nullptr) *more = true;
        wanted -= got;
        if (got < room) break;  // nothing more waiting yet
    }
    return true;
}

}  // namespace

int AcquireCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const AcquireArguments* parsed = &arguments_;
    const std::size_t size = parsed->uses.size();
    const uint64_t sequence_bytes = size * 2;
    const bool unlimited = parsed->interrupts == 0;
    const uint64_t sequences = static_cast<uint64_t>(parsed->interrupts) * parsed->sequences_per_interrupt;
    const std::string target = parsed->csv.empty() ? "-" : parsed->csv;

    // The output first: a file that cannot be written costs no acquisition. The CSV goes to
    // a temporary file beside the target, renamed into place at the end (also after a
    // failure or a signal, with the rows recorded so far); a run that recorded nothing
    // leaves the target as it was.
    OutputFile output;
    std::string error;
    if (!output.Open(target, error)) {
        std::fprintf(stderr, "qmd5820: %s\n", error.c_str());
        return kFailed;
    }
    const bool to_stdout = output.is_stdout();

    // The board takes 16 entries in each list whatever the count.
    uint8_t channels[16] = {};
    uint8_t indexes[16] = {};
    for (std::size_t i = 0; i < size; ++i) {
        channels[i] = parsed->uses[i].channel;
        indexes[i] = parsed->uses[i].transducer;
    }

    // Ctrl-C, SIGTERM or SIGHUP ends the run early; what was received is kept.
    const InterruptSignals signals;
    RowWriter writer(output.stream(), kWaitingText);
    Recorder recorder(board, parsed->uses, writer);
    Progress progress;
    std::vector<uint8_t> data;
    uint64_t announced = 0;  // sequences the board's interrupts announced
    int status = 0;
    const auto run = [&]() -> int {
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
        const Drift drift(invocation.options.moving, board.index(), parsed->uses);
        if (parsed->soft_trigger &&
            !board.Check(i_QMD5820_TriggerTransducerAcquisition(board.handle()))) {
            return kFailed;
        }
        // Collect the data of every interrupt as it comes, so the board's buffer never
        // fills; a board silent for too long ends the run.
        InterruptWait wait(parsed->sequences_per_interrupt);
        unsigned long seen = 0;
        const auto stop = [&] { return Interrupted() != 0 || writer.failed(); };
        while ((unlimited || seen < parsed->interrupts) && !stop()) {
            unsigned long count = 0;
            {
                std::unique_lock<std::mutex> lock(g_sequence_interrupts.mutex);
                g_sequence_interrupts.arrived.wait_for(lock, std::chrono::milliseconds(50), [&] {
                    return g_sequence_interrupts.count > seen;
                });
                count = g_sequence_interrupts.count;
            }
            drift.Step();
            if (count <= seen) {
                if (wait.Waiting()) continue;
                std::fprintf(stderr, "qmd5820: no sequence interrupt from board %u for %.1f s "
                                     "(%lu%s received)\n", board.index(), wait.Limit(), seen,
                             unlimited ? "" : (" of " + std::to_string(parsed->interrupts)).c_str());
                return kFailed;
            }
            wait.Arrived(count - seen);
            seen = unlimited ? count : std::min(count, parsed->interrupts);
            announced = static_cast<uint64_t>(seen) * parsed->sequences_per_interrupt;
            const uint64_t have = recorder.received() * sequence_bytes + data.size();
            const uint64_t due = announced * sequence_bytes;
            if (due > have && !Collect(board, recorder, data, due - have)) return kFailed;
            progress.Show(recorder.received(), recorder.Seconds(), recorder.dropped(),
                          announced > recorder.received() ? announced - recorder.received() : 0);
        }
        // Whatever the last interrupt announced and was not waiting yet.
        InterruptWait tail(parsed->sequences_per_interrupt);
        while (!unlimited && recorder.received() < sequences && !stop()) {
            if (!tail.Waiting()) {
                std::fprintf(stderr, "qmd5820: board %u delivered %" PRIu64 " of %" PRIu64
                                     " sequences\n", board.index(), recorder.received(), sequences);
                return kFailed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const uint64_t left = (sequences - recorder.received()) * sequence_bytes - data.size();
            if (!Collect(board, recorder, data, left)) return kFailed;
        }
        if (!acquisition.Stop()) return kFailed;
        if (!routine.Remove()) return kFailed;
        // Interrupted: the stopped board's stream still holds what it acquired; everything
        // it holds (a limited run: no more than was asked for).
        bool more = true;
        while (Interrupted() != 0 && more && !writer.failed()) {
            uint64_t room = kReadChunk;
            if (!unlimited) {
                const uint64_t wanted = sequences * sequence_bytes;
                const uint64_t have = recorder.received() * sequence_bytes + data.size();
                room = std::min(room, wanted > have ? wanted - have : 0);
            }
            if (room == 0) break;
            if (!Collect(board, recorder, data, room, &more)) return kFailed;
        }
        return 0;
    };
    status = run();
    const bool written = writer.Finish();
    const int interrupted = Interrupted();
    const uint64_t received = recorder.received();
    const uint64_t dropped = recorder.dropped();
    const uint64_t rows = writer.rows_written();
    progress.Show(received, recorder.Seconds(), dropped,
                  announced > received ? announced - received : 0, true);
    if (!written) {
        const char* where = to_stdout ? "standard output" : target.c_str();
        std::fprintf(stderr, "qmd5820: %s cannot be written: %s\n", where,
                     std::strerror(writer.error()));
        status = kFailed;
    }
    // Sequences lost are said whether or not stderr is a terminal.
    if (dropped > 0) {
        std::fprintf(stderr, "qmd5820: %" PRIu64 " of %" PRIu64 " sequences dropped because the "
                             "output did not keep up (gaps in the sequence column)\n",
                     dropped, received);
    }
    if (announced > received && status == 0 && interrupted == 0) {
        std::fprintf(stderr, "qmd5820: %" PRIu64 " sequences announced by the board were not "
                             "received\n", announced - received);
    }
    return ConcludeRecording(output, target, board.index(), size, rows, status, interrupted,
                             dropped);
}

}  // namespace qmdtool
