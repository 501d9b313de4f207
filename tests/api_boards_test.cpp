// Discovery, open by index and by identifier, open counting and close.
#include <algorithm>
#include <cstring>
#include <string>

#include "api_fixture.h"

namespace qmdtest {
namespace {

using Boards = ApiTest;

qmdsim_board_config BoardWithIdentifier(uint32_t index, const std::string& identifier) {
    qmdsim_board_config config{};
    qmdsim_default_board_config(index, &config);
    std::memset(config.identifier, 0, sizeof config.identifier);
    std::memcpy(config.identifier, identifier.data(),
                std::min(identifier.size(), sizeof config.identifier));
    return config;
}

TEST_F(Boards, CountsTheDemoBoards) {
    uint8_t count = 77;
    EXPECT_EQ(i_QMD5820_GetNumberOfBoards(&count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(qmd::BoardCount().load(), 2);
    EXPECT_EQ(i_QMD5820_GetNumberOfBoards(nullptr), 0);
}

TEST_F(Boards, FailedEnumerationGivesMinusOneAndZeroesTheCount) {
    for (int32_t fault : {-1, -3}) {
        uint8_t count = 0;
        ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&count), 0);
        qmdsim_fault_enumeration(fault);
        uint8_t untouched = 99;
        EXPECT_EQ(i_QMD5820_GetNumberOfBoards(&untouched), -1) << fault;
        EXPECT_EQ(untouched, 99);
        EXPECT_EQ(qmd::BoardCount().load(), 0);
        QMD5820_HANDLE handle = 5;
        EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), -1);
        EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), -1);
        EXPECT_EQ(handle, 5u);
        qmdsim_fault_enumeration(0);
    }
}

TEST_F(Boards, NoBoardPresent) {
    qmdsim_clear_boards();
    uint8_t count = 9;
    EXPECT_EQ(i_QMD5820_GetNumberOfBoards(&count), 0);
    EXPECT_EQ(count, 0);
    QMD5820_HANDLE handle = 0;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), -2);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), -4);
    EXPECT_EQ(handle, 0u);
}

TEST_F(Boards, SecondOpenReturnsTheSameHandleAndOnlyTheLastCloseReleasesIt) {
    QMD5820_HANDLE first = 0, second = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &first), 0);
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &second), 0);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(qmd::Board(0).open_count, 2);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);

    EXPECT_EQ(i_QMD5820_CloseBoard(first), 0);
    uint8_t port = 0;
    EXPECT_EQ(i_QMD5820_Read8DigitalInputs(first, &port), 0) << "still open after one close";
    EXPECT_EQ(i_QMD5820_CloseBoard(first), 0);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), 0u);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(i_QMD5820_Read8DigitalInputs(first, &port), -1);
    EXPECT_EQ(i_QMD5820_CloseBoard(first), -2);
}

TEST_F(Boards, OpenSendsTheHandshakeWithTheNewHandle) {
    QMD5820_HANDLE handle = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(1, &handle), 0);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 0x9001c014u);
    ASSERT_EQ(requests[0].in.size(), 8u);
    EXPECT_TRUE(requests[0].out.empty());
    uint64_t sent = 0;
    for (int i = 7; i >= 0; --i) sent = (sent << 8) | requests[0].in[static_cast<size_t>(i)];
    EXPECT_EQ(sent, handle);
    EXPECT_EQ(qmdsim_last_handshake(1), handle);

    // A further open of an open board makes no platform call at all.
    qmdsim_trace_clear();
    QMD5820_HANDLE again = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(1, &again), 0);
    qmdsim_trace_entry entry{};
    for (uint32_t i = 0; i < qmdsim_trace_count(); ++i) {
        ASSERT_EQ(qmdsim_trace_get(i, &entry), 0);
        EXPECT_EQ(entry.kind, QMDSIM_TRACE_COUNT) << "only the enumeration";
    }
}

TEST_F(Boards, FailedHandshakeIsIgnored) {
    qmdsim_fault_request(QMDSIM_ANY_BOARD, 0x9001c014, 0, QMDSIM_FAULT_CALL, 0);
    QMD5820_HANDLE handle = 0;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), 0);
    EXPECT_EQ(qmd::Board(0).open_count, 1);
}

TEST_F(Boards, IndexEqualToTheCountIsRefusedButUpdatesTheCount) {
    uint8_t count = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&count), 0);
    ASSERT_EQ(qmdsim_add_board(nullptr), 2);
    QMD5820_HANDLE handle = 1234;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(3, &handle), -2);
    EXPECT_EQ(handle, 1234u);
    EXPECT_EQ(qmd::BoardCount().load(), 3);
}

TEST_F(Boards, IndexesBeyondTheTableAreRefusedBeforeAnyRecordIsTouched) {
    while (qmdsim_board_count() < 40) ASSERT_GE(qmdsim_add_board(nullptr), 0);
    QMD5820_HANDLE handle = 1234;
    for (uint8_t index : {uint8_t{30}, uint8_t{39}}) {
        qmdsim_trace_clear();
        EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(index, &handle), -2);
        EXPECT_EQ(handle, 1234u);
        EXPECT_TRUE(Requests().empty());
    }
    EXPECT_EQ(qmd::BoardCount().load(), 40);
    // Board 29 is the last one that can be opened.
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(29, &handle), 0);
    EXPECT_EQ(qmd::Board(29).device_handle.load(), handle);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
}

TEST_F(Boards, EachFailingOpenStepHasItsCode) {
    struct Case {
        int32_t step;
        int16_t code;
        bool handle_written;
    };
    for (const Case c : {Case{-3, -3, false}, Case{-4, -4, false}, Case{-5, -5, false},
                         Case{-6, -6, false}, Case{-7, -7, true}}) {
        qmdsim_fault_open(0, c.step);
        QMD5820_HANDLE handle = 1234;
        EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), c.code);
        EXPECT_EQ(handle, c.handle_written ? QMD5820_INVALID_HANDLE_VALUE : 1234u);
        EXPECT_EQ(qmd::Board(0).open_count, 0);
        EXPECT_EQ(qmd::Board(0).device_handle.load(), 0u);
        EXPECT_EQ(qmdsim_open_handles(0), 0u);
        qmdsim_fault_open(0, 0);
    }
    QMD5820_HANDLE handle = 0;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), 0);
}

TEST_F(Boards, RecordCountingOpensWithoutAHandleGivesMinusNine) {
    qmd::BoardCount() = 2;
    qmd::Board(1).open_count = 1;  // a record damaged by a corrupting caller
    qmd::Board(1).device_handle = 0;
    QMD5820_HANDLE handle = 1234;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(1, &handle), -9);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(qmd::Board(1).open_count, 1);
    EXPECT_EQ(qmdsim_open_handles(1), 0u);
}

TEST_F(Boards, OpenWithoutOutputPointerStillOpens) {
    EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(0, nullptr), 0);
    EXPECT_EQ(qmd::Board(0).open_count, 1);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-1", nullptr), 0);
    EXPECT_EQ(qmd::Board(1).open_count, 1);
}

TEST_F(Boards, CloseOfUnknownHandles) {
    EXPECT_EQ(i_QMD5820_CloseBoard(0), -2);
    EXPECT_EQ(i_QMD5820_CloseBoard(0x1234), -2);
    const QMD5820_HANDLE handle = Open(0);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle + 1), -2);
    EXPECT_EQ(qmd::Board(0).open_count, 1);
}

TEST_F(Boards, FailedCloseGivesMinusOneAndForgetsTheHandle) {
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_fault_close(1);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), -1);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), 0u);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), -2);
}

TEST_F(Boards, CloseKeepsEverythingButTheHandle) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_Set1DigitalOutputOn(handle, 9), -2);
    qmd::Board(0).labview_event = 42;
    ASSERT_EQ(i_QMD5820_CloseBoard(handle), 0);
    EXPECT_STREQ(qmd::Board(0).last_function, "i_QMD5820_Set1DigitalOutputOn");
    EXPECT_EQ(qmd::Board(0).last_code, -2);
    EXPECT_EQ(qmd::Board(0).labview_event.load(), 42u);
}

// ---- open by identifier --------------------------------------------------------------------

TEST_F(Boards, OpenByIdentifierLeavesExactlyOneOpenOnTheMatchedBoard) {
    QMD5820_HANDLE handle = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-1", &handle), 0);
    EXPECT_EQ(qmd::Board(1).device_handle.load(), handle);
    EXPECT_EQ(qmd::Board(1).open_count, 1);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(qmdsim_open_handles(1), 1u);
    // One close releases it.
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
    EXPECT_EQ(qmdsim_open_handles(1), 0u);
}

TEST_F(Boards, OpenByIdentifierOfAnOpenBoardAddsOneOpen) {
    const QMD5820_HANDLE mine = Open(0);
    QMD5820_HANDLE handle = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), 0);
    EXPECT_EQ(handle, mine);
    EXPECT_EQ(qmd::Board(0).open_count, 2);
    // The first close leaves the board open (open count 1).
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
    EXPECT_EQ(qmd::Board(0).open_count, 1);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);
}

TEST_F(Boards, RepeatedOpensByIdentifierLeakNothing) {
    for (int i = 0; i < 40000; ++i) {
        QMD5820_HANDLE handle = 0;
        ASSERT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-1", &handle), 0);
        ASSERT_EQ(i_QMD5820_CloseBoard(handle), 0);
    }
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(qmd::Board(1).open_count, 0);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(qmdsim_open_handles(1), 0u);
}

TEST_F(Boards, IdentifierComparisonIsExact) {
    QMD5820_HANDLE handle = 1234;
    for (const char* wrong : {"qmd5820-demo-1", "QMD5820-DEMO-", "QMD5820-DEMO-10", "", " QMD5820-DEMO-1"}) {
        EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(wrong, &handle), -4) << wrong;
        EXPECT_EQ(handle, 1234u);
    }
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(nullptr, &handle), -4);
    EXPECT_EQ(qmdsim_open_handles(0) + qmdsim_open_handles(1), 0u);
}

TEST_F(Boards, LongIdentifiersAreComparedWhole) {
    qmdsim_clear_boards();
    const std::string fifty_one(51, 'x');
    const std::string fifty_two = std::string(51, 'y') + "Z";  // fills the field, no terminator
    ASSERT_EQ(qmdsim_add_board(nullptr), 0);
    qmdsim_board_config a = BoardWithIdentifier(1, fifty_one);
    qmdsim_board_config b = BoardWithIdentifier(2, fifty_two);
    ASSERT_EQ(qmdsim_add_board(&a), 1);
    ASSERT_EQ(qmdsim_add_board(&b), 2);

    QMD5820_HANDLE handle = 0;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(fifty_one.substr(0, 49).c_str(), &handle), -4);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(fifty_one.substr(0, 50).c_str(), &handle), -4);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier((fifty_one + "x").c_str(), &handle), -4);
    ASSERT_EQ(i_QMD5820_OpenBoardViaIdentifier(fifty_one.c_str(), &handle), 0);
    EXPECT_EQ(qmd::Board(1).device_handle.load(), handle);

    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(fifty_two.substr(0, 51).c_str(), &handle), -4);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier((fifty_two + "!").c_str(), &handle), -4);
    ASSERT_EQ(i_QMD5820_OpenBoardViaIdentifier(fifty_two.c_str(), &handle), 0);
    EXPECT_EQ(qmd::Board(2).device_handle.load(), handle);
}

TEST_F(Boards, UnreadableIdentifierStopsTheScan) {
    // The board information request of board 0 fails: the scan ends with -2.
    qmdsim_fault_request(0, 0x90002000, 1, QMDSIM_FAULT_CALL, 0);
    QMD5820_HANDLE handle = 1234;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-1", &handle), -2);
    EXPECT_EQ(handle, 1234u);
    EXPECT_EQ(qmdsim_open_handles(0), 0u) << "the scan's own open is released on failure";

    // Board 1 cannot be opened: its identifier cannot be read either.
    qmdsim_fault_open(1, -6);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-1", &handle), -2);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), 0)
        << "board 0 matches before board 1 is reached";
}

// Forwards everything to the simulated board but fails the n-th enumeration.
struct FailNthCount {
    static inline int calls = 0;
    static inline int fail_at = 0;
    static int32_t Count(void*) {
        const qmd5820_backend* sim = qmdsim_backend();
        return ++calls == fail_at ? -1 : sim->count_boards(sim->context);
    }
    static qmd5820_backend Table(int n) {
        calls = 0;
        fail_at = n;
        qmd5820_backend table = *qmdsim_backend();
        table.count_boards = Count;
        return table;
    }
};

TEST_F(Boards, FailedOpenOfTheMatchedBoardGivesMinusThree) {
    // Enumerations: the call itself, the scan's open of board 0, the final open of board 0.
    const qmd5820_backend table = FailNthCount::Table(3);
    ASSERT_EQ(qmd5820_install_backend(&table), 0);
    QMD5820_HANDLE handle = 1234;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), -3);
    EXPECT_EQ(handle, 1234u);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(FailNthCount::calls, 3);
}

}  // namespace
}  // namespace qmdtest
