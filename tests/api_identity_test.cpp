// Board identity and versions through the public API: board information, hardware revision
// and serial number from the EEPROM, library, driver and firmware versions.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "api_fixture.h"
#include "fake_backend.h"
#include "qmd5820_version.h"

namespace qmdtest {
namespace {

constexpr uint32_t kBoardInformation = 0x90002000;
constexpr uint32_t kOpenHandshake = 0x9001c014;
constexpr uint32_t kEepromRead = 0x9001c00c;
constexpr uint32_t kDriverVersion = 0x90002018;
constexpr uint32_t kFirmwareVersion = 0x9001c010;

constexpr char kNothingRecorded[] = "No error information is available for this board.";
constexpr uint32_t kCanary32 = 0xA5A5A5A5u;
constexpr uint8_t kCanary8 = 0xA5;
constexpr char kFill = '#';

// A board whose seven 32-bit values and 8-bit value are all distinct.
qmdsim_board_config DistinctBoard(const std::string& identifier) {
    qmdsim_board_config config{};
    qmdsim_default_board_config(0, &config);
    std::memset(config.identifier, 0, sizeof config.identifier);
    std::memcpy(config.identifier, identifier.data(),
                std::min(identifier.size(), sizeof config.identifier));
    for (uint32_t i = 0; i < 7; ++i) config.info_values[i] = 0x10203040u * (i + 1) + i;
    config.info_value8 = 0xC8;
    config.driver_version = 0x01020304;
    config.firmware_version = 0xF1E2D3C4;
    return config;
}

// The eight board values, pre-set to a canary so that unwritten outputs show.
struct BoardValues {
    std::array<uint32_t, 7> v;
    uint8_t v8 = kCanary8;
    BoardValues() { v.fill(kCanary32); }
};

int16_t GetInformation(uint8_t index, uint32_t size, char* identifier, BoardValues& values) {
    return i_QMD5820_GetBoardInformation(index, size, identifier, &values.v[0], &values.v[1],
                                         &values.v[2], &values.v[3], &values.v[4], &values.v[5],
                                         &values.v[6], &values.v8);
}

class IdentityTest : public ApiTest {
protected:
    // One board with the given identifier and distinct values.
    qmdsim_board_config UseBoard(const std::string& identifier) {
        const qmdsim_board_config config = DistinctBoard(identifier);
        qmdsim_clear_boards();
        EXPECT_EQ(qmdsim_add_board(&config), 0);
        return config;
    }
};

// ---- board information -------------------------------------------------------------------

TEST_F(IdentityTest, BoardInformationDeliversValuesInCrossedOrder) {
    const qmdsim_board_config config = UseBoard("QMD-ID-7");
    BoardValues values;
    char identifier[64];
    std::memset(identifier, kFill, sizeof identifier);

    ASSERT_EQ(GetInformation(0, sizeof identifier, identifier, values), 0);

    EXPECT_EQ(values.v[0], config.info_values[0]);
    EXPECT_EQ(values.v[1], config.info_values[2]);  // value 2 comes from offset 8
    EXPECT_EQ(values.v[2], config.info_values[1]);  // value 3 comes from offset 4
    for (std::size_t i = 3; i < 7; ++i) EXPECT_EQ(values.v[i], config.info_values[i]) << i;
    EXPECT_EQ(values.v8, 0xC8);
    EXPECT_STREQ(identifier, "QMD-ID-7");
}

TEST_F(IdentityTest, BoardInformationOpensAndClosesAroundOneRequest) {
    UseBoard("QMD-ID-7");
    qmdsim_trace_clear();
    BoardValues values;
    ASSERT_EQ(GetInformation(0, 0, nullptr, values), 0);

    // count, open, handshake, information request, close
    std::vector<uint32_t> kinds;
    std::vector<uint32_t> codes;
    qmdsim_trace_entry entry{};
    for (uint32_t i = 0; i < qmdsim_trace_count(); ++i) {
        ASSERT_EQ(qmdsim_trace_get(i, &entry), 0);
        kinds.push_back(entry.kind);
        if (entry.kind == QMDSIM_TRACE_IOCTL) {
            codes.push_back(entry.code);
            if (entry.code == kBoardInformation) {
                EXPECT_EQ(entry.in_size, 0u);
                EXPECT_EQ(entry.out_size, 84u);
            }
        }
    }
    EXPECT_EQ(kinds, (std::vector<uint32_t>{QMDSIM_TRACE_COUNT, QMDSIM_TRACE_OPEN,
                                            QMDSIM_TRACE_IOCTL, QMDSIM_TRACE_IOCTL,
                                            QMDSIM_TRACE_CLOSE}));
    EXPECT_EQ(codes, (std::vector<uint32_t>{kOpenHandshake, kBoardInformation}));
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), 0u);
}

TEST_F(IdentityTest, BoardInformationLeavesCallersOpensAsFound) {
    const QMD5820_HANDLE handle = Open(0);
    BoardValues values;
    ASSERT_EQ(GetInformation(0, 0, nullptr, values), 0);
    ASSERT_EQ(GetInformation(0, 0, nullptr, values), 0);

    EXPECT_EQ(qmd::Board(0).open_count, 1);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);
    // The information requests used the caller's handle and did not close it.
    uint8_t port = 0;
    EXPECT_EQ(i_QMD5820_Read8DigitalInputs(handle, &port), 0);
    // One close releases the board.
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);
    EXPECT_EQ(i_QMD5820_CloseBoard(handle), -2);
}

TEST_F(IdentityTest, BoardInformationRecordsNothing) {
    const QMD5820_HANDLE handle = Open(0);
    BoardValues values;
    ASSERT_EQ(GetInformation(0, 0, nullptr, values), 0);
    EXPECT_EQ(LastError(handle), kNothingRecorded);
}

TEST_F(IdentityTest, IdentifierCopyIsBoundedByTheBufferSize) {
    const std::string id = "QMD-ABCDEFGHIJ";  // 14 characters
    UseBoard(id);
    struct Case {
        uint32_t size;
        std::string expected;  // what the buffer holds before its terminator
        bool written;
    };
    const Case cases[] = {
        {0, "", false},                   // nothing at all
        {1, "", true},                    // just the terminator
        {5, "QMD-", true},                // cut to size - 1 characters
        {14, "QMD-ABCDEFGHI", true},      // one short of the whole text
        {15, id, true},                   // exact fit
        {64, id, true},                   // ample room
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[80];
        std::memset(buffer, kFill, sizeof buffer);
        BoardValues values;
        ASSERT_EQ(GetInformation(0, c.size, buffer, values), 0);
        if (!c.written) {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, kFill));
            continue;
        }
        const std::size_t n = c.expected.size();
        EXPECT_EQ(std::string(buffer, n), c.expected);
        EXPECT_EQ(buffer[n], '\0');
        // Nothing beyond the terminator: no padding, no overrun.
        EXPECT_EQ(std::string(buffer + n + 1, sizeof buffer - n - 1),
                  std::string(sizeof buffer - n - 1, kFill));
    }
}

TEST_F(IdentityTest, LongIdentifiersAreHandledWhole) {
    // 50 and 51 characters are terminated inside the field; 52 fill it without a terminator.
    for (std::size_t length : {50u, 51u, 52u}) {
        SCOPED_TRACE(length);
        std::string id;
        for (std::size_t i = 0; i < length; ++i) id += static_cast<char>('A' + i % 26);
        UseBoard(id);

        char buffer[80];
        std::memset(buffer, kFill, sizeof buffer);
        BoardValues values;
        ASSERT_EQ(GetInformation(0, sizeof buffer, buffer, values), 0);
        EXPECT_EQ(std::string(buffer, length), id);
        EXPECT_EQ(buffer[length], '\0');
        EXPECT_EQ(buffer[length + 1], kFill);
        // The values before the field are unaffected by the identifier filling it.
        EXPECT_EQ(values.v8, 0xC8);

        // A buffer of exactly the field's size still gets a terminated, cut copy.
        std::memset(buffer, kFill, sizeof buffer);
        ASSERT_EQ(GetInformation(0, 52, buffer, values), 0);
        const std::size_t kept = std::min<std::size_t>(length, 51);
        EXPECT_EQ(std::string(buffer, kept), id.substr(0, kept));
        EXPECT_EQ(buffer[kept], '\0');
        EXPECT_EQ(buffer[52], kFill);
    }
}

TEST_F(IdentityTest, LongIdentifiersMatchWholeWhenOpening) {
    std::string id52;
    for (std::size_t i = 0; i < 52; ++i) id52 += static_cast<char>('a' + i % 26);
    UseBoard(id52);
    QMD5820_HANDLE handle = 0;
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(id52.substr(0, 49).c_str(), &handle), -4);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(id52.substr(0, 51).c_str(), &handle), -4);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier((id52 + "x").c_str(), &handle), -4);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(i_QMD5820_OpenBoardViaIdentifier(id52.c_str(), &handle), 0);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), handle);
}

TEST_F(IdentityTest, NullOutputsAreSkipped) {
    const qmdsim_board_config config = UseBoard("QMD-NULL");
    EXPECT_EQ(i_QMD5820_GetBoardInformation(0, 50, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr),
              0);
    // Only some outputs given: those are written, and correctly.
    uint32_t v2 = kCanary32, v7 = kCanary32;
    char identifier[16];
    EXPECT_EQ(i_QMD5820_GetBoardInformation(0, sizeof identifier, identifier, nullptr, &v2,
                                            nullptr, nullptr, nullptr, nullptr, &v7, nullptr),
              0);
    EXPECT_EQ(v2, config.info_values[2]);
    EXPECT_EQ(v7, config.info_values[6]);
    EXPECT_STREQ(identifier, "QMD-NULL");
}

TEST_F(IdentityTest, BoardIndexEqualToBoardCountGivesMinusOne) {
    uint8_t boards = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), 0);
    ASSERT_GT(boards, 0);
    qmdsim_trace_clear();

    BoardValues values;
    char identifier[8];
    std::memset(identifier, kFill, sizeof identifier);
    EXPECT_EQ(GetInformation(boards, sizeof identifier, identifier, values), -1);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(values.v, BoardValues().v);
    EXPECT_EQ(values.v8, kCanary8);
    EXPECT_EQ(identifier[0], kFill);
}

TEST_F(IdentityTest, OpenFailuresGiveMinusOne) {
    struct Case {
        const char* what;
        int32_t enumeration;
        int32_t open_step;
    };
    const Case cases[] = {{"enumeration fails", -1, 0},
                          {"enumeration ends badly", -3, 0},
                          {"device cannot be opened", 0, -7},
                          {"no interface detail", 0, -6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qmdsim_fault_clear();
        if (c.enumeration != 0) qmdsim_fault_enumeration(c.enumeration);
        if (c.open_step != 0) qmdsim_fault_open(0, c.open_step);
        BoardValues values;
        EXPECT_EQ(GetInformation(0, 0, nullptr, values), -1);
        EXPECT_EQ(values.v, BoardValues().v);
        EXPECT_EQ(qmd::Board(0).open_count, 0);
        EXPECT_EQ(qmdsim_open_handles(0), 0u);
    }
    qmdsim_fault_enumeration(0);
    qmdsim_fault_clear();
}

TEST_F(IdentityTest, FailedInformationRequestKeepsOpensBalanced) {
    // Board closed before: it is closed again afterwards, no driver handle left behind.
    qmdsim_fault_request(0, kBoardInformation, 1, QMDSIM_FAULT_CALL, 0);
    BoardValues values;
    char identifier[8];
    std::memset(identifier, kFill, sizeof identifier);
    EXPECT_EQ(GetInformation(0, sizeof identifier, identifier, values), -2);
    EXPECT_EQ(values.v, BoardValues().v);
    EXPECT_EQ(values.v8, kCanary8);
    EXPECT_EQ(identifier[0], kFill);
    EXPECT_EQ(qmd::Board(0).open_count, 0);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), 0u);
    EXPECT_EQ(qmdsim_open_handles(0), 0u);

    // Board open before: still open once, on the same handle, and nothing recorded.
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_fault_request(0, kBoardInformation, 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(GetInformation(0, 0, nullptr, values), -2);
    EXPECT_EQ(qmd::Board(0).open_count, 1);
    EXPECT_EQ(qmd::Board(0).device_handle.load(), handle);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);
    EXPECT_EQ(LastError(handle), kNothingRecorded);
}

// ---- hardware revision -------------------------------------------------------------------

TEST_F(IdentityTest, HardwareRevisionIsTheLetterOfTheTopFourBits) {
    const QMD5820_HANDLE handle = Open(0);
    struct Case {
        uint16_t word;
        char letter;
    };
    for (const Case c : {Case{0x1234, 'B'}, Case{0xF000, 'P'}, Case{0x0FFF, 'A'},
                         Case{0x0000, 'A'}, Case{0x9001, 'J'}}) {
        SCOPED_TRACE(c.word);
        qmdsim_eeprom_set(0, 128, c.word);
        char revision[3] = {kFill, kFill, kFill};
        ASSERT_EQ(i_QMD5820_GetBoardHardwareRevision(handle, &revision[1]), 0);
        EXPECT_EQ(revision[1], c.letter);
        EXPECT_EQ(revision[0], kFill);
        EXPECT_EQ(revision[2], kFill);
    }
}

TEST_F(IdentityTest, HardwareRevisionReadsWord128) {
    const QMD5820_HANDLE handle = Open(0);
    char revision = 0;
    ASSERT_EQ(i_QMD5820_GetBoardHardwareRevision(handle, &revision), 0);
    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kEepromRead);
    // status 0, three zero bytes, byte address 256 little-endian, value 0
    EXPECT_EQ(requests[0].in,
              (std::vector<uint8_t>{0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[0].out.size(), 12u);
}

TEST_F(IdentityTest, HardwareRevisionRecordsOnlyItsSuccess) {
    const QMD5820_HANDLE handle = Open(0);
    char revision = 0;
    ASSERT_EQ(i_QMD5820_GetBoardHardwareRevision(handle, &revision), 0);
    EXPECT_EQ(LastError(handle), "i_QMD5820_GetBoardHardwareRevision: No error. (0)");

    // A recorded failure of another function stays the last result through failed reads.
    ASSERT_EQ(i_QMD5820_Set1DigitalOutputOn(handle, 9), -2);
    const std::string before = LastError(handle);
    struct Case {
        const char* what;
        int32_t kind;
        uint8_t status;
    };
    for (const Case c : {Case{"driver status", QMDSIM_FAULT_STATUS, 5},
                         Case{"failed call", QMDSIM_FAULT_CALL, 0}}) {
        SCOPED_TRACE(c.what);
        qmdsim_fault_request(0, kEepromRead, 1, c.kind, c.status);
        revision = kFill;
        EXPECT_EQ(i_QMD5820_GetBoardHardwareRevision(handle, &revision), -2);
        EXPECT_EQ(revision, kFill);
        EXPECT_EQ(LastError(handle), before);
    }
}

TEST_F(IdentityTest, HardwareRevisionUnknownHandleAndNullOutput) {
    const QMD5820_HANDLE handle = Open(0);
    char revision = kFill;
    EXPECT_EQ(i_QMD5820_GetBoardHardwareRevision(handle + 1, &revision), -1);
    EXPECT_EQ(i_QMD5820_GetBoardHardwareRevision(0, &revision), -1);
    EXPECT_EQ(revision, kFill);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(i_QMD5820_GetBoardHardwareRevision(handle, nullptr), 0);
}

// ---- serial number -----------------------------------------------------------------------

TEST_F(IdentityTest, SerialNumberJoinsWords129And130) {
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_eeprom_set(0, 129, 0x5678);
    qmdsim_eeprom_set(0, 130, 0x1234);
    uint32_t serial = kCanary32;
    ASSERT_EQ(i_QMD5820_GetBoardSerialNumber(handle, &serial), 0);
    EXPECT_EQ(serial, 0x12345678u);
    EXPECT_EQ(LastError(handle), "i_QMD5820_GetBoardSerialNumber: No error. (0)");

    const std::vector<Request> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kEepromRead);
    EXPECT_EQ(requests[0].in,
              (std::vector<uint8_t>{0, 0, 0, 0, 0x02, 0x01, 0, 0, 0, 0, 0, 0}));  // 258
    EXPECT_EQ(requests[1].code, kEepromRead);
    EXPECT_EQ(requests[1].in,
              (std::vector<uint8_t>{0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0, 0, 0}));  // 260
}

TEST_F(IdentityTest, SerialNumberOfTheFactoryImage) {
    qmdsim_board_config config = DistinctBoard("QMD-SN");
    config.serial_number = 0x00C0FFEE;
    qmdsim_clear_boards();
    ASSERT_EQ(qmdsim_add_board(&config), 0);
    const QMD5820_HANDLE handle = Open(0);
    uint32_t serial = 0;
    ASSERT_EQ(i_QMD5820_GetBoardSerialNumber(handle, &serial), 0);
    EXPECT_EQ(serial, 0x00C0FFEEu);
}

TEST_F(IdentityTest, SerialNumberFailuresWriteHalvesAsRead) {
    const QMD5820_HANDLE handle = Open(0);
    qmdsim_eeprom_set(0, 129, 0x5678);
    qmdsim_eeprom_set(0, 130, 0x1234);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(handle, 1), 0);
    const std::string before = LastError(handle);

    struct Case {
        const char* what;
        uint32_t failing_address;
        int32_t kind;
        uint8_t status;
        uint32_t expected;
        std::size_t requests;
    };
    const Case cases[] = {
        // high word fails: low half = word 129, high half 0
        {"word 130 call", 260, QMDSIM_FAULT_CALL, 0, 0x00005678u, 2},
        {"word 130 status", 260, QMDSIM_FAULT_STATUS, 9, 0x00005678u, 2},
        // low word fails: low half 0, high half untouched, word 130 never asked for
        {"word 129 call", 258, QMDSIM_FAULT_CALL, 0, 0xA5A50000u, 1},
        {"word 129 status", 258, QMDSIM_FAULT_STATUS, 9, 0xA5A50000u, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qmdsim_trace_clear();
        qmdsim_fault_request_at(0, kEepromRead, c.failing_address, 1, c.kind, c.status);
        uint32_t serial = kCanary32;
        EXPECT_EQ(i_QMD5820_GetBoardSerialNumber(handle, &serial), -2);
        EXPECT_EQ(serial, c.expected);
        EXPECT_EQ(Requests().size(), c.requests);
        EXPECT_EQ(LastError(handle), before);
    }
}

TEST_F(IdentityTest, SerialNumberUnknownHandleAndNullOutput) {
    const QMD5820_HANDLE handle = Open(0);
    uint32_t serial = kCanary32;
    EXPECT_EQ(i_QMD5820_GetBoardSerialNumber(handle + 1, &serial), -1);
    EXPECT_EQ(serial, kCanary32);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(i_QMD5820_GetBoardSerialNumber(handle, nullptr), 0);
}

// ---- versions ----------------------------------------------------------------------------

TEST_F(IdentityTest, DllVersionNeedsNoBoard) {
    for (bool boards : {true, false}) {
        SCOPED_TRACE(boards);
        if (!boards) qmdsim_clear_boards();
        uint32_t version = kCanary32;
        EXPECT_EQ(i_QMD5820_GetDLLVersion(&version), 0);
        EXPECT_EQ(version, 0x07EA0426u);
        EXPECT_EQ(version, QMD5820_DLL_VERSION);
        // The generated version: its text leads with the number's high word.
        EXPECT_EQ(version, QMD5820_VERSION_NUMBER);
        EXPECT_STREQ(QMD5820_VERSION_TEXT, "2026.04.1.0");
        EXPECT_EQ(std::stoul(QMD5820_VERSION_TEXT), version >> 16);
        EXPECT_EQ(i_QMD5820_GetDLLVersion(nullptr), 0);
        EXPECT_EQ(qmdsim_trace_count(), 0u);
    }
}

struct VersionFunction {
    const char* name;
    int16_t (*get)(QMD5820_HANDLE, uint32_t*);
    uint32_t code;
    uint32_t out_size;
    uint32_t qmdsim_board_config::*expected;
};

const VersionFunction kVersionFunctions[] = {
    {"driver", i_QMD5820_GetDeviceDriverVersion, kDriverVersion, 4,
     &qmdsim_board_config::driver_version},
    {"firmware", i_QMD5820_GetFirmwareVersion, kFirmwareVersion, 8,
     &qmdsim_board_config::firmware_version},
};

TEST_F(IdentityTest, VersionsAreOneRequestOnTheHandle) {
    const qmdsim_board_config config = UseBoard("QMD-VER");
    const QMD5820_HANDLE handle = Open(0);
    for (const VersionFunction& f : kVersionFunctions) {
        SCOPED_TRACE(f.name);
        qmdsim_trace_clear();
        uint32_t version = kCanary32;
        ASSERT_EQ(f.get(handle, &version), 0);
        EXPECT_EQ(version, config.*f.expected);

        qmdsim_trace_entry entry{};
        ASSERT_EQ(qmdsim_trace_count(), 1u);
        ASSERT_EQ(qmdsim_trace_get(0, &entry), 0);
        EXPECT_EQ(entry.code, f.code);
        EXPECT_EQ(entry.handle, handle);
        EXPECT_EQ(entry.in_size, 0u);
        EXPECT_EQ(entry.out_size, f.out_size);

        EXPECT_EQ(f.get(handle, nullptr), 0);
    }
    EXPECT_EQ(LastError(handle), kNothingRecorded);
}

TEST_F(IdentityTest, VersionsNeedNoBoardTableEntry) {
    const qmdsim_board_config config = UseBoard("QMD-VER");
    const QMD5820_HANDLE handle = Open(0);
    // A failed enumeration makes every handle unknown to the table...
    qmdsim_fault_enumeration(-1);
    uint8_t boards = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(&boards), -1);
    qmdsim_fault_enumeration(0);
    uint8_t port = 0;
    ASSERT_EQ(i_QMD5820_Read8DigitalInputs(handle, &port), -1);
    // ...but the version requests go straight to the driver.
    for (const VersionFunction& f : kVersionFunctions) {
        SCOPED_TRACE(f.name);
        uint32_t version = kCanary32;
        EXPECT_EQ(f.get(handle, &version), 0);
        EXPECT_EQ(version, config.*f.expected);
    }
}

TEST_F(IdentityTest, FailedVersionRequestGivesMinusOne) {
    const QMD5820_HANDLE handle = Open(0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOff(handle, 2), 0);
    const std::string before = LastError(handle);
    for (const VersionFunction& f : kVersionFunctions) {
        SCOPED_TRACE(f.name);
        qmdsim_fault_request(0, f.code, 1, QMDSIM_FAULT_CALL, 0);
        uint32_t version = kCanary32;
        EXPECT_EQ(f.get(handle, &version), -1);
        EXPECT_EQ(version, kCanary32);
        // A handle the driver does not know fails the same way.
        EXPECT_EQ(f.get(handle ^ 0x5A5A0000u, &version), -1);
        EXPECT_EQ(version, kCanary32);
        EXPECT_EQ(LastError(handle), before);
    }
}

TEST_F(IdentityTest, VersionRepliesHaveNoStatusByte) {
    // Crafted replies: a low byte that would read as a driver status, and a firmware reply
    // whose second half must not leak into the version.
    const QMD5820_HANDLE handle = Open(0);
    ScriptedDriver driver;
    driver.Answer(kDriverVersion, {0xFF, 0x00, 0x00, 0x80});
    driver.Answer(kFirmwareVersion, {0x44, 0x33, 0x22, 0x11, 0xCC, 0xDD, 0xEE, 0xFF});
    driver.Install();
    uint32_t version = 0;
    EXPECT_EQ(i_QMD5820_GetDeviceDriverVersion(handle, &version), 0);
    EXPECT_EQ(version, 0x800000FFu);
    EXPECT_EQ(i_QMD5820_GetFirmwareVersion(handle, &version), 0);
    EXPECT_EQ(version, 0x11223344u);
}

}  // namespace
}  // namespace qmdtest
