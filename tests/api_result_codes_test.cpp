// Result codes the other suites do not produce: driver statuses and failed requests of the
// acquisition starts and reads, and every installation failure of the LabVIEW event. Each
// case checks the returned code, the recorded last-error text and what the call left behind.
#include <functional>
#include <string>

#include "api_fixture.h"
#include "core/catalogue.h"
#include "qmd5820_protocol/requests.h"
#include "fake_platform.h"

namespace qmdtest {
namespace {

namespace req = qmd::req;

constexpr uint64_t kUntouched = 0xDEADBEEFCAFEF00Dull;

struct CodeCase {
    const char* what;
    std::function<void(QMD5820_HANDLE)> arrange;  // faults and state before the call
    const char* function;
    std::function<int16_t(QMD5820_HANDLE)> call;
    int16_t expected;
};

class ResultCodes : public ApiTest, public ::testing::WithParamInterface<CodeCase> {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        FakePlatform::Reset();
        FakePlatform::Install();
        handle = Open();
    }
    void TearDown() override {
        (void)i_QMD5820_ResetBoardIntRoutine(handle);
        FakePlatform::Reset();
        qmd::platform::ReplaceForTesting(nullptr);
        ApiTest::TearDown();
    }
    QMD5820_HANDLE handle = 0;
};

// A factory transducer type that the board's database holds.
uint8_t KnownIndex() {
    qmdsim_transducer t{};
    qmdsim_factory_transducer(0, &t);
    return t.transducer_index;
}

uint8_t g_channels[16] = {3, 4};
uint8_t g_indexes[16] = {};
uint64_t g_address = kUntouched;

int16_t StartAutoRefresh(QMD5820_HANDLE h) {
    std::fill(std::begin(g_indexes), std::end(g_indexes), KnownIndex());
    g_address = kUntouched;
    return i_QMD5820_InitAndStartAutoRefreshAcquisition(h, 2, g_channels, g_indexes, &g_address);
}

int16_t StartSequence(QMD5820_HANDLE h, uint8_t soft_trigger_mode) {
    std::fill(std::begin(g_indexes), std::end(g_indexes), KnownIndex());
    return i_QMD5820_InitAndStartTransducerSequence(h, 2, 0, 2, g_channels, g_indexes, 0,
                                                    soft_trigger_mode, 0, 0);
}

void Routine(QMD5820_HANDLE, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {}

void InstallRoutine(QMD5820_HANDLE h) { ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(h, Routine), 0); }

void FaultStatus(uint32_t code, uint8_t status) {
    qmdsim_fault_request(0, code, 1, QMDSIM_FAULT_STATUS, status);
}
void FaultCall(uint32_t code) { qmdsim_fault_request(0, code, 1, QMDSIM_FAULT_CALL, 0); }

void InitChannels(QMD5820_HANDLE h) {
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(h, 3, KnownIndex(), 0.0), 0);
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(h, 4, KnownIndex(), 0.0), 0);
}

int16_t ReadMore(QMD5820_HANDLE h) {
    uint16_t raw[2] = {};
    return i_QMD5820_ReadMoreTransducerChannels(h, 2, g_channels, raw);
}

int16_t SetLabView(QMD5820_HANDLE h) {
    uint32_t reference = 7;
    return i_QMD5820_SetLabViewInterrupt(h, &reference);
}

const CodeCase kCases[] = {
    // Auto-refresh start: driver statuses of the start request, a failed initialisation,
    // a failed request.
    {"AutoRefreshEepromUnreadable", [](QMD5820_HANDLE) { FaultStatus(req::kStartAutoRefresh, 3); },
     "i_QMD5820_InitAndStartAutoRefreshAcquisition", StartAutoRefresh, -3},
    {"AutoRefreshChannelInvalid", [](QMD5820_HANDLE) { FaultStatus(req::kStartAutoRefresh, 4); },
     "i_QMD5820_InitAndStartAutoRefreshAcquisition", StartAutoRefresh, -4},
    {"AutoRefreshInitialisationFails", [](QMD5820_HANDLE) { FaultStatus(req::kInitChannel, 3); },
     "i_QMD5820_InitAndStartAutoRefreshAcquisition", StartAutoRefresh, -5},
    {"AutoRefreshRequestFails", [](QMD5820_HANDLE) { FaultCall(req::kStartAutoRefresh); },
     "i_QMD5820_InitAndStartAutoRefreshAcquisition", StartAutoRefresh, -100},
    // Sequence start (a routine installed first): the driver's refusals and a failed request.
    {"SequenceSizeRefused",
     [](QMD5820_HANDLE h) { InstallRoutine(h); },
     "i_QMD5820_InitAndStartTransducerSequence",
     [](QMD5820_HANDLE h) {
         return i_QMD5820_InitAndStartTransducerSequence(h, 2, 0, 0, g_channels, g_indexes, 0, 0,
                                                         0, 0);
     },
     -3},
    {"SequenceSoftTriggerModeRefused", [](QMD5820_HANDLE h) { InstallRoutine(h); },
     "i_QMD5820_InitAndStartTransducerSequence", [](QMD5820_HANDLE h) { return StartSequence(h, 2); },
     -4},
    {"SequenceEepromUnreadable",
     [](QMD5820_HANDLE h) {
         InstallRoutine(h);
         FaultStatus(req::kStartSequence, 5);
     },
     "i_QMD5820_InitAndStartTransducerSequence", [](QMD5820_HANDLE h) { return StartSequence(h, 0); },
     -5},
    {"SequenceChannelInvalid",
     [](QMD5820_HANDLE h) {
         InstallRoutine(h);
         FaultStatus(req::kStartSequence, 6);
     },
     "i_QMD5820_InitAndStartTransducerSequence", [](QMD5820_HANDLE h) { return StartSequence(h, 0); },
     -6},
    {"SequenceRequestFails",
     [](QMD5820_HANDLE h) {
         InstallRoutine(h);
         FaultCall(req::kStartSequence);
     },
     "i_QMD5820_InitAndStartTransducerSequence", [](QMD5820_HANDLE h) { return StartSequence(h, 0); },
     -100},
    // Reading several channels: the driver's statuses of a read.
    {"ReadMoreEepromUnreadable",
     [](QMD5820_HANDLE h) {
         InitChannels(h);
         FaultStatus(req::kReadChannel, 3);
     },
     "i_QMD5820_ReadMoreTransducerChannels", ReadMore, -3},
    {"ReadMoreDuringAcquisition",
     [](QMD5820_HANDLE h) {
         InitChannels(h);
         qmdsim_set_acquisition_running(0, 1);
     },
     "i_QMD5820_ReadMoreTransducerChannels", ReadMore, -50},
    // Failed requests of the single-request functions.
    {"StopRequestFails", [](QMD5820_HANDLE) { FaultCall(req::kStopAcquisition); },
     "i_QMD5820_StopTransducerAcquisition", i_QMD5820_StopTransducerAcquisition, -100},
    {"RearmRequestFails", [](QMD5820_HANDLE) { FaultCall(req::kRearmPrimaryLine); },
     "i_QMD5820_RearmPrimaryLine", i_QMD5820_RearmPrimaryLine, -100},
    {"Read1RequestFails",
     [](QMD5820_HANDLE h) {
         InitChannels(h);
         FaultCall(req::kReadChannel);
     },
     "i_QMD5820_Read1TransducerChannel",
     [](QMD5820_HANDLE h) {
         uint16_t raw = 0;
         return i_QMD5820_Read1TransducerChannel(h, 3, &raw);
     },
     -100},
    {"DivisionFactorRequestFails", [](QMD5820_HANDLE) { FaultCall(req::kConvertTimeDivision); },
     "i_QMD5820_SetConvertTimeDivisionFactor",
     [](QMD5820_HANDLE h) { return i_QMD5820_SetConvertTimeDivisionFactor(h, 10); }, -100},
    {"ShortCircuitSwitchRequestFails",
     [](QMD5820_HANDLE) { FaultCall(req::kShortCircuitInterrupts); },
     "i_QMD5820_EnableDisableShortCircuitInterrupts",
     [](QMD5820_HANDLE h) { return i_QMD5820_EnableDisableShortCircuitInterrupts(h, 1); }, -100},
    // LabVIEW event installation: each failing step.
    {"LabViewKillEventFails", [](QMD5820_HANDLE) { FakePlatform::fail_event_number[1] = true; },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -3},
    {"LabViewInterruptEventFails",
     [](QMD5820_HANDLE) { FakePlatform::fail_event_number[2] = true; },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -4},
    {"LabViewThreadFails", [](QMD5820_HANDLE) { FakePlatform::fail_thread = true; },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -5},
    {"LabViewProcessPriorityFails",
     [](QMD5820_HANDLE) { FakePlatform::fail_process_priority = true; },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -6},
    {"LabViewThreadPriorityFails",
     [](QMD5820_HANDLE) { FakePlatform::fail_thread_priority = true; },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -7},
    {"LabViewRegistrationFails", [](QMD5820_HANDLE) { FaultCall(req::kRegisterInterruptEvent); },
     "i_QMD5820_SetLabViewInterrupt", SetLabView, -8},
};

TEST_P(ResultCodes, CodeAndLastErrorText) {
    const CodeCase& c = GetParam();
    c.arrange(handle);
    if (HasFatalFailure()) return;
    FakePlatform::events_created = 0;
    EXPECT_EQ(c.call(handle), c.expected);
    const char* message = qmd::CatalogueMessage(c.function, c.expected);
    ASSERT_NE(message, nullptr) << "no catalogue row for " << c.function << " " << c.expected;
    EXPECT_EQ(LastError(handle), Text(c.function, message, c.expected));
}

INSTANTIATE_TEST_SUITE_P(Catalogue, ResultCodes, ::testing::ValuesIn(kCases),
                         [](const auto& param_info) { return std::string(param_info.param.what); });

// What a refused auto-refresh start leaves: no address stored, the channels initialised
// before the failure stay initialised.
TEST_F(ResultCodes, RefusedAutoRefreshStoresNoAddress) {
    FaultStatus(req::kStartAutoRefresh, 50);
    EXPECT_EQ(StartAutoRefresh(handle), -50);
    EXPECT_EQ(g_address, kUntouched);
    qmdsim_channel_state state{};
    qmdsim_channel(0, 4, &state);
    EXPECT_EQ(state.initialised, 1);
}

// A failed LabVIEW installation releases what it created and leaves no routine installed:
// a later installation succeeds.
TEST_F(ResultCodes, FailedLabViewInstallationCanBeRetried) {
    FakePlatform::fail_thread_priority = true;
    ASSERT_EQ(SetLabView(handle), -7);
    EXPECT_EQ(FakePlatform::events_closed.load(), 2);
    FakePlatform::fail_thread_priority = false;
    EXPECT_EQ(SetLabView(handle), 0);
    EXPECT_EQ(i_QMD5820_ResetLabViewInterrupt(handle), 0);
}

}  // namespace
}  // namespace qmdtest
