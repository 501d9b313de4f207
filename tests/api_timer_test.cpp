// The board's timer through the public API: start, stop and trigger records, the status and
// value replies (crafted where the simulated board cannot produce the bytes), and the
// simulated countdown on the virtual clock.
#include <array>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "fake_backend.h"

namespace qmdtest {
namespace {

constexpr uint32_t kStartTimer = 0x90002180;
constexpr uint32_t kStopTimer = 0x90002184;
constexpr uint32_t kTriggerTimer = 0x90002188;
constexpr uint32_t kReadStatus = 0x9000218c;
constexpr uint32_t kReadValue = 0x90002190;



using TimerTest = ApiTest;

TEST_F(TimerTest, StartSendsTimeBaseReloadAndInterruptSwitch) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        uint8_t time_base;
        uint16_t reload;
        uint8_t interrupts;
        std::vector<uint8_t> sent;
    };
    const Case cases[] = {
        {1, 258, 1, {0, 1, 0x02, 0x01, 1, 0}},
        {2, 0xFFFF, 0, {0, 2, 0xFF, 0xFF, 0, 0}},
        {0, 0x00FF, 0, {0, 0, 0xFF, 0x00, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reload);
        qmdsim_trace_clear();
        ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, c.time_base, c.reload, c.interrupts), 0);
        const std::vector<Request> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, kStartTimer);
        EXPECT_EQ(requests[0].in, c.sent);
        EXPECT_EQ(requests[0].out.size(), 6u);
        EXPECT_EQ(LastError(handle), "i_QMD5820_InitAndStartTimer: No error. (0)");

        qmdsim_timer_state state{};
        qmdsim_timer(0, &state);
        EXPECT_EQ(state.running, 1);
        EXPECT_EQ(state.time_base, c.time_base);
        EXPECT_EQ(state.reload_value, c.reload);
        EXPECT_EQ(state.interrupt_enabled, c.interrupts);
    }
}

TEST_F(TimerTest, DriverRejectsTimeBaseAndInterruptSwitch) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        uint8_t time_base;
        uint8_t interrupts;
        int16_t code;
        const char* message;
    };
    const Case cases[] = {
        {3, 0, -2, "The b_TimeBase parameter is wrong (value should be between 0 and 2)"},
        {255, 1, -2, "The b_TimeBase parameter is wrong (value should be between 0 and 2)"},
        {0, 2, -3, "The b_InterruptEnabled parameter is wrong (value should be between 0 and 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        qmdsim_trace_clear();
        EXPECT_EQ(i_QMD5820_InitAndStartTimer(handle, c.time_base, 100, c.interrupts), c.code);
        // The library passes the values on; the driver does the checking.
        const std::vector<Request> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, c.time_base, 100, 0, c.interrupts, 0}));
        EXPECT_EQ(LastError(handle), Text("i_QMD5820_InitAndStartTimer", c.message, c.code));
        qmdsim_timer_state state{};
        qmdsim_timer(0, &state);
        EXPECT_EQ(state.running, 0);
    }
}

struct NoValueFunction {
    const char* name;
    int16_t (*call)(QMD5820_HANDLE);
    uint32_t code;
};

const NoValueFunction kStopAndTrigger[] = {
    {"i_QMD5820_StopTimer", i_QMD5820_StopTimer, kStopTimer},
    {"i_QMD5820_TriggerTimer", i_QMD5820_TriggerTimer, kTriggerTimer},
};

TEST_F(TimerTest, StopAndTriggerSendTheStatusByteAlone) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 1, 10, 0), 0);
    for (const NoValueFunction& f : kStopAndTrigger) {
        SCOPED_TRACE(f.name);
        qmdsim_trace_clear();
        ASSERT_EQ(f.call(handle), 0);
        const std::vector<Request> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, f.code);
        EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0}));
        EXPECT_EQ(requests[0].out.size(), 1u);
        EXPECT_EQ(LastError(handle), Text(f.name, "No error.", 0));
    }
}

TEST_F(TimerTest, FailuresOfEveryFunctionAreRecorded) {
    const QMD5820_HANDLE handle = Open(0);
    struct Function {
        const char* name;
        int16_t (*call)(QMD5820_HANDLE);
        uint32_t code;
    };
    const Function functions[] = {
        {"i_QMD5820_InitAndStartTimer",
         [](QMD5820_HANDLE h) { return i_QMD5820_InitAndStartTimer(h, 0, 5, 0); }, kStartTimer},
        {"i_QMD5820_StopTimer", i_QMD5820_StopTimer, kStopTimer},
        {"i_QMD5820_TriggerTimer", i_QMD5820_TriggerTimer, kTriggerTimer},
        {"i_QMD5820_ReadTimerStatus",
         [](QMD5820_HANDLE h) { return i_QMD5820_ReadTimerStatus(h, nullptr, nullptr, nullptr); },
         kReadStatus},
        {"i_QMD5820_ReadTimerValue",
         [](QMD5820_HANDLE h) { return i_QMD5820_ReadTimerValue(h, nullptr); }, kReadValue},
    };
    for (const Function& f : functions) {
        SCOPED_TRACE(f.name);
        qmdsim_fault_request(0, f.code, 1, QMDSIM_FAULT_CALL, 0);
        EXPECT_EQ(f.call(handle), -100);
        EXPECT_EQ(LastError(handle), Text(f.name, kIoctlFailed, -100));

        qmdsim_fault_request(0, f.code, 1, QMDSIM_FAULT_STATUS, 44);
        EXPECT_EQ(f.call(handle), -44);
        const std::string text = LastError(handle);
        EXPECT_EQ(text.rfind(std::string(f.name) + ": ", 0), 0u) << text;
        EXPECT_NE(text.find("(-44)"), std::string::npos) << text;

        EXPECT_EQ(f.call(handle + 1), -1);  // unknown handle: nothing recorded
        EXPECT_EQ(LastError(handle), text);
    }
}

// The three status outputs with a guard on each side.
struct StatusOutputs {
    std::array<uint8_t, 5> bytes;  // [1] and [3] are the two status bytes
    std::array<uint16_t, 3> words; // [1] is the status word
    StatusOutputs() {
        bytes.fill(0xCC);
        words.fill(0xCCCC);
    }
    int16_t Read(QMD5820_HANDLE handle) {
        return i_QMD5820_ReadTimerStatus(handle, &bytes[1], &bytes[3], &words[1]);
    }
};

TEST_F(TimerTest, StatusRepliesAreTakenFieldByField) {
    const QMD5820_HANDLE handle = Open(0);
    ScriptedDriver driver;
    driver.Answer(kReadStatus, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    driver.Install();

    StatusOutputs out;
    ASSERT_EQ(out.Read(handle), 0);
    // byte 1, byte 2, bytes 4-5; byte 3 is not used
    EXPECT_EQ(out.bytes, (std::array<uint8_t, 5>{0xCC, 0x11, 0xCC, 0x22, 0xCC}));
    EXPECT_EQ(out.words, (std::array<uint16_t, 3>{0xCCCC, 0x5544, 0xCCCC}));

    const std::vector<ScriptedDriver::Call> calls = driver.Ioctls(kReadStatus);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handle, handle);
    EXPECT_EQ(calls[0].in, (std::vector<uint8_t>(6, 0)));
    EXPECT_EQ(calls[0].out_size, 6u);
}

TEST_F(TimerTest, StatusIsWrittenOnlyOnSuccess) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        const char* what;
        std::vector<uint8_t> reply;
        bool ok;
        int16_t code;
    };
    const Case cases[] = {
        {"driver status", {0x06, 0x11, 0x22, 0x33, 0x44, 0x55}, true, -6},
        {"failed call with a plausible buffer", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, false, -100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDriver driver;
        driver.Answer(kReadStatus, c.reply, c.ok);
        driver.Install();
        StatusOutputs out;
        EXPECT_EQ(out.Read(handle), c.code);
        EXPECT_EQ(out.bytes, StatusOutputs().bytes);
        EXPECT_EQ(out.words, StatusOutputs().words);
    }
}

TEST_F(TimerTest, ValueComesFromBytes2And3) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        const char* what;
        std::vector<uint8_t> reply;
        bool ok;
        int16_t code;
        uint16_t value;  // what the output holds afterwards
    };
    const Case cases[] = {
        {"byte 1 ignored", {0x00, 0x99, 0x34, 0x12}, true, 0, 0x1234},
        {"high byte only", {0x00, 0x00, 0x00, 0x80}, true, 0, 0x8000},
        {"driver status", {0x03, 0x99, 0x34, 0x12}, true, -3, 0xCCCC},
        {"failed call", {0x00, 0x99, 0x34, 0x12}, false, -100, 0xCCCC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDriver driver;
        driver.Answer(kReadValue, c.reply, c.ok);
        driver.Install();
        std::array<uint16_t, 3> value;
        value.fill(0xCCCC);
        EXPECT_EQ(i_QMD5820_ReadTimerValue(handle, &value[1]), c.code);
        EXPECT_EQ(value, (std::array<uint16_t, 3>{0xCCCC, c.value, 0xCCCC}));
        const std::vector<ScriptedDriver::Call> calls = driver.Ioctls(kReadValue);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].in, (std::vector<uint8_t>(4, 0)));
    }
}

TEST_F(TimerTest, SimulatedCountdownOnTheVirtualClock) {
    const QMD5820_HANDLE handle = Open(0);
    // Time base 0: one count per microsecond; a period is reload + 1 counts.
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 0, 1000, 0), 0);
    uint16_t value = 0;
    ASSERT_EQ(i_QMD5820_ReadTimerValue(handle, &value), 0);
    EXPECT_EQ(value, 1000);

    qmdsim_advance_us(250);
    ASSERT_EQ(i_QMD5820_ReadTimerValue(handle, &value), 0);
    EXPECT_EQ(value, 750);

    qmdsim_advance_us(1001);  // one whole period later: same count, one more expiration
    ASSERT_EQ(i_QMD5820_ReadTimerValue(handle, &value), 0);
    EXPECT_EQ(value, 750);
    qmdsim_timer_state state{};
    qmdsim_timer(0, &state);
    EXPECT_EQ(state.expirations, 1);

    // Stopped, the count holds.
    ASSERT_EQ(i_QMD5820_StopTimer(handle), 0);
    qmdsim_advance_us(300);
    ASSERT_EQ(i_QMD5820_ReadTimerValue(handle, &value), 0);
    EXPECT_EQ(value, 750);
    qmdsim_timer(0, &state);
    EXPECT_EQ(state.running, 0);

    // Time base 1: one count per millisecond.
    ASSERT_EQ(i_QMD5820_InitAndStartTimer(handle, 1, 20, 0), 0);
    qmdsim_advance_us(5000);
    ASSERT_EQ(i_QMD5820_ReadTimerValue(handle, &value), 0);
    EXPECT_EQ(value, 15);
    qmdsim_timer(0, &state);
    EXPECT_EQ(state.expirations, 0);  // counted since the last start
}

TEST_F(TimerTest, NullOutputsAreSkipped) {
    const QMD5820_HANDLE handle = Open(0);
    EXPECT_EQ(i_QMD5820_ReadTimerStatus(handle, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(i_QMD5820_ReadTimerValue(handle, nullptr), 0);
    EXPECT_EQ(Requests().size(), 2u);
}

}  // namespace
}  // namespace qmdtest
