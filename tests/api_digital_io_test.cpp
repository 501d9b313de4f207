// Digital inputs and outputs through the public API: the bytes each function sends, what it
// reads back, its result codes and records, and its effect on the simulated board's ports.
#include <string>
#include <vector>

#include "api_fixture.h"

namespace qmdtest {
namespace {

constexpr uint32_t kReadInputs = 0x90002140;
constexpr uint32_t kWriteOutputs = 0x90002144;
constexpr uint32_t kWriteMemory = 0x90002148;
constexpr uint32_t kReadOutputs = 0x9000214c;

constexpr uint8_t kCanary = 0xEE;
constexpr char kBadChannel[] =
    "The b_Channel parameter is wrong (value should be between 0 and 7)";

// One exported function with fixed arguments; `out` is its out byte where it has one.
struct DioFunction {
    const char* name;
    int16_t (*call)(QMD5820_HANDLE, uint8_t* out);
    uint32_t code;
    std::vector<uint8_t> sent;  // the exact request record
    bool has_out;
};

const DioFunction kFunctions[] = {
    {"i_QMD5820_Read8DigitalInputs",
     [](QMD5820_HANDLE h, uint8_t* out) { return i_QMD5820_Read8DigitalInputs(h, out); },
     kReadInputs, {0, 0}, true},
    {"i_QMD5820_Read1DigitalInput",
     [](QMD5820_HANDLE h, uint8_t* out) { return i_QMD5820_Read1DigitalInput(h, 2, out); },
     kReadInputs, {0, 0}, true},
    {"i_QMD5820_Set8DigitalOutputsOn",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_Set8DigitalOutputsOn(h, 0xA5); },
     kWriteOutputs, {0, 0xA5, 1}, false},
    {"i_QMD5820_Set8DigitalOutputsOff",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_Set8DigitalOutputsOff(h, 0x3C); },
     kWriteOutputs, {0, 0x3C, 0}, false},
    {"i_QMD5820_Set1DigitalOutputOn",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_Set1DigitalOutputOn(h, 3); },
     kWriteOutputs, {0, 0x08, 1}, false},
    {"i_QMD5820_Set1DigitalOutputOff",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_Set1DigitalOutputOff(h, 7); },
     kWriteOutputs, {0, 0x80, 0}, false},
    {"i_QMD5820_SetDigitalOutputMemoryOn",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_SetDigitalOutputMemoryOn(h); },
     kWriteMemory, {0, 1}, false},
    {"i_QMD5820_SetDigitalOutputMemoryOff",
     [](QMD5820_HANDLE h, uint8_t*) { return i_QMD5820_SetDigitalOutputMemoryOff(h); },
     kWriteMemory, {0, 0}, false},
    {"i_QMD5820_Get8DigitalOutputsStatus",
     [](QMD5820_HANDLE h, uint8_t* out) { return i_QMD5820_Get8DigitalOutputsStatus(h, out); },
     kReadOutputs, {0, 0}, true},
    {"i_QMD5820_Get1DigitalOutputStatus",
     [](QMD5820_HANDLE h, uint8_t* out) { return i_QMD5820_Get1DigitalOutputStatus(h, 5, out); },
     kReadOutputs, {0, 0}, true},
};

// The four functions that take a channel, called with any channel.
struct ChannelFunction {
    const char* name;
    int16_t (*call)(QMD5820_HANDLE, uint8_t channel, uint8_t* out);
    bool has_out;
};

const ChannelFunction kChannelFunctions[] = {
    {"i_QMD5820_Read1DigitalInput",
     [](QMD5820_HANDLE h, uint8_t c, uint8_t* out) { return i_QMD5820_Read1DigitalInput(h, c, out); },
     true},
    {"i_QMD5820_Get1DigitalOutputStatus",
     [](QMD5820_HANDLE h, uint8_t c, uint8_t* out) {
         return i_QMD5820_Get1DigitalOutputStatus(h, c, out);
     },
     true},
    {"i_QMD5820_Set1DigitalOutputOn",
     [](QMD5820_HANDLE h, uint8_t c, uint8_t*) { return i_QMD5820_Set1DigitalOutputOn(h, c); },
     false},
    {"i_QMD5820_Set1DigitalOutputOff",
     [](QMD5820_HANDLE h, uint8_t c, uint8_t*) { return i_QMD5820_Set1DigitalOutputOff(h, c); },
     false},
};


using DigitalIoTest = ApiTest;

TEST_F(DigitalIoTest, EachFunctionSendsOneExactRecord) {
    const QMD5820_HANDLE handle = Open(0);
    for (const DioFunction& f : kFunctions) {
        SCOPED_TRACE(f.name);
        qmdsim_trace_clear();
        uint8_t out = kCanary;
        ASSERT_EQ(f.call(handle, &out), 0);
        const std::vector<Request> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, f.code);
        EXPECT_EQ(requests[0].in, f.sent);
        EXPECT_EQ(requests[0].out.size(), f.sent.size());
        if (!f.has_out) {
            EXPECT_EQ(out, kCanary);
        }
        // A single-channel read records its own name, not that of the port read it made.
        EXPECT_EQ(LastError(handle), Text(f.name, "No error.", 0));
    }
}

TEST_F(DigitalIoTest, DriverStatusIsNegatedRecordedAndWritesNothing) {
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_set_digital_inputs(0, 0xFF);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(handle, 0xFF), 0);
    for (const DioFunction& f : kFunctions) {
        for (const uint8_t status : {uint8_t{7}, uint8_t{200}}) {
            SCOPED_TRACE(std::string(f.name) + " status " + std::to_string(status));
            qmdsim_fault_request(0, f.code, 1, QMDSIM_FAULT_STATUS, status);
            uint8_t out = kCanary;
            EXPECT_EQ(f.call(handle, &out), -status);
            EXPECT_EQ(out, kCanary);
            const std::string text = LastError(handle);
            EXPECT_EQ(text.rfind(std::string(f.name) + ": ", 0), 0u) << text;
            const std::string tail = " (-" + std::to_string(status) + ")";
            EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
        }
    }
}

TEST_F(DigitalIoTest, FailedCallGivesMinus100AndWritesNothing) {
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_set_digital_inputs(0, 0xFF);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(handle, 0xFF), 0);
    for (const DioFunction& f : kFunctions) {
        SCOPED_TRACE(f.name);
        qmdsim_fault_request(0, f.code, 1, QMDSIM_FAULT_CALL, 0);
        uint8_t out = kCanary;
        EXPECT_EQ(f.call(handle, &out), -100);
        EXPECT_EQ(out, kCanary);
        EXPECT_EQ(LastError(handle), Text(f.name, kIoctlFailed, -100));
    }
}

TEST_F(DigitalIoTest, UnknownHandleSendsAndRecordsNothing) {
    const QMD5820_HANDLE handle = Open(0);
    for (const DioFunction& f : kFunctions) {
        SCOPED_TRACE(f.name);
        for (const QMD5820_HANDLE unknown : {QMD5820_HANDLE{0}, handle + 1}) {
            uint8_t out = kCanary;
            EXPECT_EQ(f.call(unknown, &out), -1);
            EXPECT_EQ(out, kCanary);
        }
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(LastError(handle), "No error information is available for this board.");
}

TEST_F(DigitalIoTest, InputChannelsAreBitsOfThePort) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        uint8_t port;
        uint8_t bits[8];
    };
    const Case cases[] = {{0x05, {1, 0, 1, 0, 0, 0, 0, 0}}, {0xC2, {0, 1, 0, 0, 0, 0, 1, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.port));
        qmdsim_set_digital_inputs(0, c.port);
        uint8_t port = kCanary;
        ASSERT_EQ(i_QMD5820_Read8DigitalInputs(handle, &port), 0);
        EXPECT_EQ(port, c.port);
        for (uint8_t channel = 0; channel < 8; ++channel) {
            uint8_t bit = kCanary;
            ASSERT_EQ(i_QMD5820_Read1DigitalInput(handle, channel, &bit), 0);
            EXPECT_EQ(bit, c.bits[channel]) << "channel " << int{channel};
        }
    }
}

TEST_F(DigitalIoTest, OutputsFollowTheMasksAndReadBack) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOff(handle, 0xFF), 0);
    ASSERT_EQ(qmdsim_digital_outputs(0), 0x00);

    struct Step {
        const char* what;
        int16_t (*call)(QMD5820_HANDLE);
        uint8_t outputs;  // the port after the step
    };
    const Step steps[] = {
        {"on 0x5A", [](QMD5820_HANDLE h) { return i_QMD5820_Set8DigitalOutputsOn(h, 0x5A); }, 0x5A},
        {"off 0x0F", [](QMD5820_HANDLE h) { return i_QMD5820_Set8DigitalOutputsOff(h, 0x0F); }, 0x50},
        {"on ch 0", [](QMD5820_HANDLE h) { return i_QMD5820_Set1DigitalOutputOn(h, 0); }, 0x51},
        {"off ch 6", [](QMD5820_HANDLE h) { return i_QMD5820_Set1DigitalOutputOff(h, 6); }, 0x11},
        {"on ch 7", [](QMD5820_HANDLE h) { return i_QMD5820_Set1DigitalOutputOn(h, 7); }, 0x91},
        {"on ch 7 again", [](QMD5820_HANDLE h) { return i_QMD5820_Set1DigitalOutputOn(h, 7); }, 0x91},
        {"off mask 0", [](QMD5820_HANDLE h) { return i_QMD5820_Set8DigitalOutputsOff(h, 0); }, 0x91},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(s.call(handle), 0);
        EXPECT_EQ(qmdsim_digital_outputs(0), s.outputs);
        uint8_t port = kCanary;
        ASSERT_EQ(i_QMD5820_Get8DigitalOutputsStatus(handle, &port), 0);
        EXPECT_EQ(port, s.outputs);
        for (uint8_t channel = 0; channel < 8; ++channel) {
            uint8_t bit = kCanary;
            ASSERT_EQ(i_QMD5820_Get1DigitalOutputStatus(handle, channel, &bit), 0);
            EXPECT_EQ(bit, (s.outputs >> channel) & 1) << "channel " << int{channel};
        }
    }
    // The inputs are a port of their own.
    qmdsim_set_digital_inputs(0, 0x0F);
    uint8_t port = 0;
    ASSERT_EQ(i_QMD5820_Get8DigitalOutputsStatus(handle, &port), 0);
    EXPECT_EQ(port, 0x91);
}

TEST_F(DigitalIoTest, OutputMemorySwitch) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_SetDigitalOutputMemoryOn(handle), 0);
    EXPECT_EQ(qmdsim_digital_output_memory(0), 1);
    ASSERT_EQ(i_QMD5820_SetDigitalOutputMemoryOff(handle), 0);
    EXPECT_EQ(qmdsim_digital_output_memory(0), 0);
    ASSERT_EQ(i_QMD5820_SetDigitalOutputMemoryOn(handle), 0);
    EXPECT_EQ(qmdsim_digital_output_memory(0), 1);
}

TEST_F(DigitalIoTest, ChannelAbove7IsRefusedBeforeAnyRequest) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(handle, 0x0F), 0);
    qmdsim_trace_clear();
    for (const ChannelFunction& f : kChannelFunctions) {
        for (const uint8_t channel : {uint8_t{8}, uint8_t{255}}) {
            SCOPED_TRACE(std::string(f.name) + " channel " + std::to_string(channel));
            uint8_t out = kCanary;
            EXPECT_EQ(f.call(handle, channel, &out), -2);
            EXPECT_EQ(out, kCanary);
            EXPECT_EQ(LastError(handle), Text(f.name, kBadChannel, -2));
        }
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(qmdsim_digital_outputs(0), 0x0F);
}

TEST_F(DigitalIoTest, SingleChannelWritesSendOneBitMasks) {
    const QMD5820_HANDLE handle = Open(0);
    for (uint8_t channel = 0; channel < 8; ++channel) {
        SCOPED_TRACE(static_cast<int>(channel));
        qmdsim_trace_clear();
        ASSERT_EQ(i_QMD5820_Set1DigitalOutputOn(handle, channel), 0);
        ASSERT_EQ(i_QMD5820_Set1DigitalOutputOff(handle, channel), 0);
        const std::vector<Request> requests = Requests();
        ASSERT_EQ(requests.size(), 2u);
        const uint8_t mask = static_cast<uint8_t>(1u << channel);
        EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, mask, 1}));
        EXPECT_EQ(requests[1].in, (std::vector<uint8_t>{0, mask, 0}));
    }
}

TEST_F(DigitalIoTest, MaskZeroIsStillSent) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(handle, 0), 0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOff(handle, 0), 0);
    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kWriteOutputs);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(requests[1].code, kWriteOutputs);
    EXPECT_EQ(requests[1].in, (std::vector<uint8_t>{0, 0, 0}));
}

TEST_F(DigitalIoTest, NullOutBytesAreSkipped) {
    const QMD5820_HANDLE handle = Open(0);
    EXPECT_EQ(i_QMD5820_Read8DigitalInputs(handle, nullptr), 0);
    EXPECT_EQ(i_QMD5820_Read1DigitalInput(handle, 1, nullptr), 0);
    EXPECT_EQ(i_QMD5820_Get8DigitalOutputsStatus(handle, nullptr), 0);
    EXPECT_EQ(i_QMD5820_Get1DigitalOutputStatus(handle, 1, nullptr), 0);
    EXPECT_EQ(Requests().size(), 4u);
}

}  // namespace
}  // namespace qmdtest
