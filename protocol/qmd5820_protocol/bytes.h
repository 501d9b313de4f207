// Little-endian put/get helpers for request records, EEPROM record images, the
// configuration block and the files that carry them. Records are built and read byte by
// byte at the offsets the board format gives (requests.h, eeprom_map.h): no packed structs
// cast over buffers, no unaligned typed loads.
#pragma once

#include <cstdint>
#include <cstring>

namespace qmd::bytes {

inline void PutU8(uint8_t* p, uint8_t v) { p[0] = v; }

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutF64(uint8_t* p, double v) {
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof v);
    std::memcpy(&bits, &v, sizeof bits);
    PutU64(p, bits);
}

inline uint8_t GetU8(const uint8_t* p) { return p[0]; }

inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Written out byte by byte rather than as a loop: compilers turn this form into a single
// load (the conversion reads a range per channel on every call).
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t GetU64(const uint8_t* p) {
    return uint64_t{GetU32(p)} | uint64_t{GetU32(p + 4)} << 32;
}

inline double GetF64(const uint8_t* p) {
    const uint64_t bits = GetU64(p);
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace qmd::bytes
