// Interrupt routines and the per-board interrupt thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"
#include "fake_platform.h"
#include "process_counts.h"

namespace qmdtest {
namespace {

struct Delivered {
    QMD5820_HANDLE handle;
    uint8_t info;
    uint32_t value1, value2;
    std::vector<uint32_t> data;
    uint32_t count;
};

std::mutex g_mutex;
std::vector<Delivered> g_delivered;
std::atomic<int> g_calls{0};

void Routine(QMD5820_HANDLE h, uint8_t info, uint32_t v1, uint32_t v2, uint32_t* data,
             uint32_t count) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_delivered.push_back({h, info, v1, v2, std::vector<uint32_t>(data, data + 32), count});
    }
    ++g_calls;
}

// Waits (at most two seconds of real time) until the routine has been called n times.
bool WaitForCalls(int n) {
    for (int i = 0; i < 2000 && g_calls.load() < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return g_calls.load() >= n;
}

qmdsim_interrupt Interrupt(uint8_t info, uint32_t v1, uint32_t count) {
    qmdsim_interrupt r{};
    r.info = info;
    r.value1 = v1;
    r.value2 = v1 * 2;
    for (uint32_t i = 0; i < 32; ++i) r.data[i] = v1 * 100 + i;
    r.data_count = count;
    return r;
}

class Interrupts : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        FakePlatform::Reset();
        g_delivered.clear();
        g_calls = 0;
        handle = Open();
    }
    void TearDown() override {
        (void)i_QMD5820_ResetBoardIntRoutine(handle);
        qmd::platform::ReplaceForTesting(nullptr);
        ApiTest::TearDown();
    }
    QMD5820_HANDLE handle = 0;
};

TEST_F(Interrupts, InstallRegistersTheEventWithTheDriver) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    // The thread drains once after the registration (never before it): reads may follow.
    const auto requests = Requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 0x90002004u);
    for (std::size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i].code, 0x90002008u);
    ASSERT_EQ(requests[0].in.size(), 8u);
    EXPECT_EQ(qmd::bytes::GetU64(requests[0].in.data()), qmd::Board(0).interrupt_event);
    EXPECT_EQ(qmdsim_registered_event(0), qmd::Board(0).interrupt_event);
    EXPECT_EQ(qmd::Board(0).interrupt_installed.load(), 1);
    EXPECT_EQ(LastError(handle), "No error information is available for this board.")
        << "installation records nothing";
}

TEST_F(Interrupts, SecondInstallKeepsTheFirstRoutineAndResetNeedsOne) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    EXPECT_EQ(i_QMD5820_SetBoardIntRoutine(handle, nullptr), -2);
    EXPECT_EQ(qmd::Board(0).user_routine.load(), &Routine);
    EXPECT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
    EXPECT_EQ(qmd::Board(0).interrupt_thread_exit, 0u) << "ended by the kill event";
    EXPECT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), -2);
    EXPECT_EQ(i_QMD5820_SetBoardIntRoutine(0x1234, Routine), -1);
    EXPECT_EQ(i_QMD5820_ResetBoardIntRoutine(0x1234), -1);
}

TEST_F(Interrupts, AllQueuedRecordsAreDeliveredInOneWakeUp) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    // Queue three records without signalling, then signal once.
    qmdsim_set_event_signaller(nullptr);
    for (uint32_t i = 1; i <= 3; ++i) {
        const qmdsim_interrupt r = Interrupt(static_cast<uint8_t>(i), i, i * 10);
        qmdsim_raise_interrupt(0, &r);
    }
    ASSERT_EQ(qmd5820_signal_event(qmdsim_registered_event(0)), 0);
    ASSERT_TRUE(WaitForCalls(3));
    std::lock_guard<std::mutex> lock(g_mutex);
    ASSERT_EQ(g_delivered.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        const Delivered& d = g_delivered[i];
        EXPECT_EQ(d.handle, handle);
        EXPECT_EQ(d.info, i + 1);
        EXPECT_EQ(d.value1, i + 1);
        EXPECT_EQ(d.value2, 2 * (i + 1));
        EXPECT_EQ(d.count, (i + 1) * 10) << "passed through, even above 32";
        EXPECT_EQ(d.data[31], (i + 1) * 100 + 31);
    }
    EXPECT_EQ(qmdsim_pending_interrupts(0), 0u);
}

TEST_F(Interrupts, SignalWithoutARecordCallsNothing) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    ASSERT_EQ(qmd5820_signal_event(qmdsim_registered_event(0)), 0);
    const qmdsim_interrupt r = Interrupt(7, 7, 0);
    qmdsim_raise_interrupt(0, &r);
    ASSERT_TRUE(WaitForCalls(1));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].info, 7);
}

TEST_F(Interrupts, NullRoutineEndsTheThreadAtTheFirstInterrupt) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, nullptr), 0);
    const qmdsim_interrupt r = Interrupt(1, 1, 0);
    qmdsim_raise_interrupt(0, &r);
    for (int i = 0; i < 2000 && qmdsim_pending_interrupts(0) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(qmd::Board(0).interrupt_installed.load(), 1) << "still counts as installed";
    ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
    EXPECT_EQ(qmd::Board(0).interrupt_thread_exit, 4u);
}

TEST_F(Interrupts, FailedDrainEndsTheThreadWithCodeThree) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    qmdsim_fault_request(0, 0x90002008, 1, QMDSIM_FAULT_CALL, 0);
    const qmdsim_interrupt r = Interrupt(1, 1, 0);
    qmdsim_raise_interrupt(0, &r);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
    EXPECT_EQ(qmd::Board(0).interrupt_thread_exit, 3u);
    EXPECT_EQ(g_calls.load(), 0);
}

TEST_F(Interrupts, TheRoutineMayCallTheLibraryForItsBoard) {
    static std::atomic<int> port{-1};
    port = -1;
    qmdsim_set_digital_inputs(0, 0x5A);
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(
                  handle,
                  [](QMD5820_HANDLE h, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
                      uint8_t value = 0;
                      if (i_QMD5820_Read8DigitalInputs(h, &value) == 0) port = value;
                      ++g_calls;
                  }),
              0);
    const qmdsim_interrupt r = Interrupt(1, 1, 0);
    qmdsim_raise_interrupt(0, &r);
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(port.load(), 0x5A);
}

TEST_F(Interrupts, TimerInterruptsReachTheRoutine) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 1, 9, 1), 0);  // 10 ms periods
    qmdsim_advance_us(35000);
    ASSERT_TRUE(WaitForCalls(3));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_delivered[0].info, QMDSIM_INTERRUPT_TIMER);
    EXPECT_EQ(g_delivered[2].value1, 3u);
}

TEST_F(Interrupts, EachFailingInstallationStepHasItsCodeAndReleasesWhatItMade) {
    struct Case {
        const char* what;
        void (*arrange)();
        int16_t code;
        int events_closed;
    };
    const Case cases[] = {
        {"kill event", [] { FakePlatform::fail_event_number[1] = true; }, -3, 0},
        {"interrupt event", [] { FakePlatform::fail_event_number[2] = true; }, -4, 1},
        {"thread", [] { FakePlatform::fail_thread = true; }, -5, 2},
        {"process priority", [] { FakePlatform::fail_process_priority = true; }, -6, 2},
        {"thread priority", [] { FakePlatform::fail_thread_priority = true; }, -7, 2},
        {"registration",
         [] { qmdsim_fault_request(0, 0x90002004, 1, QMDSIM_FAULT_CALL, 0); }, -8, 2},
    };
    FakePlatform::Install();
    for (const Case& c : cases) {
        FakePlatform::Reset();
        c.arrange();
        EXPECT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), c.code) << c.what;
        // A started thread that does not end within the stop's wait (a loaded machine)
        // releases its events itself when it ends: wait for that, then count.
        for (int i = 0; i < 5000 && FakePlatform::events_closed < c.events_closed; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(FakePlatform::events_closed.load(), c.events_closed) << c.what;
        EXPECT_EQ(qmd::Board(0).interrupt_installed.load(), 0) << c.what;
        EXPECT_EQ(qmd::Board(0).interrupt_event, 0u) << c.what;
        qmdsim_fault_clear();
    }
    FakePlatform::Reset();
    EXPECT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0) << "nothing left behind";
}

TEST_F(Interrupts, ARoutineThatOutlivesTheRemovalReleasesItsEventsWhenItReturns) {
    static std::atomic<bool> inside{false}, release{false};
    inside = false;
    release = false;
    FakePlatform::Install();
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(
                  handle,
                  [](QMD5820_HANDLE, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
                      inside = true;
                      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }),
              0);
    const qmdsim_interrupt r = Interrupt(1, 1, 0);
    qmdsim_raise_interrupt(0, &r);
    qmdsim_raise_interrupt(0, &r);
    for (int i = 0; i < 2000 && !inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(inside);
    EXPECT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0) << "gives up waiting";
    EXPECT_EQ(FakePlatform::events_closed.load(), 0) << "the thread may still use them";
    EXPECT_EQ(qmd::Board(0).interrupt_installed.load(), 0);
    // A new routine while the old one still runs: the old thread never calls it.
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    release = true;
    ASSERT_TRUE(WaitForCalls(1));
    // The old thread closes its two events, then its thread object: wait for all three.
    for (int i = 0; i < 5000 && (FakePlatform::events_closed < 2 || FakePlatform::threads_closed < 1);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(FakePlatform::events_closed.load(), 2) << "released by the old thread at its end";
    EXPECT_EQ(FakePlatform::threads_closed.load(), 1);
    EXPECT_EQ(g_calls.load(), 1) << "the second record goes to the new routine once";
}

// A routine may remove its own installation (and install again) from inside: nothing
// waits for itself, every install delivers, and each ended thread leaves no descriptor
// or thread behind.
TEST_F(Interrupts, ARoutineThatRemovesItselfLeavesNothingBehind) {
    static std::atomic<int> removed{1};
    static std::atomic<int> reinstalled{1};
    struct Case {
        const char* what;
        qmd::InterruptRoutine routine;
        bool installed_after;
    };
    const Case cases[] = {
        {"removes itself",
         [](QMD5820_HANDLE h, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
             removed = i_QMD5820_ResetBoardIntRoutine(h);
             ++g_calls;
         },
         false},
        {"removes and installs itself again",
         [](QMD5820_HANDLE h, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
             removed = i_QMD5820_ResetBoardIntRoutine(h);
             reinstalled = i_QMD5820_SetBoardIntRoutine(
                 h, qmd::Board(0).interrupt_installed.load() == 0 ? Routine : nullptr);
             ++g_calls;
         },
         true},
    };
    // One cycle first, so that whatever the library or the test creates once exists.
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
    const int descriptors = OpenDescriptors();
    const int threads = Threads();
    const qmdsim_interrupt r = Interrupt(1, 1, 0);
    for (const Case& c : cases) {
        for (int cycle = 0; cycle < 60; ++cycle) {
            g_calls = 0;
            removed = reinstalled = 1;
            ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, c.routine), 0) << c.what << cycle;
            qmdsim_raise_interrupt(0, &r);
            ASSERT_TRUE(WaitForCalls(1)) << c.what << ", cycle " << cycle;
            EXPECT_EQ(removed.load(), 0) << c.what;
            if (c.installed_after) {
                EXPECT_EQ(reinstalled.load(), 0) << c.what;
                // The new installation delivers on a thread of its own.
                qmdsim_raise_interrupt(0, &r);
                ASSERT_TRUE(WaitForCalls(2)) << c.what << ", cycle " << cycle;
                ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
            }
            EXPECT_EQ(qmd::Board(0).interrupt_installed.load(), 0) << c.what;
        }
        EXPECT_TRUE(BackTo(descriptors, threads))
            << c.what << ": " << OpenDescriptors() - descriptors << " descriptors and "
            << Threads() - threads << " threads left";
    }
}

#ifndef _WIN32
// After a removal the driver may go on signalling the value it was given (no request
// tells it otherwise): that value must never reach anything else, not a later board's
// event, not a file. (On Windows the kernel driver holds its own reference to the event
// it was given; the simulated board there signals handle values, which Windows reuses.)
TEST_F(Interrupts, ADeadEventValueReachesNothing) {
    static std::atomic<int> other_calls{0};
    other_calls = 0;
    const QMD5820_HANDLE other = Open(1);
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 1, 0, 1), 0);  // 1 ms periods
    qmdsim_advance_us(3000);
    ASSERT_TRUE(WaitForCalls(1));
    ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);  // board 0's timer runs on
    std::FILE* file = std::tmpfile();  // takes a descriptor number the removal freed
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(
                  other, [](QMD5820_HANDLE, uint8_t, uint32_t, uint32_t, uint32_t*,
                            uint32_t) { ++other_calls; }),
              0);
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(other, 1, 0, 1), 0);
    for (int i = 0; i < 2000 && other_calls < 20; ++i) {
        qmdsim_advance_us(1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(other_calls.load(), 20);
    EXPECT_EQ(qmd::Board(1).interrupt_installed.load(), 1);
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(std::ftell(file), 0) << "the file received bytes";
    std::fclose(file);
    EXPECT_EQ(i_QMD5820_ResetBoardIntRoutine(other), 0);
    EXPECT_EQ(qmd::Board(1).interrupt_thread_exit, 0u) << "ended by its removal only";
}
#endif

// Records that wait in the driver when a routine is installed (a full queue included) are
// delivered: the driver signals a registration that finds records, and the library's
// thread drains once at its start even when nobody signals.
TEST_F(Interrupts, RecordsPendingAtTheInstallationAreDelivered) {
    struct Case {
        const char* what;
        bool driver_signals;
    };
    const Case cases[] = {{"driver signals", true}, {"nobody signals", false}};
    for (const Case& c : cases) {
        g_calls = 0;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_delivered.clear();
        }
        ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 1, 0, 1), 0);  // 1 ms periods
        qmdsim_advance_us(5000000);                                  // 5 s: a full queue
        ASSERT_EQ(i_QMD5820_StopTimer(handle), 0);
        ASSERT_EQ(qmdsim_pending_interrupts(0), QMDSIM_INTERRUPT_QUEUE) << c.what;
        if (!c.driver_signals) qmdsim_set_event_signaller(nullptr);
        ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, Routine), 0);
        EXPECT_TRUE(WaitForCalls(QMDSIM_INTERRUPT_QUEUE)) << c.what << ": " << g_calls.load();
        EXPECT_EQ(qmdsim_pending_interrupts(0), 0u) << c.what;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            ASSERT_FALSE(g_delivered.empty()) << c.what;
            EXPECT_EQ(g_delivered.front().value1, 1u) << c.what << ": oldest first";
        }
        ASSERT_EQ(i_QMD5820_ResetBoardIntRoutine(handle), 0);
        qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
    }
}

TEST_F(Interrupts, SignallingAValueThatIsNoEventFails) {
    EXPECT_EQ(qmd5820_signal_event(0), -1);
    EXPECT_EQ(qmd5820_signal_event(0x7FFF0000), -1);
}

}  // namespace
}  // namespace qmdtest
