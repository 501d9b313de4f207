// LabVIEW user events: the run-time lookup, the binding of PostLVUserEvent, the event data
// byte for byte, and the fatal path without a run-time.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"
#include "fake_platform.h"
#include "interrupts/interrupts.h"

#if defined(_WIN32)
#define TEST_EXPORT __declspec(dllexport)
#else
#define TEST_EXPORT __attribute__((visibility("default")))
#endif

namespace qmdtest {
namespace {

struct Posted {
    int module;  // which stand-in run-time received it
    uint32_t reference;
    std::vector<uint8_t> event;
    std::vector<uint32_t> values;  // the array block: count, then values
};

std::mutex g_mutex;
std::vector<Posted> g_posted;
std::atomic<int> g_posts{0};

int32_t Record(int module, uint32_t reference, void* data) {
    Posted p{module, reference, {}, {}};
    const auto* event = static_cast<const uint8_t*>(data);
    p.event.assign(event, event + 16);
    // Bytes 16 to 23: the address of a variable that holds the address of the block.
    const auto handle = reinterpret_cast<const uint8_t* const*>(
        static_cast<uintptr_t>(qmd::bytes::GetU64(event + 16)));
    const uint8_t* block = *handle;
    const uint32_t n = qmd::bytes::GetU32(block);
    p.values.push_back(n);
    for (uint32_t i = 0; i < n; ++i) p.values.push_back(qmd::bytes::GetU32(block + 4 + 4 * i));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_posted.push_back(std::move(p));
    }
    ++g_posts;
    return 0;
}

}  // namespace
}  // namespace qmdtest

// The test program itself stands in for a LabVIEW run-time module that exports
// PostLVUserEvent (but neither gLVRTVersion nor AZNewHandle).
extern "C" TEST_EXPORT int32_t PostLVUserEvent(uint32_t reference, void* data) {
    return qmdtest::Record(0, reference, data);
}

namespace qmdtest {
namespace {

bool WaitForPosts(int n) {
    for (int i = 0; i < 2000 && g_posts.load() < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return g_posts.load() >= n;
}

// Stand-in modules for the lookup order: tokens for the main executable and the two
// run-time names, each exporting what the test says.
struct Modules {
    static inline bool main_has_version = false, main_has_handle = false;
    static inline bool lvrt_loaded = false, lvffrt_loaded = false;
    static inline bool post_missing = false;
    static inline int token[4] = {};  // main, lvrt, lvffrt, set by SetLVRTModule

    static int Id(void* m) { return static_cast<int>(static_cast<int*>(m) - token); }

    static void Install() {
        static const qmd::platform::Api api = Table();
        qmd::platform::ReplaceForTesting(&api);
    }

    static qmd::platform::Api Table() {
        qmd::platform::Api api = FakePlatform::Table();
        api.main_module = [] { return static_cast<void*>(&token[0]); };
        api.loaded_module = [](const char* name) -> void* {
            if (std::strcmp(name, qmd::platform::kLabViewRuntime) == 0) {
                return lvrt_loaded ? &token[1] : nullptr;
            }
            return lvffrt_loaded ? &token[2] : nullptr;
        };
        api.find_symbol = [](void* m, const char* name) -> void* {
            const int id = Id(m);
            if (std::strcmp(name, "PostLVUserEvent") == 0) {
                if (post_missing) return nullptr;
                static int32_t (*const posts[4])(uint32_t, void*) = {
                    [](uint32_t r, void* d) { return Record(10, r, d); },
                    [](uint32_t r, void* d) { return Record(11, r, d); },
                    [](uint32_t r, void* d) { return Record(12, r, d); },
                    [](uint32_t r, void* d) { return Record(13, r, d); }};
                return reinterpret_cast<void*>(posts[id]);
            }
            if (id != 0) return nullptr;
            if (std::strcmp(name, "gLVRTVersion") == 0 && main_has_version) return &token[0];
            if (std::strcmp(name, "AZNewHandle") == 0 && main_has_handle) return &token[0];
            return nullptr;
        };
        return api;
    }
};

class LabView : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        FakePlatform::Reset();
        qmd::ForgetLabVIEWRuntimeForTesting();
        g_posted.clear();
        g_posts = 0;
        Modules::main_has_version = Modules::main_has_handle = false;
        Modules::lvrt_loaded = Modules::lvffrt_loaded = Modules::post_missing = false;
        handle = Open();
    }
    void TearDown() override {
        (void)i_QMD5820_ResetLabViewInterrupt(handle);
        qmd::platform::ReplaceForTesting(nullptr);
        qmd::ForgetLabVIEWRuntimeForTesting();
        ApiTest::TearDown();
    }
    void Raise(uint32_t count) {
        qmdsim_interrupt r{};
        r.info = 0xA5;
        r.value1 = 0x11223344;
        r.value2 = 0x55667788;
        for (uint32_t i = 0; i < 32; ++i) r.data[i] = 1000 + i;
        r.data_count = count;
        qmdsim_raise_interrupt(0, &r);
    }
    QMD5820_HANDLE handle = 0;
};

TEST_F(LabView, EventDataIsLaidOutForLabVIEW) {
    SetLVRTModule(qmd::platform::SystemApi().main_module());
    uint32_t reference = 0xCAFE;
    ASSERT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &reference), 0);
    EXPECT_EQ(LastError(handle), "i_QMD5820_SetLabViewInterrupt: No error. (0)");
    Raise(40);
    Raise(0);
    Raise(3);
    ASSERT_TRUE(WaitForPosts(3));
    std::lock_guard<std::mutex> lock(g_mutex);
    const Posted& p = g_posted[0];
    EXPECT_EQ(p.module, 0);
    EXPECT_EQ(p.reference, 0xCAFEu);
    EXPECT_EQ(p.event, (std::vector<uint8_t>{0xA5, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77,
                                             0x66, 0x55, 0, 0, 0, 0}));
    ASSERT_EQ(p.values.size(), 33u) << "a count of 40 posts 32 values";
    EXPECT_EQ(p.values[0], 32u);
    EXPECT_EQ(p.values[32], 1031u);
    EXPECT_EQ(g_posted[1].values, (std::vector<uint32_t>{0}));
    EXPECT_EQ(g_posted[2].values, (std::vector<uint32_t>{3, 1000, 1001, 1002}));
}

TEST_F(LabView, RuntimeLookupOrder) {
    struct Case {
        const char* what;
        bool set_module, main_version, main_handle, lvrt, lvffrt;
        int expected;
    };
    const Case cases[] = {
        {"SetLVRTModule wins", true, true, true, true, true, 13},
        {"executable with gLVRTVersion", false, true, false, true, true, 10},
        {"executable with AZNewHandle beats a loaded lvrt", false, false, true, true, false, 10},
        {"lvrt", false, false, false, true, true, 11},
        {"lvffrt", false, false, false, false, true, 12},
    };
    Modules::Install();
    int posts = 0;
    for (const Case& c : cases) {
        qmd::ForgetLabVIEWRuntimeForTesting();
        if (c.set_module) SetLVRTModule(&Modules::token[3]);
        Modules::main_has_version = c.main_version;
        Modules::main_has_handle = c.main_handle;
        Modules::lvrt_loaded = c.lvrt;
        Modules::lvffrt_loaded = c.lvffrt;
        uint32_t reference = 1;
        ASSERT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &reference), 0) << c.what;
        Raise(1);
        ASSERT_TRUE(WaitForPosts(++posts)) << c.what;
        ASSERT_EQ(i_QMD5820_ResetLabViewInterrupt(handle), 0);
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_posted.back().module, c.expected) << c.what;
    }
}

TEST_F(LabView, BindingIsKeptForTheRestOfTheProcess) {
    Modules::Install();
    Modules::lvrt_loaded = true;
    uint32_t reference = 1;
    ASSERT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &reference), 0);
    Raise(1);
    ASSERT_TRUE(WaitForPosts(1));
    Modules::lvrt_loaded = false;  // the module search is not repeated
    Modules::lvffrt_loaded = true;
    Raise(1);
    ASSERT_TRUE(WaitForPosts(2));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_posted[1].module, 11);
}

TEST_F(LabView, SecondInstallStoresTheNewReferenceAndReturnsMinusTwo) {
    SetLVRTModule(qmd::platform::SystemApi().main_module());
    uint32_t first = 1, second = 2;
    ASSERT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &first), 0);
    EXPECT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &second), -2);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_SetLabViewInterrupt: An interrupt routine is already installed. Remove "
              "it with ResetBoardIntRoutine and retry (-2)");
    Raise(0);
    ASSERT_TRUE(WaitForPosts(1));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_posted[0].reference, 2u) << "later interrupts go to the new reference";
    }
    EXPECT_EQ(i_QMD5820_ResetLabViewInterrupt(handle), 0);
    EXPECT_EQ(LastError(handle), "i_QMD5820_ResetLabViewInterrupt: No error. (0)");
    EXPECT_EQ(qmd::Board(0).labview_event.load(), 2u) << "the reference stays";
    EXPECT_EQ(i_QMD5820_ResetLabViewInterrupt(handle), -2);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_ResetLabViewInterrupt: No interrupt routine was installed (-2)");
    EXPECT_EQ(i_QMD5820_SetLabViewInterrupt(0x1234, &first), -1);
}

TEST_F(LabView, InstallationFailuresAreRecordedUnderTheLabVIEWName) {
    FakePlatform::Install();
    FakePlatform::fail_thread_priority = true;
    uint32_t reference = 5;
    EXPECT_EQ(i_QMD5820_SetLabViewInterrupt(handle, &reference), -7);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_SetLabViewInterrupt: An error occurred while changing the priority of "
              "the interrupt thread (-7)");
    EXPECT_EQ(qmd::Board(0).labview_event.load(), 5u);
}

#if !defined(_WIN32)  // on Windows the fatal path shows a message box
using LabViewDeathTest = LabView;

TEST_F(LabViewDeathTest, NoRuntimeEndsTheProcessAtTheFirstPost) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            uint32_t reference = 1;
            if (i_QMD5820_SetLabViewInterrupt(handle, &reference) != 0) std::_Exit(7);
            Raise(1);
            std::this_thread::sleep_for(std::chrono::seconds(5));
            std::_Exit(8);
        },
        testing::ExitedWithCode(1), "LABVIEW.LIB was not called from a LabVIEW process.");
}

TEST_F(LabViewDeathTest, RuntimeWithoutPostLVUserEventEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Modules::Install();
            Modules::post_missing = true;
            SetLVRTModule(&Modules::token[3]);
            uint32_t reference = 1;
            if (i_QMD5820_SetLabViewInterrupt(handle, &reference) != 0) std::_Exit(7);
            Raise(1);
            std::this_thread::sleep_for(std::chrono::seconds(5));
            std::_Exit(8);
        },
        testing::ExitedWithCode(1), "LABVIEW.LIB could not locate \"PostLVUserEvent\"\\.");
}
#endif

}  // namespace
}  // namespace qmdtest
