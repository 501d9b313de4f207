// Foreign backends: installing and refusing tables, restoring the default, and exactly what
// a backend sees of an open and of a board information request.
#include <string.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "fake_backend.h"

extern "C" int qmd_c_api_smoke(void);
extern "C" int qmd_c_backend_smoke(void);

namespace qmdtest {
namespace {

constexpr uint32_t kOpenHandshake = 0x9001c014;
constexpr uint32_t kBoardInformation = 0x90002000;

// ---- a backend in plain C style: static functions, all state behind the context ----------

enum { kRecCount = 1, kRecOpen, kRecClose, kRecIoctl, kRecRead, kRecSleep, kRecClock };

typedef struct RecordedCall {
    int kind;
    uint64_t handle;
    uint32_t index;
    uint32_t code;
    uint32_t in_size;
    uint32_t out_size;
    uint8_t in[16];
} RecordedCall;

typedef struct Recorder {
    int32_t boards;
    uint64_t handle;               /* what board 0 opens as */
    uint8_t information[84];       /* the reply to the board information request */
    RecordedCall calls[32];
    unsigned call_count;
} Recorder;

static RecordedCall* rec_next(void* context, int kind) {
    Recorder* r = (Recorder*)context;
    if (r->call_count >= sizeof r->calls / sizeof r->calls[0]) return NULL;
    RecordedCall* call = &r->calls[r->call_count++];
    memset(call, 0, sizeof *call);
    call->kind = kind;
    return call;
}

static int32_t rec_count_boards(void* context) {
    rec_next(context, kRecCount);
    return ((Recorder*)context)->boards;
}

static int32_t rec_open_board(void* context, uint32_t index, uint64_t* handle) {
    RecordedCall* call = rec_next(context, kRecOpen);
    if (call) call->index = index;
    *handle = ((Recorder*)context)->handle + index;
    return QMD5820_OPEN_OK;
}

static int32_t rec_close_handle(void* context, uint64_t handle) {
    RecordedCall* call = rec_next(context, kRecClose);
    if (call) call->handle = handle;
    return 0;
}

static int32_t rec_device_io_control(void* context, uint64_t handle, uint32_t code,
                                     uint8_t* buffer, uint32_t in_size, uint32_t out_size) {
    Recorder* r = (Recorder*)context;
    RecordedCall* call = rec_next(context, kRecIoctl);
    if (call) {
        call->handle = handle;
        call->code = code;
        call->in_size = in_size;
        call->out_size = out_size;
        memcpy(call->in, buffer, in_size < sizeof call->in ? in_size : sizeof call->in);
    }
    if (code == kBoardInformation && out_size == sizeof r->information) {
        memcpy(buffer, r->information, sizeof r->information);
    }
    return 1;
}

static int32_t rec_read_stream(void* context, uint64_t handle, uint8_t* buffer, uint32_t size,
                               uint32_t* bytes_read) {
    (void)buffer;
    (void)size;
    RecordedCall* call = rec_next(context, kRecRead);
    if (call) call->handle = handle;
    *bytes_read = 0;
    return 0;
}

static void rec_sleep_ms(void* context, uint32_t ms) {
    RecordedCall* call = rec_next(context, kRecSleep);
    if (call) call->index = ms;
}

static int64_t rec_clock_seconds(void* context) {
    rec_next(context, kRecClock);
    return 0;
}

static qmd5820_backend rec_table(Recorder* r) {
    qmd5820_backend table;
    memset(&table, 0, sizeof table);
    table.size = sizeof table;
    table.context = r;
    table.count_boards = rec_count_boards;
    table.open_board = rec_open_board;
    table.close_handle = rec_close_handle;
    table.device_io_control = rec_device_io_control;
    table.read_stream = rec_read_stream;
    table.sleep_ms = rec_sleep_ms;
    table.clock_seconds = rec_clock_seconds;
    return table;
}

// ------------------------------------------------------------------------------------------

class BackendTest : public ApiTest {
protected:
    Recorder rec{};

    void SetUp() override {
        ApiTest::SetUp();
        rec.boards = 1;
        rec.handle = 0x0123456789ABCDEFull;
    }

    std::vector<int> Kinds() const {
        std::vector<int> kinds;
        for (unsigned i = 0; i < rec.call_count; ++i) kinds.push_back(rec.calls[i].kind);
        return kinds;
    }
};

TEST_F(BackendTest, IncompleteTablesAreRefusedAndTheActiveOneStays) {
    const qmd5820_backend good = rec_table(&rec);
    ASSERT_EQ(qmd5820_install_backend(&good), 0);

    struct Case {
        const char* what;
        void (*spoil)(qmd5820_backend&);
    };
    const Case cases[] = {
        {"no count", [](qmd5820_backend& t) { t.count_boards = nullptr; }},
        {"no open", [](qmd5820_backend& t) { t.open_board = nullptr; }},
        {"no close", [](qmd5820_backend& t) { t.close_handle = nullptr; }},
        {"no ioctl", [](qmd5820_backend& t) { t.device_io_control = nullptr; }},
        {"no read", [](qmd5820_backend& t) { t.read_stream = nullptr; }},
        {"no sleep", [](qmd5820_backend& t) { t.sleep_ms = nullptr; }},
        {"no clock", [](qmd5820_backend& t) { t.clock_seconds = nullptr; }},
        {"size 0", [](qmd5820_backend& t) { t.size = 0; }},
        {"size without the clock",
         [](qmd5820_backend& t) {
             t.size = static_cast<uint32_t>(offsetof(qmd5820_backend, clock_seconds));
         }},
        {"size one byte short", [](qmd5820_backend& t) { t.size = sizeof t - 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Another complete backend, spoiled in one place: the simulated board's table.
        qmd5820_backend bad = *qmdsim_backend();
        c.spoil(bad);
        EXPECT_EQ(qmd5820_install_backend(&bad), -1);

        rec.call_count = 0;
        uint8_t boards = 0;
        ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
        EXPECT_EQ(boards, 1);  // the recorder's count, not the simulated board set's
        EXPECT_EQ(Kinds(), (std::vector<int>{kRecCount}));
    }
}

TEST_F(BackendTest, NullRestoresTheDefault) {
    const qmd5820_backend table = rec_table(&rec);
    ASSERT_EQ(qmd5820_install_backend(&table), 0);
    uint8_t boards = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
    EXPECT_EQ(boards, 1);

    ASSERT_EQ(qmd5820_install_backend(nullptr), 0);
    rec.call_count = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
    EXPECT_EQ(boards, qmdsim_board_count());
    EXPECT_EQ(rec.call_count, 0u);
    EXPECT_EQ(qmd5820_default_backend(), qmdsim_backend());
}

TEST_F(BackendTest, TheTableIsCopiedAndLongerTablesAreAccepted) {
    // A later version's table with a member appended.
    struct Longer {
        qmd5820_backend base;
        void* appended;
    } longer{};
    longer.base = rec_table(&rec);
    longer.base.size = sizeof longer;
    longer.appended = &longer;
    ASSERT_EQ(qmd5820_install_backend(&longer.base), 0);
    // The caller's table may go away: the library keeps its own copy.
    std::memset(&longer, 0, sizeof longer);
    uint8_t boards = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
    EXPECT_EQ(boards, 1);
}

TEST_F(BackendTest, OpenIsCountOpenAndHandshake) {
    const qmd5820_backend table = rec_table(&rec);
    ASSERT_EQ(qmd5820_install_backend(&table), 0);
    QMD5820_HANDLE handle = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle), 0);
    EXPECT_EQ(handle, rec.handle);

    ASSERT_EQ(Kinds(), (std::vector<int>{kRecCount, kRecOpen, kRecIoctl}));
    EXPECT_EQ(rec.calls[1].index, 0u);
    const RecordedCall& handshake = rec.calls[2];
    EXPECT_EQ(handshake.handle, rec.handle);
    EXPECT_EQ(handshake.code, kOpenHandshake);
    EXPECT_EQ(handshake.in_size, 8u);
    EXPECT_EQ(handshake.out_size, 0u);
    EXPECT_EQ(std::vector<uint8_t>(handshake.in, handshake.in + 8),
              (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));

    // A second open is the library's own business: only the count reaches the backend.
    rec.call_count = 0;
    QMD5820_HANDLE again = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &again), 0);
    EXPECT_EQ(again, handle);
    EXPECT_EQ(Kinds(), (std::vector<int>{kRecCount}));
}

TEST_F(BackendTest, BoardInformationIsOneRequestBetweenOpenAndClose) {
    // A reply whose every byte differs, with garbage after the identifier's terminator and
    // in the three unused bytes after value 8.
    for (std::size_t i = 0; i < 32; ++i) rec.information[i] = static_cast<uint8_t>(i + 1);
    std::memcpy(rec.information + 32, "CRAFTED\0garbage", 15);
    const qmd5820_backend table = rec_table(&rec);
    ASSERT_EQ(qmd5820_install_backend(&table), 0);

    uint32_t v[7] = {};
    uint8_t v8 = 0;
    char identifier[40];
    std::memset(identifier, '#', sizeof identifier);
    ASSERT_EQ(i_QMD5820_GetBoardInformation(0, sizeof identifier, identifier, &v[0], &v[1],
                                            &v[2], &v[3], &v[4], &v[5], &v[6], &v8),
              0);

    ASSERT_EQ(Kinds(), (std::vector<int>{kRecCount, kRecOpen, kRecIoctl, kRecIoctl, kRecClose}));
    const RecordedCall& info = rec.calls[3];
    EXPECT_EQ(info.code, kBoardInformation);
    EXPECT_EQ(info.handle, rec.handle);
    EXPECT_EQ(info.in_size, 0u);
    EXPECT_EQ(info.out_size, 84u);
    EXPECT_EQ(rec.calls[4].handle, rec.handle);

    EXPECT_EQ(v[0], 0x04030201u);
    EXPECT_EQ(v[1], 0x0C0B0A09u);  // offset 8
    EXPECT_EQ(v[2], 0x08070605u);  // offset 4
    EXPECT_EQ(v[3], 0x100F0E0Du);
    EXPECT_EQ(v[4], 0x14131211u);
    EXPECT_EQ(v[5], 0x18171615u);
    EXPECT_EQ(v[6], 0x1C1B1A19u);
    EXPECT_EQ(v8, 0x1D);
    EXPECT_STREQ(identifier, "CRAFTED");
    EXPECT_EQ(identifier[8], '#');
}

TEST_F(BackendTest, FailedInformationRequestStillCloses) {
    ScriptedDriver driver(nullptr);
    driver.Answer(kBoardInformation, std::vector<uint8_t>(84, 0x41), false);
    driver.Install();
    uint32_t v1 = 0xCCCCCCCCu;
    char identifier[8] = "keep";
    EXPECT_EQ(i_QMD5820_GetBoardInformation(0, sizeof identifier, identifier, &v1, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              -2);
    EXPECT_EQ(v1, 0xCCCCCCCCu);
    EXPECT_STREQ(identifier, "keep");
    std::vector<ScriptedDriver::Kind> kinds;
    for (const ScriptedDriver::Call& c : driver.Calls()) kinds.push_back(c.kind);
    EXPECT_EQ(kinds, (std::vector<ScriptedDriver::Kind>{
                         ScriptedDriver::kCount, ScriptedDriver::kOpen, ScriptedDriver::kIoctl,
                         ScriptedDriver::kIoctl, ScriptedDriver::kClose}));
    EXPECT_EQ(driver.Calls().back().handle, driver.handle_base);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
}

// ---- the public headers from C ------------------------------------------------------------

TEST_F(BackendTest, CTranslationUnitUsesTheApi) {
    EXPECT_EQ(qmd_c_api_smoke(), 0);
    EXPECT_EQ(qmdsim_digital_outputs(0), 0x81);
}

TEST_F(BackendTest, CTranslationUnitInstallsABackend) {
    EXPECT_EQ(qmd_c_backend_smoke(), 0);
    // The C backend restored the default when done.
    uint8_t boards = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
    EXPECT_EQ(boards, qmdsim_board_count());
}

}  // namespace
}  // namespace qmdtest
