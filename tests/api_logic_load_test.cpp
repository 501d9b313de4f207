// The logic load channel through the public API: the word layout of the records, what the
// read and status functions take from the reply, failures, and a load on the simulated board.
#include <array>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "fake_backend.h"

namespace qmdtest {
namespace {

constexpr uint32_t kCommand = 0x90002200;
constexpr uint32_t kWrite = 0x90002204;
constexpr uint32_t kRead = 0x90002208;
constexpr uint32_t kStatus = 0x9000220c;

// Commands of the simulated board's load model.
constexpr uint32_t kBeginLoad = 1;
constexpr uint32_t kEndLoad = 2;
constexpr uint32_t kRewind = 3;



using LogicLoadTest = ApiTest;

TEST_F(LogicLoadTest, WordsGoToBytes4To7) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_LoadLogicCommand(handle, kBeginLoad), 0);
    ASSERT_EQ(i_QMD5820_LoadLogicWrite(handle, 0xFFFFFFFFu), 0);
    ASSERT_EQ(i_QMD5820_LoadLogicWrite(handle, 0x12345678u), 0);
    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, kCommand);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(requests[1].code, kWrite);
    EXPECT_EQ(requests[1].in, (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(requests[2].in, (std::vector<uint8_t>{0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
    for (const Request& r : requests) EXPECT_EQ(r.out.size(), 8u);
    EXPECT_EQ(LastError(handle), "i_QMD5820_LoadLogicWrite: No error. (0)");
}

TEST_F(LogicLoadTest, CommandsArePassedThroughUnchecked) {
    // The board refuses a command it does not know; the library sends it all the same.
    const QMD5820_HANDLE handle = Open(0);
    EXPECT_EQ(i_QMD5820_LoadLogicCommand(handle, 0xA1B2C3D4u), -2);
    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
    const std::string text = LastError(handle);
    EXPECT_EQ(text.rfind("i_QMD5820_LoadLogicCommand: ", 0), 0u) << text;
    EXPECT_NE(text.find("(-2)"), std::string::npos) << text;
}

TEST_F(LogicLoadTest, ReadAndStatusSendZeroedRecords) {
    const QMD5820_HANDLE handle = Open(0);
    uint32_t word = 0;
    uint8_t status = 0;
    EXPECT_EQ(i_QMD5820_LoadLogicRead(handle, &word), -5);  // nothing loaded yet
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status), 0);
    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kRead);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>(8, 0)));
    EXPECT_EQ(requests[1].code, kStatus);
    EXPECT_EQ(requests[1].in, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(requests[1].out.size(), 2u);
}

TEST_F(LogicLoadTest, ReadTakesBytes4To7AndStatusByte1) {
    const QMD5820_HANDLE handle = Open(0);
    ScriptedDriver driver;
    driver.Answer(kRead, {0x00, 0xAA, 0xBB, 0xCC, 0x78, 0x56, 0x34, 0x12});
    driver.Answer(kStatus, {0x00, 0x5A});
    driver.Install();

    std::array<uint32_t, 3> word;
    word.fill(0xCCCCCCCCu);
    ASSERT_EQ(i_QMD5820_LoadLogicRead(handle, &word[1]), 0);
    EXPECT_EQ(word, (std::array<uint32_t, 3>{0xCCCCCCCCu, 0x12345678u, 0xCCCCCCCCu}));

    std::array<uint8_t, 3> status{0xCC, 0xCC, 0xCC};
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status[1]), 0);
    EXPECT_EQ(status, (std::array<uint8_t, 3>{0xCC, 0x5A, 0xCC}));
    EXPECT_EQ(LastError(handle), "i_QMD5820_GetLoadLogicStatus: No error. (0)");
}

TEST_F(LogicLoadTest, FailuresWriteNothingAndAreRecorded) {
    const QMD5820_HANDLE handle = Open(0);
    struct Function {
        const char* name;
        uint32_t code;
        std::size_t size;
    };
    const Function functions[] = {
        {"i_QMD5820_LoadLogicCommand", kCommand, 8},
        {"i_QMD5820_LoadLogicWrite", kWrite, 8},
        {"i_QMD5820_LoadLogicRead", kRead, 8},
        {"i_QMD5820_GetLoadLogicStatus", kStatus, 2},
    };
    for (const Function& f : functions) {
        for (const bool call_fails : {false, true}) {
            SCOPED_TRACE(std::string(f.name) + (call_fails ? " failed call" : " status 9"));
            // A reply that would be a valid word and status if it were taken.
            std::vector<uint8_t> reply(f.size, 0x77);
            reply[0] = call_fails ? 0 : 9;
            ScriptedDriver driver;
            driver.Answer(f.code, reply, !call_fails);
            driver.Install();

            uint32_t word = 0xCCCCCCCCu;
            uint8_t status = 0xCC;
            int16_t code = 0;
            switch (f.code) {
                case kCommand: code = i_QMD5820_LoadLogicCommand(handle, 1); break;
                case kWrite: code = i_QMD5820_LoadLogicWrite(handle, 1); break;
                case kRead: code = i_QMD5820_LoadLogicRead(handle, &word); break;
                default: code = i_QMD5820_GetLoadLogicStatus(handle, &status); break;
            }
            const int16_t expected = call_fails ? -100 : -9;
            EXPECT_EQ(code, expected);
            EXPECT_EQ(word, 0xCCCCCCCCu);
            EXPECT_EQ(status, 0xCC);
            const std::string text = LastError(handle);
            if (call_fails) {
                EXPECT_EQ(text, Text(f.name, kIoctlFailed, -100));
            } else {
                EXPECT_EQ(text.rfind(std::string(f.name) + ": ", 0), 0u) << text;
                EXPECT_NE(text.find("(-9)"), std::string::npos) << text;
            }
        }
    }
}

TEST_F(LogicLoadTest, UnknownHandleSendsAndRecordsNothing) {
    const QMD5820_HANDLE handle = Open(0);
    uint32_t word = 0xCCCCCCCCu;
    uint8_t status = 0xCC;
    EXPECT_EQ(i_QMD5820_LoadLogicCommand(handle + 1, kBeginLoad), -1);
    EXPECT_EQ(i_QMD5820_LoadLogicWrite(handle + 1, 5), -1);
    EXPECT_EQ(i_QMD5820_LoadLogicRead(handle + 1, &word), -1);
    EXPECT_EQ(i_QMD5820_GetLoadLogicStatus(handle + 1, &status), -1);
    EXPECT_EQ(word, 0xCCCCCCCCu);
    EXPECT_EQ(status, 0xCC);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(LastError(handle), "No error information is available for this board.");
}

TEST_F(LogicLoadTest, RoundTripThroughTheSimulatedBoard) {
    const QMD5820_HANDLE handle = Open(0);
    const uint32_t words[] = {0xDEADBEEFu, 0x00000000u, 0x80000001u, 0x0102A0B0u};

    // Writing before a load is open is refused by the board.
    EXPECT_EQ(i_QMD5820_LoadLogicWrite(handle, 1), -3);
    EXPECT_EQ(qmdsim_logic_word_count(0), 0u);

    ASSERT_EQ(i_QMD5820_LoadLogicCommand(handle, kBeginLoad), 0);
    uint8_t status = 0;
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status), 0);
    EXPECT_EQ(status & 0x03, 0x01);  // open, not completed

    for (const uint32_t w : words) ASSERT_EQ(i_QMD5820_LoadLogicWrite(handle, w), 0);
    ASSERT_EQ(i_QMD5820_LoadLogicCommand(handle, kEndLoad), 0);
    EXPECT_EQ(qmdsim_logic_word_count(0), 4u);
    EXPECT_EQ(qmdsim_logic_last_command(0), kEndLoad);
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status), 0);
    EXPECT_EQ(status & 0x03, 0x02);  // completed, no longer open

    ASSERT_EQ(i_QMD5820_LoadLogicCommand(handle, kRewind), 0);
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status), 0);
    EXPECT_EQ(status & 0x04, 0x00);  // read pointer not at the end
    for (const uint32_t w : words) {
        uint32_t read = 0xCCCCCCCCu;
        ASSERT_EQ(i_QMD5820_LoadLogicRead(handle, &read), 0);
        EXPECT_EQ(read, w);
    }
    ASSERT_EQ(i_QMD5820_GetLoadLogicStatus(handle, &status), 0);
    EXPECT_EQ(status & 0x04, 0x04);  // read pointer at the end

    // Past the end: the board's status, nothing written.
    uint32_t read = 0xCCCCCCCCu;
    EXPECT_EQ(i_QMD5820_LoadLogicRead(handle, &read), -5);
    EXPECT_EQ(read, 0xCCCCCCCCu);
    const std::string text = LastError(handle);
    EXPECT_EQ(text.rfind("i_QMD5820_LoadLogicRead: ", 0), 0u) << text;
    EXPECT_NE(text.find("(-5)"), std::string::npos) << text;
}

}  // namespace
}  // namespace qmdtest
