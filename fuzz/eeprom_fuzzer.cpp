// libFuzzer target: the database and channel functions on EEPROM images derived from the
// factory image by the fuzzer's patches (each 4 input bytes: a word address within the
// words these functions read, and its value).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/board_table.h"
#include "eeprom_robustness.h"
#include "qmd5820sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint16_t> factory = [] {
        std::vector<uint16_t> image(QMDSIM_EEPROM_WORDS);
        qmdsim_build_factory_image(image.data(), 1, 0);
        return image;
    }();
    static QMD5820_HANDLE handle = [] {
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmd::OnProcessAttach();
        QMD5820_HANDLE h = 0;
        i_QMD5820_OpenBoardViaIndex(0, &h);
        std::fclose(stdout);  // the delete's diagnostic line is not wanted here
        return h;
    }();
    if (size < 1) return 0;
    std::vector<uint16_t> image = factory;
    for (size_t i = 1; i + 4 <= size; i += 4) {
        constexpr unsigned kReadArea = 1280;  // potis words, identity, directory, table
        const auto address = static_cast<uint16_t>((data[i] | (data[i + 1] << 8)) % kReadArea);
        image[address] = static_cast<uint16_t>(data[i + 2] | (data[i + 3] << 8));
    }
    qmdsim_eeprom_load(0, image.data(), static_cast<uint32_t>(image.size()));
    qmdtest::ExerciseDatabase(handle, data[0]);
    return 0;
}
