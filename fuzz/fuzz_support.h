// Shared by the libFuzzer targets: reading typed values from the input, and putting the
// simulated board's EEPROM back after an execution at the cost of what it wrote.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdfuzz {

// Consumes the input front to back; past its end every value reads as 0.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return pos_ < size_ ? size_ - pos_ : 0; }

    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() {
        const auto lo = U8();
        return static_cast<uint16_t>(lo | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    bool Bool() { return (U8() & 1) != 0; }
    // A value 0 to n - 1 (n > 0).
    uint32_t Below(uint32_t n) { return U8() % n; }

    // A double: most often one of the values the functions treat specially, else any bit
    // pattern (NaN, infinities and denormals included).
    double Double() {
        static constexpr double kInteresting[] = {
            0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 5.0, 6.0, 50.0, 5000.0, 1e-300, 1e300, -1e300,
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(),
            4294967295.0, 4294967296.0, -2147483649.0, 65535.0, 65536.0, 1e9, 1e-9};
        const uint8_t pick = U8();
        if (pick < 0xC0) return kInteresting[pick % std::size(kInteresting)];
        uint64_t bits = U32();
        bits |= static_cast<uint64_t>(U32()) << 32;
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    // `n` bytes into `out` (zeros past the end of the input).
    void Bytes(uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = U8();
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A backend in front of the simulated driver that notes the EEPROM words every write
// request addresses, so that an execution is undone by rewriting only those words (and the
// ones the harness patched itself) instead of the whole 64K-word image.
class EepromUndo {
  public:
    // Installs the logging backend and keeps the images boards 0 to `boards` - 1 hold now
    // as the ones every execution starts from.
    static void Install(uint32_t boards) {
        State& s = state();
        s.images.assign(boards, std::vector<uint16_t>(QMDSIM_EEPROM_WORDS));
        for (uint32_t b = 0; b < boards; ++b) {
            qmdsim_eeprom_dump(b, s.images[b].data(), QMDSIM_EEPROM_WORDS);
        }
        s.inner = *qmd5820_default_backend();
        qmd5820_backend wrapper = s.inner;
        wrapper.device_io_control = [](void* context, uint64_t handle, uint32_t code,
                                       uint8_t* buffer, uint32_t in_size, uint32_t out_size) {
            State& st = state();
            constexpr std::size_t kAt = qmd::req::eeprom_word::kByteAddress;
            if (code == qmd::req::kEepromWrite && buffer != nullptr && in_size >= kAt + 4) {
                Note(qmd::bytes::GetU32(buffer + kAt) / 2);
            }
            return st.inner.device_io_control(context, handle, code, buffer, in_size, out_size);
        };
        qmd5820_install_backend(&wrapper);
    }

    // A word the harness itself is about to change.
    static void Note(uint32_t word) {
        State& s = state();
        if (word < QMDSIM_EEPROM_WORDS && !s.dirty[word]) {
            s.dirty[word] = true;
            s.words.push_back(static_cast<uint16_t>(word));
        }
    }

    // The starting image of board `b`.
    static const std::vector<uint16_t>& Image(uint32_t b) { return state().images[b]; }

    // Rewrites every noted word on every kept board from its starting image.
    static void Restore() {
        State& s = state();
        for (const uint16_t word : s.words) {
            for (uint32_t b = 0; b < s.images.size(); ++b) {
                qmdsim_eeprom_set(b, word, s.images[b][word]);
            }
            s.dirty[word] = false;
        }
        s.words.clear();
    }

  private:
    struct State {
        std::vector<std::vector<uint16_t>> images;
        qmd5820_backend inner{};
        std::vector<bool> dirty = std::vector<bool>(QMDSIM_EEPROM_WORDS, false);
        std::vector<uint16_t> words;
    };
    static State& state() {
        static State s;
        return s;
    }
};

}  // namespace qmdfuzz
