// Interrupts under churn, on the simulated board with its real clock: one thread per board
// on four boards opens, reads, starts timer interrupts, installs and removes routines
// (from the caller and from inside the routine) for a bounded time, while another thread
// keeps opening files. Every installed routine must receive its interrupts, no file may
// receive a byte, and nothing may be left behind: no descriptor, no thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "platform/platform.h"
#include "process_counts.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBoards = 4;
constexpr int kCallsBeforeRemoval = 3;

// How long the churn runs (QMD5820_STRESS_MS overrides it), and the longest wait for
// anything that must happen (an installed routine's interrupts, a self-removal).
std::chrono::milliseconds Duration() {
    const char* text = std::getenv("QMD5820_STRESS_MS");
    return std::chrono::milliseconds(text != nullptr ? std::atol(text) : 2000);
}
constexpr auto kPatience = std::chrono::seconds(10);

struct BoardState {
    std::atomic<QMD5820_HANDLE> handle{0};
    std::atomic<int> calls{0};
    std::atomic<int> removed{1};  // result of the routine's own removal; 1: not yet
};
BoardState g_boards[kBoards];

BoardState* StateOf(QMD5820_HANDLE h) {
    for (BoardState& b : g_boards) {
        if (b.handle.load() == h) return &b;
    }
    return nullptr;
}

void Counting(QMD5820_HANDLE h, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
    if (BoardState* b = StateOf(h)) ++b->calls;
}

// Removes its own installation at its third call.
void SelfRemoving(QMD5820_HANDLE h, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
    BoardState* b = StateOf(h);
    if (b != nullptr && ++b->calls == kCallsBeforeRemoval) {
        b->removed = i_QMD5820_ResetBoardIntRoutine(h);
    }
}

template <typename Done>
bool WaitUntil(Done done) {
    const auto give_up = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

struct Totals {
    std::atomic<long> cycles{0}, self_removals{0}, interrupts{0}, files{0};
};

// Failures are collected as text: gtest assertions stay on the main thread.
struct Failures {
    std::atomic<int> count{0};
    std::string first;  // written by the first failure only, read after the join
    void Add(const std::string& what) {
        if (count++ == 0) first = what;
    }
};

void Churn(int index, Clock::time_point end, Totals& totals, Failures& failures) {
    BoardState& b = g_boards[index];
    const std::string board = "board " + std::to_string(index) + ": ";
    for (long cycle = 0; Clock::now() < end; ++cycle) {
        QMD5820_HANDLE h = 0, again = 0;
        if (i_QMD5820_OpenBoardViaIndex(static_cast<uint8_t>(index), &h) != 0 ||
            i_QMD5820_OpenBoardViaIndex(static_cast<uint8_t>(index), &again) != 0 ||
            again != h) {
            return failures.Add(board + "open");
        }
        b.handle = h;
        b.calls = 0;
        b.removed = 1;
        uint8_t inputs = 0;
        if (i_QMD5820_Read8DigitalInputs(h, &inputs) != 0) failures.Add(board + "read");

        const int mode = static_cast<int>(cycle % 3);
        if (i_QMD5820_SetBoardIntRoutine(h, mode == 1 ? SelfRemoving : Counting) != 0) {
            return failures.Add(board + "install");
        }
        // 1 µs ticks: 200 µs periods, several records per pump of the simulator.
        if (i_QMD5820_InitAndStartTimer(h, 0, 199, 1) != 0) failures.Add(board + "timer");
        if (mode == 0) {
            // Removed by the caller while the timer runs, after some interrupts.
            if (!WaitUntil([&] { return b.calls.load() >= kCallsBeforeRemoval; })) {
                failures.Add(board + "an installed routine received no interrupts");
            }
            if (i_QMD5820_ResetBoardIntRoutine(h) != 0) failures.Add(board + "removal");
        } else if (mode == 1) {
            // The routine removes itself; the thread ends once it has returned.
            if (!WaitUntil([&] { return b.removed.load() != 1; })) {
                failures.Add(board + "a self-removing routine was not called enough");
            } else if (b.removed.load() != 0) {
                failures.Add(board + "the removal from inside the routine failed");
            }
            ++totals.self_removals;
        } else {
            // Removed at once, racing the thread's first drain and the first signals.
            if (i_QMD5820_ResetBoardIntRoutine(h) != 0) failures.Add(board + "quick removal");
        }
        if (i_QMD5820_StopTimer(h) != 0) failures.Add(board + "stop timer");
        if (mode == 1 && b.calls.load() != kCallsBeforeRemoval) {
            failures.Add(board + "the routine was called after it removed itself");
        }
        totals.interrupts += b.calls.load();
        b.handle = 0;
        if (i_QMD5820_CloseBoard(h) != 0 || i_QMD5820_CloseBoard(h) != 0) {
            failures.Add(board + "close");
        }
        ++totals.cycles;
    }
}

// Opens files and checks that none receives a byte it did not write.
void OpenFiles(Clock::time_point end, Totals& totals, Failures& failures) {
    while (Clock::now() < end) {
        std::FILE* file = std::tmpfile();
        if (file == nullptr) continue;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        std::fseek(file, 0, SEEK_END);
        if (std::ftell(file) != 0) failures.Add("a file received foreign bytes");
        std::fclose(file);
        ++totals.files;
    }
}

class Stress : public ::testing::Test {
protected:
    void SetUp() override {
        qmd5820_install_backend(nullptr);
        qmdsim_reset();
        while (qmdsim_board_count() < kBoards) ASSERT_GE(qmdsim_add_board(nullptr), 0);
        qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
        // The simulator's pump thread starts at the first timer interrupt and stays parked
        // afterwards: start it before counting.
        QMD5820_HANDLE h = 0;
        ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &h), 0);
        ASSERT_EQ(i_QMD5820_InitAndStartTimer(h, 0, 199, 1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(i_QMD5820_StopTimer(h), 0);
        ASSERT_EQ(i_QMD5820_CloseBoard(h), 0);
    }
    void TearDown() override { qmdsim_reset(); }
};

TEST_F(Stress, InterruptsSurviveChurnOnFourBoards) {
    const int descriptors = OpenDescriptors();
    const int threads = Threads();
    Totals totals;
    Failures failures;
    const auto end = Clock::now() + Duration();
    std::vector<std::thread> workers;
    for (int i = 0; i < kBoards; ++i) {
        workers.emplace_back(Churn, i, end, std::ref(totals), std::ref(failures));
    }
    workers.emplace_back(OpenFiles, end, std::ref(totals), std::ref(failures));
    for (std::thread& t : workers) t.join();

    std::printf("%ld install/remove cycles (%ld removed from inside the routine), %ld "
                "interrupts delivered, %ld files opened\n",
                totals.cycles.load(), totals.self_removals.load(), totals.interrupts.load(),
                totals.files.load());
    EXPECT_EQ(failures.count.load(), 0) << failures.first;
    EXPECT_GE(totals.cycles.load(), 3 * kBoards) << "too few cycles to mean anything";
    EXPECT_TRUE(BackTo(descriptors, threads))
        << OpenDescriptors() - descriptors << " descriptors and " << Threads() - threads
        << " threads left";
}

// Signalling an event while another thread closes it and opens a file: the signal goes
// to the old event or nowhere, never into the file that took the descriptor number.
TEST_F(Stress, SignalRacingACloseNeverReachesAReusedDescriptor) {
    const qmd::platform::Api& os = qmd::platform::SystemApi();
    std::atomic<qmd::platform::Handle> current{0};
    std::atomic<bool> stop{false};
    std::atomic<long> signals{0};
    std::thread signaller([&] {
        while (!stop.load()) {
            (void)os.set_event(current.load());
            ++signals;
        }
    });
    const auto some_signals = [&] {
        const long from = signals.load();
        while (signals.load() < from + 2) std::this_thread::yield();
    };
    long foreign = 0, rounds = 0;
    for (const auto end = Clock::now() + Duration() / 2; Clock::now() < end; ++rounds) {
        const qmd::platform::Handle event = os.create_event();
        ASSERT_NE(event, 0u);
        current = event;
        some_signals();
        os.close_event(event);  // the signaller goes on with the dead value
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        some_signals();
        std::fseek(file, 0, SEEK_END);
        foreign += std::ftell(file) != 0 ? 1 : 0;
        std::fclose(file);
    }
    stop = true;
    signaller.join();
    std::printf("%ld events closed while being signalled\n", rounds);
    EXPECT_EQ(foreign, 0) << "files that received a signal's bytes";
    EXPECT_GT(rounds, 0);  // each round saw signals before and after its close
}

}  // namespace
}  // namespace qmdtest
