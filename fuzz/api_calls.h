// One exported function of the library, chosen and given its arguments by the input; shared
// by the backend and the call-sequence targets. Caller arrays are allocated at exactly the
// size the function is told (16 bytes for the acquisition start lists), so a read or write
// beyond them is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "QMD5820.h"
#include "fuzz_support.h"

namespace qmdfuzz {

template <class T>
std::unique_ptr<T[]> Array(std::size_t n) {
    return std::unique_ptr<T[]>(new T[n]());
}

// A channel number: mostly 0 to 15, sometimes any byte.
inline uint8_t Channel(Input& in) {
    const uint8_t c = in.U8();
    return (c & 0x80) != 0 ? c : static_cast<uint8_t>(c & 0x0F);
}

inline std::unique_ptr<uint8_t[]> Channels(Input& in, std::size_t n) {
    auto list = Array<uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) list[i] = Channel(in);
    return list;
}

// A transducer index: mostly one of the factory types (1 to 4), sometimes any byte.
inline uint8_t TransducerIndex(Input& in) {
    const uint8_t c = in.U8();
    return (c & 0x80) != 0 ? c : static_cast<uint8_t>(c % 5);
}

inline constexpr unsigned kApiCalls = 46;

// Calls the function an input byte chooses on `h`; returns its result (ReadSequenceData's
// byte count or code). Bytes 0xF0 and above choose the database add and delete (hundreds
// of requests each, so random bytes choose them rarely), the others the rest.
// A database add or delete rewrites hundreds of EEPROM words; one per execution keeps the
// executions fast (the EEPROM target goes deeper into them).
inline constexpr unsigned kMaxDatabaseUpdates = 1;

// `updates` counts the database adds and deletes of this execution.
inline int32_t CallApi(QMD5820_HANDLE h, Input& in, unsigned& updates) {
    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t dw = 0;
    double d = 0;
    const uint8_t pick = in.U8();
    switch (pick >= 0xF0 ? kApiCalls - 2 + (pick & 1u) : pick % (kApiCalls - 2)) {
        case 0: return i_QMD5820_GetDeviceDriverVersion(h, &dw);
        case 1: return i_QMD5820_GetFirmwareVersion(h, &dw);
        case 2: {
            char revision = 0;
            return i_QMD5820_GetBoardHardwareRevision(h, &revision);
        }
        case 3: return i_QMD5820_GetBoardSerialNumber(h, &dw);
        case 4: {
            // A text always, terminated within the record's 1024 bytes.
            const char* text = pc_QMD5820_GetLastError(h);
            if (text == nullptr || std::strlen(text) >= 1024) std::abort();
            return static_cast<int32_t>(std::strlen(text));
        }
        case 5: {
            const uint8_t size = in.U8() % 20;
            auto indexes = Array<uint8_t>(size);
            return i_QMD5820_GetAvailableTransducerTypes(h, indexes.get(), size, &b);
        }
        case 6: {
            double r = 0, s = 0, f = 0, v = 0;
            return i_QMD5820_TransducerDatabaseReadTransducerInfo(h, TransducerIndex(in), &r, &s,
                                                                  &f, &v, &b);
        }
        case 7: return i_QMD5820_GetNumberOfTransducerChannels(h, &b);
        case 8: {
            const uint8_t channel = Channel(in);
            const uint8_t index = TransducerIndex(in);
            return i_QMD5820_Init1TransducerChannel(h, channel, index, in.Double());
        }
        case 9: return i_QMD5820_Read1TransducerChannel(h, Channel(in), &w);
        case 10: {
            const uint8_t count = in.U8() % 20;
            auto list = Channels(in, count);
            auto raw = Array<uint16_t>(count);
            return i_QMD5820_ReadMoreTransducerChannels(h, count, list.get(), raw.get());
        }
        case 11: {
            const uint8_t channel = Channel(in);
            return i_QMD5820_Convert1RawToMetricValue(h, channel, in.U16(), &d);
        }
        case 12: {
            const uint8_t count = in.U8() % 20;
            auto list = Channels(in, count);
            auto raw = Array<uint16_t>(count);
            for (std::size_t i = 0; i < count; ++i) raw[i] = in.U16();
            auto metric = Array<double>(count);
            return i_QMD5820_ConvertMoreRawToMetricValues(h, count, list.get(), raw.get(),
                                                          metric.get());
        }
        case 13: {
            const uint8_t count = in.U8() % 18;
            auto list = Channels(in, 16);
            auto indexes = Array<uint8_t>(16);
            for (std::size_t i = 0; i < 16; ++i) indexes[i] = TransducerIndex(in);
            uint64_t address = 0;
            return i_QMD5820_InitAndStartAutoRefreshAcquisition(h, count, list.get(),
                                                                indexes.get(), &address);
        }
        case 14: {
            const uint16_t before = in.U16();
            const uint32_t p1 = in.U32();
            const uint8_t size = in.U8() % 18;
            auto list = Channels(in, 16);
            auto indexes = Array<uint8_t>(16);
            for (std::size_t i = 0; i < 16; ++i) indexes[i] = TransducerIndex(in);
            const uint32_t p2 = in.U32();
            const uint8_t soft = in.U8() % 7;
            const uint8_t external = in.U8() % 7;
            return i_QMD5820_InitAndStartTransducerSequence(h, before, p1, size, list.get(),
                                                            indexes.get(), p2, soft, external,
                                                            in.U32());
        }
        case 15: {
            const uint32_t n = in.U16() % 4097;
            auto buffer = Array<uint8_t>(n);
            // Never more bytes reported than asked for, whatever the driver says it delivered.
            const int32_t got = l_QMD5820_ReadSequenceData(h, n, buffer.get());
            if (got > static_cast<int32_t>(n)) std::abort();
            return got;
        }
        case 16: return i_QMD5820_TriggerTransducerAcquisition(h);
        case 17: return i_QMD5820_StopTransducerAcquisition(h);
        case 18: return i_QMD5820_SetConvertTimeDivisionFactor(h, in.U8());
        case 19: return i_QMD5820_TestPrimaryLine(h, &b);
        case 20: return i_QMD5820_RearmPrimaryLine(h);
        case 21: return i_QMD5820_CalibratePrimaryLineTest(h);
        case 22: return i_QMD5820_EnableDisableShortCircuitInterrupts(h, in.U8() % 3);
        case 23: return i_QMD5820_Read1DigitalInput(h, in.U8() % 10, &b);
        case 24: return i_QMD5820_Read8DigitalInputs(h, &b);
        case 25: return i_QMD5820_Set1DigitalOutputOn(h, in.U8() % 10);
        case 26: return i_QMD5820_Set1DigitalOutputOff(h, in.U8() % 10);
        case 27: return i_QMD5820_Set8DigitalOutputsOn(h, in.U8());
        case 28: return i_QMD5820_Set8DigitalOutputsOff(h, in.U8());
        case 29: return i_QMD5820_SetDigitalOutputMemoryOn(h);
        case 30: return i_QMD5820_SetDigitalOutputMemoryOff(h);
        case 31: return i_QMD5820_Get1DigitalOutputStatus(h, in.U8() % 10, &b);
        case 32: return i_QMD5820_Get8DigitalOutputsStatus(h, &b);
        case 33: {
            const uint8_t base = in.U8() % 4;
            const uint16_t reload = in.U16();
            return i_QMD5820_InitAndStartTimer(h, base, reload, in.U8() % 3);
        }
        case 34: return i_QMD5820_StopTimer(h);
        case 35: return i_QMD5820_TriggerTimer(h);
        case 36: {
            uint8_t b2 = 0;
            return i_QMD5820_ReadTimerStatus(h, &b, &b2, &w);
        }
        case 37: return i_QMD5820_ReadTimerValue(h, &w);
        case 38: return i_QMD5820_LoadLogicCommand(h, in.U8() % 5);
        case 39: return i_QMD5820_LoadLogicWrite(h, in.U32());
        case 40: return i_QMD5820_LoadLogicRead(h, &dw);
        case 41: return i_QMD5820_GetLoadLogicStatus(h, &b);
        case 42: {
            uint32_t reference = in.U32();
            return i_QMD5820_SetLabViewInterrupt(h, &reference);
        }
        case 43: return i_QMD5820_ResetLabViewInterrupt(h);
        case 44: {
            if (++updates > kMaxDatabaseUpdates) return 0;
            const uint8_t index = TransducerIndex(in);
            const double range = in.Double();
            const double sensitivity = in.Double();
            const double frequency = in.Double();
            const double voltage = in.Double();
            return i_QMD5820_TransducerDatabaseAdd(h, index, range, sensitivity, frequency,
                                                   voltage, in.Double());
        }
        case 45:
            if (++updates > kMaxDatabaseUpdates) return 0;
            return i_QMD5820_TransducerDatabaseDelete(h, TransducerIndex(in));
            // The calibration functions are not called from here: the library reads the
            // live values at the address the driver returns, which a fuzzed driver would
            // make arbitrary. The EEPROM target calls them against the simulated board.
    }
    return 0;
}

}  // namespace qmdfuzz
