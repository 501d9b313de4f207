// The fuzz programs stand in for a LabVIEW run-time (their executables export these), so
// that interrupts delivered to a LabVIEW event reach a PostLVUserEvent that reads the whole
// event: the cluster, the array handle and every value the block claims.
#include <cstdint>
#include <cstring>

#define QMDFUZZ_EXPORT extern "C" __attribute__((visibility("default")))

QMDFUZZ_EXPORT void* AZNewHandle(uint32_t) { return nullptr; }

QMDFUZZ_EXPORT int32_t PostLVUserEvent(uint32_t reference, void* data) {
    const auto* event = static_cast<const uint8_t*>(data);
    uint64_t handle_address = 0;
    std::memcpy(&handle_address, event + 16, sizeof handle_address);
    const auto* block = *reinterpret_cast<const uint8_t* const*>(handle_address);
    uint32_t count = 0;
    std::memcpy(&count, block, sizeof count);
    uint32_t sum = reference + event[0];
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v = 0;
        std::memcpy(&v, block + 4 + 4 * i, sizeof v);
        sum += v;
    }
    return sum == 0xFFFFFFFFu ? 1 : 0;
}
