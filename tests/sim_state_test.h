// Helpers of the state file tests: requests through the simulated driver's backend table,
// the factory image, files, and a fixture with a fresh directory per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"

#if !defined(_WIN32)
#include <unistd.h>

namespace state_test {

namespace fs = std::filesystem;
namespace bytes = qmd::bytes;
namespace req = qmd::req;
using Bytes = std::vector<uint8_t>;

// The file as documented: a 256-byte header, then 16 slots of 128 bytes and the EEPROM.
constexpr std::size_t kHeaderBytes = 256;
constexpr std::size_t kSlotBytes = 128 + 2 * QMDSIM_EEPROM_WORDS;
constexpr std::size_t kFileBytes = kHeaderBytes + 16 * kSlotBytes;

inline const qmd5820_backend& B() { return *qmdsim_backend(); }

inline uint64_t OpenBoard(uint32_t board) {
    uint64_t handle = 0;
    EXPECT_EQ(B().open_board(B().context, board, &handle), 0);
    return handle;
}

inline void CloseBoard(uint64_t handle) { (void)B().close_handle(B().context, handle); }

// The driver's status, or -1 when the call itself failed.
inline int Ioctl(uint64_t handle, uint32_t code, Bytes record) {
    if (B().device_io_control(B().context, handle, code, record.data(),
                              static_cast<uint32_t>(record.size()),
                              static_cast<uint32_t>(record.size())) != 1) {
        return -1;
    }
    return record[0];
}

inline int WriteWord(uint64_t handle, uint16_t word, uint16_t value) {
    Bytes r(12, 0);
    bytes::PutU32(r.data() + req::eeprom_word::kByteAddress, uint32_t{word} * 2);
    bytes::PutU32(r.data() + req::eeprom_word::kValue, value);
    return Ioctl(handle, req::kEepromWrite, r);
}

inline int Outputs(uint64_t handle, uint8_t mask, bool on) {
    return Ioctl(handle, req::kWriteDigitalOutputs, {0, mask, static_cast<uint8_t>(on ? 1 : 0)});
}

// The outputs as the board answers them, or -1.
inline int ReadOutputs(uint64_t handle) {
    Bytes r(2, 0);
    if (B().device_io_control(B().context, handle, req::kReadDigitalOutputs, r.data(), 2, 2) != 1 ||
        r[0] != 0) {
        return -1;
    }
    return r[1];
}

inline uint16_t FactoryWord(uint32_t board, uint16_t word) {
    qmdsim_board_config config{};
    qmdsim_default_board_config(board, &config);
    std::vector<uint16_t> image(QMDSIM_EEPROM_WORDS);
    qmdsim_build_factory_image(image.data(), config.serial_number, config.hardware_revision);
    return image[word];
}

inline Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::string Describe() {
    const int32_t n = qmdsim_state_describe(nullptr, 0);
    if (n < 0) return "(none)";
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    EXPECT_EQ(qmdsim_state_describe(text.data(), static_cast<uint32_t>(text.size())), n);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

class StateTest : public ::testing::Test {
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

    // A fresh process as far as the simulator goes: factory boards, then the file.
    int32_t Reattach() {
        qmdsim_reset();
        return qmdsim_state_attach(path_.c_str());
    }

    fs::path dir_;
    fs::path path_;
};

}  // namespace state_test

#endif  // !_WIN32
