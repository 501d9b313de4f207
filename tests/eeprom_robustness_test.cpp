// Whatever the EEPROM holds (random words, a corrupt directory, size words of 0, counts far
// above 14), every database and channel function returns, touching nothing outside its
// buffers (the sanitizer builds check the latter).
#include <cstdio>
#include <random>
#include <vector>

#include "api_fixture.h"
#include "eeprom/directory.h"
#include "eeprom_robustness.h"

namespace qmdtest {
namespace {

class Robustness : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        qmdsim_trace_enable(0);
        handle = Open();
        factory.resize(QMDSIM_EEPROM_WORDS);
        qmdsim_eeprom_dump(0, factory.data(), QMDSIM_EEPROM_WORDS);
        table = qmd::FindTransducerTable(handle);
    }

    void Load(const std::vector<uint16_t>& image) {
        qmdsim_eeprom_load(0, image.data(), static_cast<uint32_t>(image.size()));
    }

    int Exercise(uint8_t index) {
        // The default-transducer line of the delete is not wanted in the test log.
        testing::internal::CaptureStdout();
        const int ok = ExerciseDatabase(handle, index);
        testing::internal::GetCapturedStdout();
        return ok;
    }

    QMD5820_HANDLE handle = 0;
    std::vector<uint16_t> factory;
    uint16_t table = 0;
};

TEST_F(Robustness, MutatedFactoryImages) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> word(0, 65535);
    std::uniform_int_distribution<int> structured(0, 1200);  // the directory and the table
    int succeeded = 0;
    for (int round = 0; round < 400; ++round) {
        std::vector<uint16_t> image = factory;
        const int mutations = 1 + round % 8;
        for (int m = 0; m < mutations; ++m) {
            image[static_cast<size_t>(128 + structured(random))] = static_cast<uint16_t>(word(random));
        }
        Load(image);
        succeeded += Exercise(static_cast<uint8_t>(round % 3 == 0 ? 1 : word(random)));
    }
    // The mutations leave many images usable: the walks get deep, not just to a first check.
    EXPECT_GT(succeeded, 400);
}

TEST_F(Robustness, HostileValues) {
    struct Case {
        const char* what;
        uint16_t address;
        uint16_t value;
    };
    const uint16_t b = qmd::FindTransducerFunctionality(handle);
    const Case cases[] = {
        {"255 functionalities", 133, 0x00FF},
        {"size words of 0", static_cast<uint16_t>(b + 2), 0},
        {"65535 inputs", static_cast<uint16_t>(b + 7), 0xFFFF},
        {"table count 65535", static_cast<uint16_t>(table + 4), 0xFFFF},
        {"table count 300", static_cast<uint16_t>(table + 4), 300},
        {"current size 65535", 132, 0xFFFF},
        {"current size 0", 132, 0},
        {"offset at the top", 137, 0xFFFE},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> image = factory;
        image[c.address] = c.value;
        Load(image);
        Exercise(5);
        SUCCEED() << c.what;
    }
}

TEST_F(Robustness, RandomImages) {
    std::mt19937 random(5820);
    std::uniform_int_distribution<int> word(0, 65535);
    std::vector<uint16_t> image(QMDSIM_EEPROM_WORDS);
    for (int round = 0; round < 40; ++round) {
        for (auto& w : image) w = static_cast<uint16_t>(word(random));
        // Keep the directory small often enough for the walks to get somewhere.
        if (round % 2 == 0) image[133] = static_cast<uint16_t>(round % 4);
        Load(image);
        Exercise(static_cast<uint8_t>(word(random)));
    }
}

}  // namespace
}  // namespace qmdtest
