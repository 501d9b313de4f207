// libFuzzer target: the database and channel functions, with arguments from the input, on
// EEPROM images derived from the factory image by patches from the input.
//
// Input: a patch count byte, then per patch a 16-bit word selector and a 16-bit value (a
// selector with bit 15 set addresses the configuration blocks from word 32768, otherwise
// the potis words, identity, directory and transducer table below word 1280); then
// calls, each an operation byte followed by its arguments. Caller arrays are allocated at
// exactly the size the call is told, so a write or read beyond them is reported.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "fuzz_support.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"

namespace {

constexpr unsigned kMaxPatches = 48;
constexpr unsigned kMaxCalls = 8;  // each call walks the directory again
constexpr unsigned kMaxUpdates = 1;  // an add or a delete rewrites hundreds of words
constexpr uint16_t kLowArea = 1280;
// The configuration blocks of selection types 0 to 15.
constexpr uint16_t kConfigurationArea =
    (qmd::ee::kLastSelectionType + 1u) * qmd::ee::kConfigurationWords;

QMD5820_HANDLE Setup() {
    qmdsim_reset();
    qmdsim_set_virtual_clock(1);
    qmd::OnProcessAttach();
    qmdfuzz::EepromUndo::Install(1);
    // The calibration operations end at their first sampling: the conversion counter
    // request always answers a status, so no run spins through a 2 s time-out.
    qmdsim_fault_request(0, qmd::req::kReadConversionCounter, 0, QMDSIM_FAULT_STATUS, 5);
    QMD5820_HANDLE h = 0;
    i_QMD5820_OpenBoardViaIndex(0, &h);
    std::fclose(stdout);  // the delete's diagnostic line is not wanted here
    return h;
}

template <class T>
std::unique_ptr<T[]> Array(std::size_t n) {
    return std::unique_ptr<T[]>(new T[n]());
}

// A channel list of `count` entries from the input, mostly valid channels.
std::unique_ptr<uint8_t[]> ChannelList(qmdfuzz::Input& in, std::size_t count) {
    auto list = Array<uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t c = in.U8();
        list[i] = (c & 0x80) != 0 ? c : static_cast<uint8_t>(c & 0x0F);
    }
    return list;
}

// Operation bytes 0xF0 and above are the add and the delete (they rewrite hundreds of
// words each, so random bytes choose them rarely); the others choose a lookup or a channel
// function.
void Call(QMD5820_HANDLE h, qmdfuzz::Input& in, unsigned& updates) {
    const uint8_t op = in.U8();
    const int pick = op >= 0xF0 ? 8 + (op & 1) : op >= 0xE0 ? 10 + (op & 1) : op % 8;
    switch (pick) {
        case 0: {
            const uint8_t size = in.U8() % 20;
            auto indexes = Array<uint8_t>(size);
            uint8_t count = 0;
            i_QMD5820_GetAvailableTransducerTypes(h, indexes.get(), size, &count);
            break;
        }
        case 1: {
            double r = 0, s = 0, f = 0, v = 0;
            uint8_t calibrated = 0;
            i_QMD5820_TransducerDatabaseReadTransducerInfo(h, in.U8(), &r, &s, &f, &v, &calibrated);
            break;
        }
        case 2: {
            uint8_t channels = 0;
            i_QMD5820_GetNumberOfTransducerChannels(h, &channels);
            break;
        }
        case 3: {
            const uint8_t channel = in.U8();
            const uint8_t index = in.U8();
            i_QMD5820_Init1TransducerChannel(h, channel, index, in.Double());
            break;
        }
        case 4: {
            uint16_t raw = 0;
            i_QMD5820_Read1TransducerChannel(h, in.U8(), &raw);
            break;
        }
        case 5: {
            const uint8_t count = in.U8() % 20;
            auto list = ChannelList(in, count);
            auto raw = Array<uint16_t>(count);
            i_QMD5820_ReadMoreTransducerChannels(h, count, list.get(), raw.get());
            break;
        }
        case 6: {
            double metric = 0;
            const uint8_t channel = in.U8();
            i_QMD5820_Convert1RawToMetricValue(h, channel, in.U16(), &metric);
            break;
        }
        case 7: {
            const uint8_t count = in.U8() % 20;
            auto list = ChannelList(in, count);
            auto raw = Array<uint16_t>(count);
            for (std::size_t i = 0; i < count; ++i) raw[i] = in.U16();
            auto metric = Array<double>(count);
            i_QMD5820_ConvertMoreRawToMetricValues(h, count, list.get(), raw.get(), metric.get());
            break;
        }
        case 8: {
            if (++updates > kMaxUpdates) break;
            const uint8_t index = in.U8();
            const double range = in.Double();
            const double sensitivity = in.Double();
            const double frequency = in.Double();
            const double voltage = in.Double();
            i_QMD5820_TransducerDatabaseAdd(h, index, range, sensitivity, frequency, voltage,
                                            in.Double());
            break;
        }
        case 9:
            if (++updates > kMaxUpdates) break;
            i_QMD5820_TransducerDatabaseDelete(h, in.U8());
            break;
        // Calibration (operation bytes 0xE0 to 0xEF): both procedures read the transducer
        // record and the configuration block the patches reach. Each run ends at its first
        // sampling (see Setup); a break then puts back what it saved.
        case 10: {
            if (++updates > kMaxUpdates) break;
            const uint8_t index = in.U8();
            const uint8_t first = in.U8() % 10;
            const uint8_t second = in.U8() % 18;
            uint64_t values = 0;
            i_QMD5820_StartCalibration(h, index, first, second, in.Double(), &values);
            i_QMD5820_NextCalibrationStep(h);
            i_QMD5820_BreakCalibration(h);
            break;
        }
        case 11: {
            if (++updates > kMaxUpdates) break;
            const uint8_t index = in.U8();
            const uint8_t group0 = in.U8() % 10;
            const uint8_t group1 = in.U8() % 18;
            const uint32_t impedance = in.U32();
            const double position = in.Double();
            if (i_QMD5820_CalibrationStart(h, index, group0, group1, impedance, position,
                                           in.U8() % 3) == 0) {
                int32_t status = 0;
                uint32_t values[2] = {};
                // Let the worker reach a wait or its end, then break it off.
                for (int i = 0; i < 200; ++i) {
                    i_QMD5820_CalibrationGetCurrentStatus(h, &status, values);
                    if (status == 22 || status == 23 || status == 25 || status == 7) break;
                    i_QMD5820_CalibrationNextStep(h);
                }
            }
            i_QMD5820_CalibrationBreak(h);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QMD5820_HANDLE handle = Setup();
    qmdfuzz::Input in(data, size);

    const unsigned patches = in.U8() % (kMaxPatches + 1);
    for (unsigned i = 0; i < patches; ++i) {
        const uint16_t selector = in.U16();
        const uint16_t value = in.U16();
        const auto word = static_cast<uint16_t>(
            (selector & 0x8000u) != 0 ? qmd::ee::kConfigurationBase + (selector % kConfigurationArea)
                                      : selector % kLowArea);
        qmdfuzz::EepromUndo::Note(word);
        qmdsim_eeprom_set(0, word, value);
    }

    unsigned updates = 0;
    for (unsigned calls = 0; calls < kMaxCalls && !in.Empty(); ++calls) Call(handle, in, updates);

    // Back to the starting state: the image, and channels that were never initialised.
    qmdfuzz::EepromUndo::Restore();
    qmd::Board(0).channels = qmd::NotInitialisedChannels();
    return 0;
}
