// acquire (see acquire.h): the acquisition runs while the interrupt routine counts the
// board's sequence interrupts; after each one the sequences that arrived are recorded.
#include "commands/acquire.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
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
    for (const ChannelUse& use : parsed.uses) ExplainMissingTransducer(board, use.transducer);
}

// The progress line on stderr (only when stderr is a terminal), at most 5 times a second.
class Progress {
public:
    Progress() : line_(StatusLine::kQuiet) {}
    void Show(uint64_t sequences, double seconds, uint64_t dropped, bool last = false) {
        if (!line_.terminal() || (!last && seconds - shown_ < 0.2)) return;
        shown_ = seconds;
        char text[160];
        std::snprintf(text, sizeof text,
                      "%" PRIu64 " sequences, %.0f sequences/s, %.1f s, %" PRIu64 " dropped",
                      sequences, seconds > 0 ? static_cast<double>(sequences) / seconds : 0.0,
                      seconds, dropped);
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
        "even); writes CSV (sequence, time/s, values in mm), one line per sequence as it\n"
        "arrives, to FILE or stdout. --trigger soft starts on a software trigger, none (default)\n"
        "at once. Ctrl-C keeps what was received.");
}

std::string AcquireCommand::Finish(const CLI::App&) {
    arguments_ = {};
    arguments_.sequences_per_interrupt = Number(texts_.per_interrupt);
    arguments_.interrupts = Number(texts_.interrupts);
    arguments_.csv = texts_.csv;
    arguments_.soft_trigger = texts_.trigger == "soft";
    return ChannelUses(texts_.uses, arguments_.uses);
}

int AcquireCommand::Run(const Invocation& invocation) const {
    const Board& board = *invocation.board;
    const AcquireArguments* parsed = &arguments_;
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
    Recorder recorder(board, parsed->uses, output.stream());
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
        drift.emplace(invocation.options.moving, board.index(), parsed->uses);
        if (!recorder.WriteHeader()) return kFailed;
        if (parsed->soft_trigger &&
            !board.Check(i_QMD5820_TriggerTransducerAcquisition(board.handle()))) {
            return kFailed;
        }

        // Collect and write the data of every interrupt as it comes, so the board's buffer
        // never fills; a board silent for too long ends the run.
        using Clock = std::chrono::steady_clock;
        unsigned long seen = 0;
        while ((unlimited || seen < parsed->interrupts) && Interrupted() == 0) {
            {
                const Clock::time_point deadline = Clock::now() + kInterruptTimeout;
                std::unique_lock<std::mutex> lock(g_sequence_interrupts.mutex);
                while (g_sequence_interrupts.count <= seen && Interrupted() == 0) {
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
        while (!unlimited && recorder.written() < sequences && Interrupted() == 0) {
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
        while (Interrupted() != 0) {
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
    const int interrupted = Interrupted();
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

}  // namespace qmdtool
