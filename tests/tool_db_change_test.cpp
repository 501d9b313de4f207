// The tool's database changes on the simulated board when a word write fails in the middle
// of an add or a delete: the change must be undone word by word, leaving the EEPROM exactly
// as it was, and the command must fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "QMD5820.h"
#include "command.h"
#include "commands/db.h"
#include "commands/db_change.h"
#include "common/board.h"
#include "core/board_table.h"
#include "eeprom_image.h"
#include "qmd5820_backend.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"

namespace {

using qmdtool::EepromImage;

EepromImage Dump() {
    EepromImage image(qmdtool::kEepromWords);
    qmdsim_eeprom_dump(0, image.data(), qmdtool::kEepromWords);
    return image;
}

class FailedChange : public ::testing::Test {
protected:
    void SetUp() override {
        qmd5820_install_backend(nullptr);
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmd::OnProcessAttach();
        backup_ = (std::filesystem::temp_directory_path() /
                   ("qmd5820-db-change-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                    ".eeprom")).string();
    }
    void TearDown() override {
        qmdsim_fault_clear();
        qmdsim_reset();
        std::remove(backup_.c_str());
    }

    // Word writes the change makes when nothing fails.
    uint32_t WritesOf(const qmdtool::DatabaseArguments& args) {
        const EepromImage base = Dump();
        qmdtool::Board board(0);
        qmdsim_trace_enable(1u << 20);
        qmdsim_trace_clear();
        EXPECT_EQ(qmdtool::DatabaseChange(board, args), 0);
        uint32_t writes = 0;
        for (uint32_t i = 0; i < qmdsim_trace_count(); ++i) {
            qmdsim_trace_entry entry{};
            if (qmdsim_trace_get(i, &entry) == 0 && entry.code == qmd::req::kEepromWrite) ++writes;
        }
        qmdsim_trace_enable(0);
        qmdsim_eeprom_load(0, base.data(), static_cast<uint32_t>(base.size()));
        return writes;
    }

    std::string backup_;
};

// Fails the n-th word write of each change (n spread over all of them) and counts the runs
// that failed and left the EEPROM as it was before.
TEST_F(FailedChange, EveryInterruptedChangeIsUndone) {
    qmdtool::DatabaseArguments add;
    add.what = "add";
    add.index = 20;
    const double values[5] = {4.0, 80.0, 10000.0, 3.0, 10.0};
    std::copy(values, values + 5, add.values);
    qmdtool::DatabaseArguments remove;
    remove.what = "delete";
    remove.index = 1;  // the default transducer: the delete also writes word 0
    for (qmdtool::DatabaseArguments* args : {&add, &remove}) {
        args->file = backup_;
        const uint32_t writes = WritesOf(*args);
        ASSERT_GT(writes, 20u) << args->what;
        const EepromImage before = Dump();
        uint32_t tried = 0, undone = 0;
        for (uint32_t nth = 1; nth <= writes; nth += 1 + writes / 40) {
            qmdsim_fault_request(0, qmd::req::kEepromWrite, nth, QMDSIM_FAULT_CALL, 0);
            qmdtool::Board board(0);
            const int status = qmdtool::DatabaseChange(board, *args);
            qmdsim_fault_clear();
            ++tried;
            if (status == qmdtool::kFailed && Dump() == before) ++undone;
            qmdsim_eeprom_load(0, before.data(), static_cast<uint32_t>(before.size()));
        }
        EXPECT_EQ(undone, tried) << args->what << ": changes failed at a word write and undone";
        std::printf("%s: %u of %u changes failed at a word write were undone\n",
                    args->what.c_str(), undone, tried);
    }
}

}  // namespace
