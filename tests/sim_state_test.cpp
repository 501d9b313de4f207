// The simulated boards' state file: what is kept, when it is written, damaged files,
// concurrent writers and the default path.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820sim.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
namespace bytes = qmd::bytes;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kEepromWrite = 0x9001c008;
constexpr uint32_t kWriteOutputs = 0x90002144;
constexpr uint32_t kWritePotentiometer = 0x900020c4;

const qmd5820_backend& B() { return *qmdsim_backend(); }

uint64_t OpenBoard(uint32_t board) {
    uint64_t handle = 0;
    EXPECT_EQ(B().open_board(B().context, board, &handle), 0);
    return handle;
}

void CloseBoard(uint64_t handle) { EXPECT_EQ(B().close_handle(B().context, handle), 0); }

uint8_t Ioctl(uint64_t handle, uint32_t code, Bytes record) {
    EXPECT_EQ(B().device_io_control(B().context, handle, code, record.data(),
                                    static_cast<uint32_t>(record.size()),
                                    static_cast<uint32_t>(record.size())),
              1);
    return record[0];
}

uint8_t WriteWord(uint64_t handle, uint16_t word, uint16_t value) {
    Bytes r(12, 0);
    bytes::PutU32(r.data() + 4, uint32_t{word} * 2);
    bytes::PutU32(r.data() + 8, value);
    return Ioctl(handle, kEepromWrite, r);
}

uint16_t FactoryWord(uint32_t board, uint16_t word) {
    qmdsim_board_config config{};
    qmdsim_default_board_config(board, &config);
    std::vector<uint16_t> image(QMDSIM_EEPROM_WORDS);
    qmdsim_build_factory_image(image.data(), config.serial_number, config.hardware_revision);
    return image[word];
}

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Gives a file the header of its payload: size and CRC-32.
void Reseal(Bytes& b) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 20; i < b.size(); ++i) {
        crc ^= b[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    bytes::PutU32(b.data() + 12, static_cast<uint32_t>(b.size() - 20));
    bytes::PutU32(b.data() + 16, ~crc);
}

std::string Describe() {
    const int32_t n = qmdsim_state_describe(nullptr, 0);
    EXPECT_GE(n, 0);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    EXPECT_EQ(qmdsim_state_describe(text.data(), static_cast<uint32_t>(text.size())), n);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Words some distance from the identity and directory, with values that differ from the
// factory image.
constexpr uint16_t kWords[] = {40000, 40001, 50000, 65535};

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        qmdsim_reset();
        dir_ = fs::temp_directory_path() /
               ("qmd5820-state-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        path_ = dir_ / "nested" / "sim-state";
    }
    void TearDown() override {
        qmdsim_reset();
        fs::remove_all(dir_);
    }

    // Changes board 0 through requests: EEPROM words, outputs, potentiometer 7.
    void ChangeBoard() {
        const uint64_t h = OpenBoard(0);
        for (uint16_t w : kWords) EXPECT_EQ(WriteWord(h, w, static_cast<uint16_t>(w ^ 0x5A5A)), 0);
        EXPECT_EQ(Ioctl(h, kWriteOutputs, {0, 0x05, 1}), 0);
        EXPECT_EQ(Ioctl(h, kWritePotentiometer, {0, 7, 201}), 0);
        // Refused requests change nothing and are not kept.
        EXPECT_NE(Ioctl(h, kWritePotentiometer, {0, 40, 9}), 0);
        CloseBoard(h);
    }

    void ExpectChanged(bool changed) {
        for (uint16_t w : kWords) {
            EXPECT_EQ(qmdsim_eeprom_get(0, w),
                      changed ? static_cast<uint16_t>(w ^ 0x5A5A) : FactoryWord(0, w))
                << "word " << w;
        }
        EXPECT_EQ(qmdsim_digital_outputs(0), changed ? 0x05 : 0x00);
        EXPECT_EQ(qmdsim_potentiometer(0, 7), changed ? 201 : 128);
        // Board 1 was never changed.
        EXPECT_EQ(qmdsim_eeprom_get(1, kWords[0]), FactoryWord(1, kWords[0]));
        EXPECT_EQ(qmdsim_digital_outputs(1), 0x00);
    }

    // A fresh process as far as the simulator goes: factory boards, then the file.
    int32_t Reattach() {
        qmdsim_reset();
        return qmdsim_state_attach(path_.c_str());
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(StateFileTest, ChangesSurviveAndOnlyDifferencesAreStored) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    qmdsim_reset();  // saves and detaches; the boards are factory boards again
    ExpectChanged(false);
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ExpectChanged(true);

    // A word written back to its factory value leaves the file.
    const uint64_t h = OpenBoard(0);
    EXPECT_EQ(WriteWord(h, kWords[0], FactoryWord(0, kWords[0])), 0);
    CloseBoard(h);
    const std::string text = Describe();
    EXPECT_NE(text.find(path_.string()), std::string::npos) << text;
    EXPECT_NE(text.find("EEPROM words that differ from the factory image: 3"), std::string::npos)
        << text;
    EXPECT_NE(text.find("outputs 0x05"), std::string::npos) << text;
    EXPECT_NE(text.find(" 7=201"), std::string::npos) << text;
    EXPECT_EQ(text.find("board 1"), std::string::npos) << text;
    // 20-byte header, board count, one entry of 48 bytes and 3 words.
    EXPECT_EQ(fs::file_size(path_), 20u + 4u + 48u + 3u * 4u);
}

TEST_F(StateFileTest, ResetReturnsToFactoryAndRemovesTheFile) {
    ASSERT_EQ(qmdsim_state_reset(), -1);  // nothing attached
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    ASSERT_TRUE(fs::exists(path_));
    ASSERT_EQ(qmdsim_state_reset(), 0);
    EXPECT_FALSE(fs::exists(path_));
    ExpectChanged(false);
    EXPECT_NE(Describe().find("every board is in its factory state"), std::string::npos);
    ASSERT_EQ(Reattach(), 0);
    ExpectChanged(false);
}

TEST_F(StateFileTest, SavesAreBatchedOnTheSimulatorClock) {
    qmdsim_set_virtual_clock(1);
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    const uint32_t before = qmdsim_state_saves();
    const uint64_t h = OpenBoard(0);
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(WriteWord(h, static_cast<uint16_t>(30000 + i), 0x1234), 0);
    }
    EXPECT_EQ(qmdsim_state_saves() - before, 1u);  // the first write, at once
    CloseBoard(h);
    EXPECT_EQ(qmdsim_state_saves() - before, 2u);  // the other 999 at the close
    const uint64_t h2 = OpenBoard(0);
    qmdsim_advance_us(250000);
    EXPECT_EQ(WriteWord(h2, 29999, 0x4321), 0);  // the last save is old: saved at once
    EXPECT_EQ(qmdsim_state_saves() - before, 3u);
    CloseBoard(h2);
    ASSERT_EQ(Reattach(), 0);
    EXPECT_EQ(qmdsim_eeprom_get(0, 29999), 0x4321);
    EXPECT_EQ(qmdsim_eeprom_get(0, 30000), 0x1234);
    EXPECT_EQ(qmdsim_eeprom_get(0, 30999), 0x1234);
}

TEST_F(StateFileTest, DamagedFileGivesFactoryStateAMessageAndIsReplaced) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    qmdsim_reset();
    const Bytes good = ReadAll(path_);
    ASSERT_GT(good.size(), 24u);

    constexpr std::size_t kKeep = SIZE_MAX;
    struct Damage {
        const char* name;
        std::size_t size;  // truncated to, or kKeep
        std::size_t at;    // where `value` is written (a u32 when `reseal`), or kKeep
        uint32_t value;
        bool reseal;  // a consistent header over the broken payload
        const char* reason;
    };
    const Damage damages[] = {
        {"empty", 0, kKeep, 0, false, "shorter than its header"},
        {"truncated header", 10, kKeep, 0, false, "shorter than its header"},
        {"bad magic", kKeep, 0, 'X', false, "bad magic"},
        {"newer format", kKeep, 8, 9, false, "unknown format version"},
        {"truncated payload", good.size() - 1, kKeep, 0, false, "size does not match"},
        {"flipped bit", kKeep, 30, good[30] ^ 0x10u, false, "bad checksum"},
        {"huge word count", kKeep, 68, 0x7FFFFFFF, true, "truncated EEPROM words"},
        {"huge board count", kKeep, 20, 1000000, true, "truncated entry"},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        Bytes b = good;
        if (d.size != kKeep) b.resize(d.size);
        if (d.at != kKeep && d.reseal) bytes::PutU32(b.data() + d.at, d.value);
        if (d.at != kKeep && !d.reseal) b[d.at] = static_cast<uint8_t>(d.value);
        if (d.reseal) Reseal(b);
        WriteAll(path_, b);
        qmdsim_reset();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(qmdsim_state_attach(path_.c_str()), 0);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find(path_.string() + " is damaged"), std::string::npos) << message;
        EXPECT_NE(message.find(d.reason), std::string::npos) << message;
        ExpectChanged(false);
        // The next save replaces it with a good file.
        const uint64_t h = OpenBoard(0);
        EXPECT_EQ(WriteWord(h, 12345, 0xBEEF), 0);
        CloseBoard(h);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(Reattach(), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(qmdsim_eeprom_get(0, 12345), 0xBEEF);
    }
}

// Random damage under a consistent header (the checksum cannot catch it): whatever the
// bytes, attaching never crashes and gives either a decoded state or the factory state.
TEST_F(StateFileTest, RandomlyDamagedFilesNeverCrash) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    qmdsim_reset();
    const Bytes good = ReadAll(path_);
    std::mt19937 random(5820);
    for (int round = 0; round < 300; ++round) {
        Bytes b = good;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            b[20 + random() % (b.size() - 20)] = static_cast<uint8_t>(random());
        }
        if (round % 3 == 0) b.resize(20 + random() % (b.size() - 19));
        Reseal(b);
        WriteAll(path_, b);
        qmdsim_reset();
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0) << round;
        const std::string message = ::testing::internal::GetCapturedStderr();
        if (!message.empty()) {
            ASSERT_NE(message.find("is damaged"), std::string::npos) << message;
            ASSERT_EQ(qmdsim_eeprom_get(0, kWords[1]), FactoryWord(0, kWords[1])) << round;
        }
    }
}

// Two processes change different words of the same board at the same time, each saving
// after every write: neither corrupts the file nor loses the other's changes.
TEST_F(StateFileTest, ConcurrentWritersKeepEveryChange) {
    constexpr uint16_t kRounds = 150;
    std::vector<pid_t> children;
    for (uint16_t writer = 0; writer < 2; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = qmdsim_state_attach(path_.c_str()) == 0;
            const uint64_t h = OpenBoard(0);
            for (uint16_t i = 0; i < kRounds && ok; ++i) {
                const uint16_t word = static_cast<uint16_t>(20000 + writer * 1000 + i);
                ok = WriteWord(h, word, static_cast<uint16_t>(0xA000 + writer * 0x1000 + i)) == 0 &&
                     qmdsim_state_flush() == 0;
            }
            CloseBoard(h);
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(Reattach(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    for (uint16_t writer = 0; writer < 2; ++writer) {
        for (uint16_t i = 0; i < kRounds; ++i) {
            const uint16_t word = static_cast<uint16_t>(20000 + writer * 1000 + i);
            ASSERT_EQ(qmdsim_eeprom_get(0, word), 0xA000 + writer * 0x1000 + i) << word;
        }
    }
    for (const auto& entry : fs::directory_iterator(path_.parent_path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "sim-state" || name == "sim-state.lock") << name;
    }
}

}  // namespace

#endif  // !_WIN32
