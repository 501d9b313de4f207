// The tool's EEPROM parts: the database check on damaged images, the backup format, and
// power loss in the middle of an add or a delete (the board stops answering after each
// single request in turn) followed by the tool's check and restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "eeprom_image.h"
#include "eeprom_words.h"
#include "qmd5820_protocol/crc32.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace {

using qmdtool::CheckImage;
using qmdtool::EepromImage;

EepromImage Factory() {
    EepromImage image(qmdtool::kEepromWords);
    qmdsim_build_factory_image(image.data(), 26040001, 1);
    return image;
}

bool Reports(const qmdtool::CheckReport& report, const std::string& text) {
    return std::any_of(report.problems.begin(), report.problems.end(),
                       [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

// Factory layout: directory of 3 at 134, transducer functionality at word 146, its table at
// word 224 (size word), count at 228, records from 229 (29 words each).
constexpr uint16_t kFunctionality = 146;
constexpr uint16_t kTable = 224;
constexpr uint16_t kRecord0 = kTable + 5;

TEST(ToolCheck, FactoryImageIsConsistent) {
    const qmdtool::CheckReport report = CheckImage(Factory());
    EXPECT_TRUE(report.consistent()) << (report.problems.empty() ? "" : report.problems[0]);
    EXPECT_EQ(report.transducers,
              (std::vector<std::string>{"transducer 1, selection type 2, calibrated",
                                        "transducer 5, selection type 3",
                                        "transducer 12, selection type 4"}));
}

TEST(ToolCheck, ReportsEachKindOfDamage) {
    struct Case {
        const char* name;
        void (*damage)(EepromImage&);
        const char* problem;
    };
    const Case cases[] = {
        {"area grown alone", [](EepromImage& w) { w[132] += 58; }, "word 132 gives"},
        {"directory too long", [](EepromImage& w) { w[133] = 0xFF; }, "does not fit"},
        {"no transducer kind", [](EepromImage& w) { w[136] = 3; }, "no transducer functionality"},
        {"offset outside area", [](EepromImage& w) { w[139] = 0xF000; }, "outside the structured"},
        {"later functionality moved into it",
         [](EepromImage& w) { w[139] = static_cast<uint16_t>(w[137] + 4); }, "inside or before"},
        {"functionality size", [](EepromImage& w) { w[kFunctionality] -= 58 << 4; }, "functionality's size"},
        {"table size", [](EepromImage& w) { w[kTable] += 58 << 4; }, "table's size word"},
        {"count above 14", [](EepromImage& w) { w[kTable + 4] = 15; }, "at most 14"},
        {"count without its record", [](EepromImage& w) { w[kTable + 4] = 2; }, "take"},
        {"duplicate index",
         [](EepromImage& w) { w[kRecord0 + 29] = static_cast<uint16_t>((3 << 8) | 1); },
         "appears twice"},
        {"selection type 1", [](EepromImage& w) { w[kRecord0] = (1 << 8) | 1; }, "not between 2"},
        {"selection type 16", [](EepromImage& w) { w[kRecord0] = (16 << 8) | 1; }, "not between"},
        {"duplicate selection type",
         [](EepromImage& w) { w[kRecord0 + 29] = static_cast<uint16_t>((2 << 8) | 5); },
         "used twice"},
        {"record not finished", [](EepromImage& w) { w[kRecord0 + 28] = 0; }, "incomplete"},
        {"range zero", [](EepromImage& w) { std::fill_n(&w[kRecord0 + 1], 4, 0); }, "range"},
        {"marks disagree", [](EepromImage& w) { w[8 * 2 + 1] &= 0xFFFE; }, "disagree"},
        {"mark of an unused type", [](EepromImage& w) { w[8 * 9] |= 1; }, "no transducer uses"},
        {"default names nothing", [](EepromImage& w) { w[0] = (7 << 8) | 2; }, "as the default"},
        {"default with the wrong type", [](EepromImage& w) { w[0] = (1 << 8) | 3; }, "default"},
    };
    for (const Case& c : cases) {
        EepromImage image = Factory();
        c.damage(image);
        const qmdtool::CheckReport report = CheckImage(image);
        EXPECT_TRUE(Reports(report, c.problem))
            << c.name << ": " << (report.problems.empty() ? "no problem" : report.problems[0]);
    }
}

TEST(ToolBackup, RoundTripAndEveryDamageRefused) {
    EepromImage image = Factory();
    image[65535] = 0xA55A;
    const qmdtool::BoardIdentity identity{"QMD5820-DEMO-0", 26040001, 'B'};
    const std::vector<uint8_t> bytes = qmdtool::EncodeBackup(identity, image);
    ASSERT_EQ(bytes.size(), 76u + 2 * qmdtool::kEepromWords + 4);
    std::string error;
    const std::optional<qmdtool::Backup> backup = qmdtool::DecodeBackup(bytes, error);
    ASSERT_TRUE(backup) << error;
    EXPECT_EQ(backup->identity, identity);
    EXPECT_EQ(backup->image, image);
    EXPECT_EQ(qmd::Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);

    // A flipped bit anywhere (header, words, checksum) and any truncation are refused.
    for (const std::size_t at : {std::size_t{0}, std::size_t{9}, std::size_t{17}, std::size_t{30},
                                 std::size_t{76}, bytes.size() / 2, bytes.size() - 1}) {
        std::vector<uint8_t> damaged = bytes;
        damaged[at] ^= 0x10;
        EXPECT_FALSE(qmdtool::DecodeBackup(damaged, error)) << "byte " << at;
    }
    for (const std::size_t size : {std::size_t{0}, std::size_t{80}, bytes.size() - 1}) {
        const std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(qmdtool::DecodeBackup(truncated, error)) << size << " bytes";
    }
}

// ---- power loss ------------------------------------------------------------------------------

// Every cut restores the whole EEPROM through the driver (twice 65536 requests): a build
// with a sanitizer, ten times slower, takes every 32nd cut.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kCutStride = 32;
#else
constexpr uint32_t kCutStride = 1;
#endif

class PowerLoss : public ::testing::Test {
protected:
    void SetUp() override {
        qmd5820_install_backend(nullptr);
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmd::OnProcessAttach();
        ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &handle_), 0);
        base_.assign(qmdtool::kEepromWords, 0);
        qmdsim_eeprom_dump(0, base_.data(), qmdtool::kEepromWords);
    }
    void TearDown() override { qmdsim_reset(); }

    static EepromImage Dump() {
        EepromImage image(qmdtool::kEepromWords);
        qmdsim_eeprom_dump(0, image.data(), qmdtool::kEepromWords);
        return image;
    }
    static void Load(const EepromImage& image) {
        qmdsim_eeprom_load(0, image.data(), static_cast<uint32_t>(image.size()));
    }

    // Requests the operation sends on an intact board.
    uint32_t RequestsOf(int16_t (*operation)(QMD5820_HANDLE)) {
        Load(base_);
        qmdsim_trace_enable(1u << 20);
        qmdsim_trace_clear();
        EXPECT_EQ(operation(handle_), 0);
        const uint32_t count = qmdsim_trace_count();
        qmdsim_trace_enable(0);
        return count;
    }

    // Everything a user may run on a damaged board; each call must come back with a code.
    void UseTornBoard() {
        uint8_t indexes[255] = {};
        uint8_t count = 0;
        const int16_t listed = i_QMD5820_GetAvailableTransducerTypes(handle_, indexes, 255, &count);
        std::vector<uint8_t> tried = {0, 1, 5, 12, 20, 255};
        if (listed == 0) tried.insert(tried.end(), indexes, indexes + count);
        for (const uint8_t index : tried) {
            double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
            uint8_t calibrated = 0;
            (void)i_QMD5820_TransducerDatabaseReadTransducerInfo(handle_, index, &range, &sensitivity,
                                                                 &frequency, &voltage, &calibrated);
            (void)i_QMD5820_Init1TransducerChannel(handle_, 0, index, 0.0);
        }
        (void)i_QMD5820_TransducerDatabaseAdd(handle_, 30, 1.0, 10.0, 5000.0, 2.0, 5.0);
        (void)i_QMD5820_TransducerDatabaseDelete(handle_, 5);
    }

    // Cuts `operation` after each of its requests in turn (the board stops answering, then
    // comes back with the EEPROM as it was at the cut). Counts the torn images (neither
    // before nor after) and those among them that the check passed as consistent.
    void CutAfterEveryRequest(int16_t (*operation)(QMD5820_HANDLE), uint32_t& torn,
                              std::vector<uint32_t>& undetected) {
        const uint32_t total = RequestsOf(operation);
        const EepromImage after = Dump();
        ASSERT_GT(total, 400u);
        const qmdtool::BoardIdentity identity{"QMD5820-DEMO-0", 26040001, 'B'};
        std::string error;
        // The backup the tool takes first, through the driver, as a file's bytes.
        Load(base_);
        std::optional<qmdtool::Backup> backup;
        {
            qmdtool::EepromWords words(*qmdsim_backend(), 0);
            EepromImage read;
            ASSERT_TRUE(words.ReadAll(read, error)) << error;
            backup = qmdtool::DecodeBackup(qmdtool::EncodeBackup(identity, read), error);
            ASSERT_TRUE(backup) << error;
        }
        for (uint32_t cut = 0; cut < total; cut += kCutStride) {
            Load(base_);
            qmdsim_fault_request(0, QMDSIM_ANY_CODE, cut + 1, QMDSIM_FAULT_CUT, 0);
            EXPECT_NE(operation(handle_), 0) << "cut after request " << cut;
            qmdsim_fault_clear();
            const EepromImage image = Dump();
            if (image != base_ && image != after) {
                ++torn;
                if (CheckImage(image).consistent()) undetected.push_back(cut);
            }
            UseTornBoard();
            // The restore: only differing words, read back and compared.
            qmdtool::EepromWords words(*qmdsim_backend(), 0);
            EepromImage current;
            uint32_t written = 0;
            ASSERT_TRUE(words.ReadAll(current, error)) << error;
            ASSERT_TRUE(words.WriteDifferences(current, backup->image, written, error))
                << "cut after request " << cut << ": " << error;
            ASSERT_EQ(Dump(), base_) << "cut after request " << cut;
        }
    }

    QMD5820_HANDLE handle_ = 0;
    EepromImage base_;
};

TEST_F(PowerLoss, AddCutAfterEveryRequest) {
    uint32_t torn = 0;
    std::vector<uint32_t> undetected;
    CutAfterEveryRequest([](QMD5820_HANDLE h) {
        return i_QMD5820_TransducerDatabaseAdd(h, 20, 4.0, 80.0, 10000.0, 3.0, 10.0);
    }, torn, undetected);
    EXPECT_GT(torn, 600u / kCutStride);
    EXPECT_EQ(undetected, std::vector<uint32_t>{}) << "cuts whose damage the check missed";
}

TEST_F(PowerLoss, DeleteOfTheDefaultCutAfterEveryRequest) {
    uint32_t torn = 0;
    std::vector<uint32_t> undetected;
    CutAfterEveryRequest([](QMD5820_HANDLE h) { return i_QMD5820_TransducerDatabaseDelete(h, 1); },
                         torn, undetected);
    EXPECT_GT(torn, 400u / kCutStride);
    EXPECT_EQ(undetected, std::vector<uint32_t>{}) << "cuts whose damage the check missed";
}

}  // namespace
