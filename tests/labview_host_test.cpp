// A program that looks like a LabVIEW process to the library: its executable exports
// AZNewHandle and PostLVUserEvent, so the bridge binds PostLVUserEvent from the executable
// itself without SetLVRTModule.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "QMD5820.h"
#include "core/board_table.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

#if defined(_WIN32)
#define TEST_EXPORT __declspec(dllexport)
#else
#define TEST_EXPORT __attribute__((visibility("default")))
#endif

namespace {
std::atomic<uint32_t> g_reference{0};
std::atomic<int> g_posts{0};
}  // namespace

extern "C" TEST_EXPORT void* AZNewHandle(int32_t) { return nullptr; }

extern "C" TEST_EXPORT int32_t PostLVUserEvent(uint32_t reference, void*) {
    g_reference = reference;
    ++g_posts;
    return 0;
}

TEST(LabViewHost, ExecutableExportingAZNewHandleIsTheRuntime) {
    qmdsim_reset();
    qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
    qmd::OnProcessAttach();
    QMD5820_HANDLE handle = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), 0);
    uint32_t reference = 0x5820;
    ASSERT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &reference), 0);
    qmdsim_interrupt record{};
    record.info = 3;
    qmdsim_raise_interrupt(0, &record);
    for (int i = 0; i < 2000 && g_posts.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(g_posts.load(), 1);
    EXPECT_EQ(g_reference.load(), 0x5820u);
    EXPECT_EQ(i_QMD5820_ResetLabViewInterrupt(handle), 0);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
}
