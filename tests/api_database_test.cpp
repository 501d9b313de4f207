// The transducer database: lookup, add and delete, with what the EEPROM holds afterwards.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"
#include "eeprom/database.h"
#include "eeprom/directory.h"
#include "qmd5820_protocol/settings.h"

namespace qmdtest {
namespace {

using Eeprom = std::vector<uint16_t>;

Eeprom Dump(uint32_t board = 0) {
    Eeprom words(QMDSIM_EEPROM_WORDS);
    qmdsim_eeprom_dump(board, words.data(), QMDSIM_EEPROM_WORDS);
    return words;
}

class Database : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        handle = Open();
        table = qmd::FindTransducerTable(handle);
        ASSERT_NE(table, qmd::kNotFound);
        qmdsim_trace_clear();
    }

    std::vector<uint8_t> Indexes() {
        std::array<uint8_t, 32> indexes{};
        uint8_t count = 0;
        EXPECT_EQ(i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), 32, &count), 0);
        return {indexes.begin(), indexes.begin() + count};
    }

    int16_t Add(uint8_t index, double range = 3.0, double sensitivity = 40.0,
                double frequency = 9765.0, double voltage = 2.5, double impedance = 4.0) {
        return i_QMD5820_TransducerDatabaseAdd(handle, index, range, sensitivity, frequency,
                                               voltage, impedance);
    }

    // Word address of the first word after the structured area.
    static uint16_t AreaEnd(const Eeprom& e) { return static_cast<uint16_t>(e[132] / 2 + 133); }

    QMD5820_HANDLE handle = 0;
    uint16_t table = 0;
};

// ---- lookup --------------------------------------------------------------------------------

TEST_F(Database, ListsTheFactoryTransducersInTableOrder) {
    EXPECT_EQ(Indexes(), (std::vector<uint8_t>{1, 5, 12}));
    EXPECT_EQ(LastError(handle), "i_QMD5820_GetAvailableTransducerTypes: No error. (0)");
}

TEST_F(Database, SmallArrayGetsTheFirstIndexesAndTheFullCount) {
    std::array<uint8_t, 4> indexes{0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t count = 0;
    EXPECT_EQ(i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), 2, &count), -3);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(indexes, (std::array<uint8_t, 4>{1, 5, 0xEE, 0xEE}));
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_GetAvailableTransducerTypes: The indexes array is too small to contain "
              "all the available transducer types (-3)");
    // A read failure after the array is full still turns the code into -2.
    qmdsim_fault_request_at(0, 0x9001c00c, 2u * (table + 5 + 2 * 29), 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), 2, &count), -2);
}

TEST_F(Database, EmptyTableAndUnreadableTable) {
    qmdsim_eeprom_set(0, static_cast<uint16_t>(table + 4), 0);
    std::array<uint8_t, 2> indexes{0xEE, 0xEE};
    uint8_t count = 9;
    EXPECT_EQ(i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), 2, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(indexes[0], 0xEE);

    qmdsim_eeprom_set(0, 133, 0);  // no functionality: no transducer table
    count = 9;
    EXPECT_EQ(i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), 2, &count), -2);
    EXPECT_EQ(count, 0);
}

TEST_F(Database, ReadsTheInformationOfAType) {
    for (uint32_t i = 0;; ++i) {
        qmdsim_transducer t{};
        if (i >= qmdsim_factory_transducer(i, &t)) break;
        double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
        uint8_t calibrated = 9;
        ASSERT_EQ(i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, t.transducer_index, &range,
                                                                 &sensitivity, &frequency, &voltage,
                                                                 &calibrated),
                  0);
        EXPECT_EQ(range, t.range);
        EXPECT_EQ(sensitivity, t.sensitivity);
        EXPECT_EQ(frequency, t.frequency);
        EXPECT_EQ(voltage, t.primary_voltage);
        EXPECT_EQ(calibrated, t.calibrated);
    }
}

TEST_F(Database, CalibrationStateIsBitZeroOfTheFirstPotisWordOfTheSelectionType) {
    // Transducer 5 has selection type 3: words 24 and 25.
    qmdsim_eeprom_set(0, 24, 0x0D01);
    qmdsim_eeprom_set(0, 25, 0x1D00);
    qmdsim_eeprom_set(0, 5 * 8, 0);  // a word derived from the index must not matter
    uint8_t calibrated = 0;
    ASSERT_EQ(i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, 5, nullptr, nullptr, nullptr,
                                                             nullptr, &calibrated),
              0);
    EXPECT_EQ(calibrated, 1);
}

TEST_F(Database, ReadInformationFailuresWriteNothing) {
    struct Case {
        const char* what;
        uint8_t index;
        uint32_t fault_address;  // byte address of the read that fails, or 0
        int16_t code;
        const char* message;
    };
    const uint16_t record12 = static_cast<uint16_t>(table + 5 + 2 * 29);
    const Case cases[] = {
        {"unknown index", 77, 0, -3, "The selected transducer index is not in the database"},
        {"list", 12, 2u * 133, -2, "Cannot read the list of available transducers"},
        {"record word", 12, 2u * (record12 + 3), -4, "Cannot read the information of the selected transducer"},
        {"state word", 12, 2u * 32, -5, "Cannot read the calibration state of the selected transducer"},
    };
    for (const Case& c : cases) {
        if (c.fault_address != 0) {
            qmdsim_fault_request_at(0, 0x9001c00c, c.fault_address, 1, QMDSIM_FAULT_STATUS, 7);
        }
        double range = -1, sensitivity = -1, frequency = -1, voltage = -1;
        uint8_t calibrated = 9;
        EXPECT_EQ(i_QMD5820_TransducerDatabaseReadTransducerInfo(
                      handle, c.index, &range, &sensitivity, &frequency, &voltage, &calibrated),
                  c.code)
            << c.what;
        EXPECT_EQ(range + sensitivity + frequency + voltage, -4.0) << c.what;
        EXPECT_EQ(calibrated, 9) << c.what;
        EXPECT_EQ(LastError(handle), std::string("i_QMD5820_TransducerDatabaseReadTransducerInfo: ") +
                                         c.message + " (" + std::to_string(c.code) + ")");
        qmdsim_fault_clear();
    }
}

TEST_F(Database, FirstRecordWithAnIndexWins) {
    // Give the third record the index of the second: lookups still find the second.
    const uint16_t third = static_cast<uint16_t>(table + 5 + 2 * 29);
    qmdsim_eeprom_set(0, third, static_cast<uint16_t>((qmdsim_eeprom_get(0, third) & 0xFF00) | 5));
    qmd::TransducerRecord record{};
    ASSERT_EQ(qmd::FindTransducerRecord(handle, 5, record), 0);
    EXPECT_EQ(record[1], 3);
    ASSERT_EQ(qmd::FindTransducerRecord(handle, 5, record), 0);
    EXPECT_EQ(record[1], 3);
    EXPECT_EQ(qmd::FindTransducerRecord(handle, 12, record), -5);
}

// ---- add -----------------------------------------------------------------------------------

TEST_F(Database, AddStoresTheRecordSettingsAndDefaultPotis) {
    const Eeprom before = Dump();
    ASSERT_EQ(Add(40, 3.0, 40.0, 9765.5, 2.5, 4.0), 0);
    const Eeprom after = Dump();
    EXPECT_EQ(LastError(handle), "i_QMD5820_TransducerDatabaseAdd: No error. (0)");
    EXPECT_EQ(Indexes(), (std::vector<uint8_t>{1, 5, 12, 40}));

    double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
    uint8_t calibrated = 9;
    ASSERT_EQ(i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, 40, &range, &sensitivity,
                                                             &frequency, &voltage, &calibrated),
              0);
    EXPECT_EQ(range, 3.0);
    EXPECT_EQ(sensitivity, 40.0);
    EXPECT_EQ(frequency, 9765.5);
    EXPECT_EQ(voltage, 2.5);
    EXPECT_EQ(calibrated, 0);

    // The record: selection type 5 (2, 3 and 4 are taken), the frequency three times, the
    // two trailing words.
    const uint16_t j = static_cast<uint16_t>(table + 5 + 3 * 29);
    std::array<uint8_t, 58> image{};
    for (int w = 0; w < 29; ++w) qmd::bytes::PutU16(image.data() + 2 * w, after[j + w]);
    EXPECT_EQ(image[0], 40);
    EXPECT_EQ(image[1], 5);
    EXPECT_EQ(qmd::bytes::GetF64(image.data() + 26), 9765.5);
    EXPECT_EQ(qmd::bytes::GetF64(image.data() + 34), 9765.5);
    EXPECT_EQ(qmd::bytes::GetU32(image.data() + 50), 0u);
    EXPECT_EQ(after[j + 27], 0xD6D8);
    EXPECT_EQ(after[j + 28], 0xC350);

    // Potis words of type 5, and nothing else of the potis area changed.
    const uint16_t potis[8] = {0x0D00, 0x1D00, 0x2100, 0x2D00, 0x4100, 0x3500, 0x3900, 0xB100};
    for (int w = 0; w < 128; ++w) {
        if (w >= 40 && w < 48) {
            EXPECT_EQ(after[w], potis[w - 40]) << w;
        } else {
            EXPECT_EQ(after[w], before[w]) << w;
        }
    }

    // The configuration block: the settings computed from the given values.
    uint8_t block[1024];
    qmd::ComputeTransducerSettings(2.5, 40.0, 3.0, 4.0, 9765, block);
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(after[32768 + 512 * 5 + i], qmd::bytes::GetU16(block + 2 * i)) << i;
    }
}

TEST_F(Database, AddGrowsTheAreaAndMovesWhatFollowsTheTable) {
    const Eeprom before = Dump();
    ASSERT_EQ(Add(40), 0);
    const Eeprom after = Dump();
    EXPECT_EQ(after[132], before[132] + 58);
    const uint8_t n = static_cast<uint8_t>(before[133]);
    bool after_transducer = false;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(after[134 + 2 * i], before[134 + 2 * i]);
        EXPECT_EQ(after[135 + 2 * i], before[135 + 2 * i] + (after_transducer ? 58 : 0)) << i;
        if ((before[134 + 2 * i] & 0x3F) == 2) {
            const uint16_t b = static_cast<uint16_t>(before[135 + 2 * i] / 2 + 128);
            EXPECT_EQ(after[b], before[b] + (58 << 4)) << "functionality size word";
            after_transducer = true;
        }
    }
    EXPECT_EQ(after[table], before[table] + (58 << 4)) << "table size word";
    EXPECT_EQ(after[table + 4], before[table + 4] + 1);
    // Every word from the old end of the table to the old end of the area moved up 29.
    const uint16_t old_records_end = static_cast<uint16_t>(table + 5 + 3 * 29);
    for (uint16_t a = old_records_end; a < AreaEnd(before); ++a) {
        ASSERT_EQ(after[a + 29], before[a]) << a;
    }
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
}

TEST_F(Database, AddWhenTheTableIsTheLastItemMovesNothing) {
    // Drop the functionality after the table from the directory and the area.
    Eeprom e = Dump();
    const uint16_t records_end = static_cast<uint16_t>(table + 5 + 3 * 29);
    e[133] = static_cast<uint16_t>((e[133] & 0xFF00) | 2);
    e[132] = static_cast<uint16_t>((records_end - 133) * 2);
    qmdsim_eeprom_load(0, e.data(), static_cast<uint32_t>(e.size()));
    qmdsim_trace_clear();
    ASSERT_EQ(Add(40), 0);
    const Eeprom after = Dump();
    EXPECT_EQ(after[records_end], 40 | (5 << 8));
    for (const Request& r : Requests()) {
        if (r.code != 0x9001c008) continue;
        const uint32_t word = qmd::bytes::GetU32(r.in.data() + 4) / 2;
        EXPECT_TRUE(word < 128 || (word >= records_end && word < records_end + 29u) ||
                    word >= 32768 || word == 132 || word == table || word == table + 4u ||
                    word == qmd::FindTransducerFunctionality(handle))
            << "unexpected write to word " << word;
    }
}

TEST_F(Database, FourteenFitAndAFifteenthIsRefused) {
    for (uint8_t index = 100; index < 111; ++index) ASSERT_EQ(Add(index), 0) << int{index};
    EXPECT_EQ(Indexes().size(), 14u);
    const Eeprom full = Dump();
    EXPECT_EQ(Add(200), -3);
    EXPECT_EQ(Add(5), -3) << "the count is checked before the index";
    EXPECT_EQ(Dump(), full);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_TransducerDatabaseAdd: There is already 14 transducers in the database. "
              "Delete one using the function i_QMD5820_TransducerDatabaseDelete and retry (-3)");
    // The selection types 2 to 15 are all in use, each once.
    std::set<uint8_t> types;
    for (uint8_t index : Indexes()) {
        qmd::TransducerRecord record{};
        ASSERT_EQ(qmd::FindTransducerRecord(handle, index, record), 0);
        types.insert(record[1]);
    }
    EXPECT_EQ(types.size(), 14u);
    EXPECT_EQ(*types.begin(), 2);
    EXPECT_EQ(*types.rbegin(), 15);
}

TEST_F(Database, AddOfAnExistingIndexIsRefused) {
    const Eeprom before = Dump();
    EXPECT_EQ(Add(12), -4);
    EXPECT_EQ(Dump(), before);
}

TEST_F(Database, FreedSelectionTypesAreReused) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 5), 0);  // selection type 3
    ASSERT_EQ(Add(60), 0);
    qmd::TransducerRecord record{};
    ASSERT_EQ(qmd::FindTransducerRecord(handle, 60, record), 0);
    EXPECT_EQ(record[1], 3);
}

// ---- delete --------------------------------------------------------------------------------

TEST_F(Database, AddThenDeleteRestoresTheArea) {
    const Eeprom before = Dump();
    ASSERT_EQ(Add(40), 0);
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 40), 0);
    const Eeprom after = Dump();
    // Everything is as before except the potis words and configuration block of the freed
    // selection type 5, which keep what the add wrote (calibration bits cleared).
    for (uint32_t w = 0; w < QMDSIM_EEPROM_WORDS; ++w) {
        const bool potis = w >= 40 && w < 48;
        const bool block = w >= 32768 + 512 * 5 && w < 32768 + 512 * 6;
        if (!potis && !block) {
            ASSERT_EQ(after[w], before[w]) << w;
        }
    }
    EXPECT_EQ(after[40] & 1, 0);
    EXPECT_EQ(after[41] & 1, 0);
}

TEST_F(Database, DeleteOfTheLastRecordClearsItsWords) {
    Eeprom e = Dump();
    const uint16_t records_end = static_cast<uint16_t>(table + 5 + 3 * 29);
    e[133] = static_cast<uint16_t>((e[133] & 0xFF00) | 2);
    e[132] = static_cast<uint16_t>((records_end - 133) * 2);
    qmdsim_eeprom_load(0, e.data(), static_cast<uint32_t>(e.size()));
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 12), 0);
    const Eeprom after = Dump();
    for (uint16_t a = records_end - 29; a < records_end; ++a) {
        EXPECT_EQ(after[a], 0) << a;
    }
    EXPECT_EQ(after[records_end - 30], e[records_end - 30]);
    EXPECT_EQ(after[table + 4], 2);
}

TEST_F(Database, DeleteOfANonDefaultTypeLeavesTheDefault) {
    const Eeprom before = Dump();
    testing::internal::CaptureStdout();
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 12), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Dump()[0], before[0]);
    EXPECT_EQ(qmdsim_restart_count(0), 0u);
    EXPECT_EQ(Indexes(), (std::vector<uint8_t>{1, 5}));
}

TEST_F(Database, DeletingTheDefaultPrefersACalibratedType) {
    // Selection type 3 (index 5) not calibrated, selection type 4 (index 12) calibrated.
    qmdsim_eeprom_set(0, 32, static_cast<uint16_t>(qmdsim_eeprom_get(0, 32) | 1));
    testing::internal::CaptureStdout();
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Find a calibrated transducer ! Type is : 12, Selection type value is : 4 \n");
    EXPECT_EQ(qmdsim_eeprom_get(0, 0), (12 << 8) | 4);
    EXPECT_EQ(qmdsim_restart_count(0), 1u);
    EXPECT_EQ(qmdsim_eeprom_get(0, 16) & 1, 0) << "type 2 no longer calibrated";
    EXPECT_EQ(qmdsim_eeprom_get(0, 17) & 1, 0);
}

TEST_F(Database, DeletingTheDefaultWithoutACalibratedTypeTakesTheFirst) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Find a calibrated transducer ! Type is : 5, Selection type value is : 3 \n");
    EXPECT_EQ(qmdsim_eeprom_get(0, 0), (5 << 8) | 3);
    const auto requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().code, 0x90002048u) << "the restart request comes last";
}

TEST_F(Database, TheDatabaseNeverBecomesEmpty) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 12), 0);
    ASSERT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 5), 0);
    const Eeprom one = Dump();
    EXPECT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 1), -3);
    EXPECT_EQ(Dump(), one);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_TransducerDatabaseDelete: The minimum number of transducer in the "
              "database is 1. (-3)");
    EXPECT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 99), -3);
    ASSERT_EQ(Add(7), 0);
    EXPECT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 99), -4);
}

TEST_F(Database, RestartFailureOfAnyKindIsMinusThirtyTwo) {
    for (int32_t kind : {QMDSIM_FAULT_CALL, QMDSIM_FAULT_STATUS}) {
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmd::OnProcessAttach();
        handle = Open();
        qmdsim_fault_request(0, 0x90002048, 1, kind, 9);
        testing::internal::CaptureStdout();
        EXPECT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 1), -32);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(qmdsim_eeprom_get(0, 0), (5 << 8) | 3) << "the new default is written first";
    }
}

// A backend that forwards to the simulated board and, after the count of transducers has
// been written, gives every record of the table another index: the record search then
// finds nothing within the counted records.
struct CorruptingBackend {
    static inline uint16_t table = 0;
    static int32_t Ioctl(void* context, uint64_t handle, uint32_t code, uint8_t* buffer,
                         uint32_t in_size, uint32_t out_size) {
        const qmd5820_backend* sim = qmdsim_backend();
        const int32_t ok = sim->device_io_control(context, handle, code, buffer, in_size, out_size);
        if (code == 0x9001c008 && qmd::bytes::GetU32(buffer + 4) == 2u * (table + 4u)) {
            for (int i = 0; i < 3; ++i) {
                const uint16_t w = static_cast<uint16_t>(table + 5 + 29 * i);
                qmdsim_eeprom_set(0, w, static_cast<uint16_t>(qmdsim_eeprom_get(0, w) | 0xFF));
            }
        }
        return ok;
    }
};

TEST_F(Database, RecordSearchIsBoundedByTheCount) {
    CorruptingBackend::table = table;
    qmd5820_backend corrupting = *qmdsim_backend();
    corrupting.device_io_control = CorruptingBackend::Ioctl;
    ASSERT_EQ(qmd5820_install_backend(&corrupting), 0);
    EXPECT_EQ(i_QMD5820_TransducerDatabaseDelete(handle, 5), -21);
    EXPECT_EQ(LastError(handle), "i_QMD5820_TransducerDatabaseDelete: Cannot read the transducer type (-21)");
}

// ---- every step code, by failing each request in turn ---------------------------------------

struct Sweep {
    std::vector<int16_t> codes;      // the code when request k (1-based) fails
    std::map<int16_t, int> counts;  // how many requests give each code
};

class StepCodes : public Database {
protected:
    // Runs `operation` on a fresh factory board once per request it makes, failing that
    // request; the EEPROM after each failure is checked by `check`.
    template <class Operation>
    Sweep Run(Operation operation, uint32_t requests) {
        Sweep sweep;
        const Eeprom factory = Dump();
        for (uint32_t k = 1; k <= requests; ++k) {
            qmdsim_eeprom_load(0, factory.data(), static_cast<uint32_t>(factory.size()));
            qmdsim_fault_clear();
            qmdsim_fault_request(0, QMDSIM_ANY_CODE, k, (k % 2) ? QMDSIM_FAULT_CALL : QMDSIM_FAULT_STATUS, 3);
            testing::internal::CaptureStdout();
            const int16_t code = operation();
            testing::internal::GetCapturedStdout();
            sweep.codes.push_back(code);
            ++sweep.counts[code];
        }
        qmdsim_fault_clear();
        return sweep;
    }

    // Number of driver requests of a successful run.
    template <class Operation>
    uint32_t Count(Operation operation) {
        const Eeprom factory = Dump();
        qmdsim_trace_clear();
        testing::internal::CaptureStdout();
        EXPECT_EQ(operation(), 0);
        testing::internal::GetCapturedStdout();
        const auto n = static_cast<uint32_t>(Requests().size());
        qmdsim_eeprom_load(0, factory.data(), static_cast<uint32_t>(factory.size()));
        return n;
    }
};

// The codes in request order with repeats folded: runs of one code, and the alternating
// read/write pairs of a move, each shown once.
std::vector<int16_t> Folded(const std::vector<int16_t>& codes) {
    std::vector<int16_t> folded;
    for (int16_t code : codes) {
        const size_t n = folded.size();
        if (n > 0 && folded[n - 1] == code) continue;
        if (n > 2 && folded[n - 2] == code && folded[n - 3] == folded[n - 1]) {
            folded.pop_back();  // a b a b: the second pair repeats the first
            continue;
        }
        folded.push_back(code);
    }
    return folded;
}

TEST_F(StepCodes, EveryAddStepHasItsCode) {
    const auto add = [this] { return Add(40); };
    const Sweep sweep = Run(add, Count(add));
    // The directory: kind words until the transducer functionality (-11), its offset (-12),
    // then the later offsets read and rewritten (-9, -10).
    const std::vector<int16_t> expected = {-2,  -5,  -6,  -7,  -8,  -11, -12, -9,  -10, -13,
                                           -14, -15, -16, -17, -18, -19, -20, -21, -22, -23,
                                           -24, -25, -26, -27, -28, -29, -30, -31};
    EXPECT_EQ(Folded(sweep.codes), expected);
    EXPECT_EQ(sweep.counts.at(-24), 29);
    EXPECT_EQ(sweep.counts.at(-29), 128);
    EXPECT_EQ(sweep.counts.at(-30), 126);
    EXPECT_EQ(sweep.counts.at(-31), 512);
}

TEST_F(StepCodes, EveryDeleteStepHasItsCode) {
    // Deleting the default transducer walks every step, restart included. A failing read
    // while looking for a calibrated successor is not an error: the first remaining
    // transducer is taken instead (the 0 in the sequence).
    const auto del = [this] { return i_QMD5820_TransducerDatabaseDelete(handle, 1); };
    const Sweep sweep = Run(del, Count(del));
    const std::vector<int16_t> expected = {-2,  -5,  -6,  -7,  -10, -11, -8,  -9,  -12,
                                           -13, -14, -15, -16, -17, -18, -19, -20, -21,
                                           -22, -23, -24, -25, -26, -27, -28, -29, 0,
                                           -30, -31, -32};
    EXPECT_EQ(Folded(sweep.codes), expected);
    EXPECT_EQ(sweep.counts.at(-24), 29);
}

TEST_F(StepCodes, PartialStateAfterAFailure) {
    const Eeprom factory = Dump();
    // The first write (word 132) fails: nothing has changed.
    qmdsim_fault_request(0, 0x9001c008, 1, QMDSIM_FAULT_STATUS, 4);
    EXPECT_EQ(Add(40), -7);
    EXPECT_EQ(Dump(), factory);
    EXPECT_EQ(LastError(handle), "i_QMD5820_TransducerDatabaseAdd: Cannot write the new size (-7)");

    // The first configuration block write fails: the record and the potis words are in
    // place, the block is not.
    qmdsim_fault_clear();
    qmdsim_fault_request_at(0, 0x9001c008, 2u * (32768 + 512 * 5), 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(Add(40), -31);
    const Eeprom partial = Dump();
    EXPECT_EQ(partial[table + 4], 4);
    EXPECT_EQ(partial[40], 0x0D00);
    EXPECT_EQ(partial[32768 + 512 * 5], factory[32768 + 512 * 5]);
}

}  // namespace
}  // namespace qmdtest
