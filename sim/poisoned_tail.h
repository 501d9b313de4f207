// A buffer's unused tail made unaddressable under AddressSanitizer (nothing elsewhere), so
// a fixed buffer that holds a smaller record still reports a write beyond the record, as
// an allocation of the record's exact size would.
#ifndef QMDSIM_POISONED_TAIL_H
#define QMDSIM_POISONED_TAIL_H

#include <cstddef>
#include <cstdint>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMDSIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QMDSIM_ASAN 1
#endif
#if defined(QMDSIM_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace qmdsim {

// Marks [size, capacity) of `data` unaddressable for the object's lifetime.
class PoisonedTail {
  public:
    PoisonedTail(uint8_t* data, std::size_t size, std::size_t capacity)
        : tail_(data + size), length_(capacity - size) {
#if defined(QMDSIM_ASAN)
        ASAN_POISON_MEMORY_REGION(tail_, length_);
#endif
    }
    ~PoisonedTail() {
#if defined(QMDSIM_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(tail_, length_);
#endif
    }
    PoisonedTail(const PoisonedTail&) = delete;
    PoisonedTail& operator=(const PoisonedTail&) = delete;

  private:
    [[maybe_unused]] uint8_t* tail_;
    [[maybe_unused]] std::size_t length_;
};

}  // namespace qmdsim

#endif
