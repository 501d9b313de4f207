// The layout of the simulated boards' state file, defined here once.
//
// The file is mapped by every process that uses the simulated boards (MAP_SHARED), so a
// request sees what any other process's last request left, as programs sharing one real
// board do. It has a fixed size, allocated in full when it is created, so writing to the
// mapping can never run out of disk space.
//
//   header (256 bytes)
//     0   magic "QMDSIMST"
//     8   u32 format version (2)
//     12  u32 header size (256)
//     16  u32 number of board slots (16)
//     20  u32 slot size
//     24  u64 file size
//     64  the state lock: a process-shared, robust mutex, held for every request
//   slot i (board index i), at header size + i x slot size
//     0   u32 kept: 0 the board is in its factory state, 1 the slot holds its state
//     4   u32 serial number  } the board the slot belongs to: a board of another serial
//     8   u8 hardware revision } number or revision at this index starts from its factory
//     9   u8 digital outputs, 10 u8 output memory
//     16  u64 generation: changed by every change of the slot (a process rereads the slot
//         when it differs from the one it last saw)
//     24  the 32 potentiometers
//     128 the 65536 EEPROM words
//
// Numbers are little-endian (byte access through qmd::bytes); the mutex is the host's.
// A file of this magic with another version is not read and not replaced.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"

namespace qmdsim::state_layout {

inline constexpr char kMagic[8] = {'Q', 'M', 'D', 'S', 'I', 'M', 'S', 'T'};
inline constexpr uint32_t kVersion = 2;

namespace header {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kSlotCount = 16;
inline constexpr std::size_t kSlotSize = 20;
inline constexpr std::size_t kFileSize = 24;
inline constexpr std::size_t kLock = 64;
inline constexpr std::size_t kLockBytes = 64;
inline constexpr std::size_t kBytes = 256;
}  // namespace header

namespace slot {
inline constexpr std::size_t kKept = 0;
inline constexpr std::size_t kSerialNumber = 4;
inline constexpr std::size_t kHardwareRevision = 8;
inline constexpr std::size_t kOutputs = 9;
inline constexpr std::size_t kOutputMemory = 10;
inline constexpr std::size_t kGeneration = 16;
inline constexpr std::size_t kPotentiometers = 24;
inline constexpr std::size_t kEeprom = 128;
inline constexpr std::size_t kBytes = kEeprom + 2 * std::size_t{QMDSIM_EEPROM_WORDS};
inline constexpr uint32_t kFactory = 0;
inline constexpr uint32_t kHeld = 1;
}  // namespace slot

static_assert(slot::kPotentiometers + qmd::board::kPotentiometers <= slot::kEeprom);

// Boards of a higher index are not kept.
inline constexpr uint32_t kSlots = 16;
inline constexpr std::size_t kFileBytes = header::kBytes + kSlots * slot::kBytes;

}  // namespace qmdsim::state_layout
