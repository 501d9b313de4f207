#include "core/backend.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/trace.h"

namespace qmd {
namespace {

// Copy of the installed table; `installed` is false while the default one is used.
qmd5820_backend g_installed{};
bool g_use_installed = false;

bool Complete(const qmd5820_backend& b) {
    return b.count_boards != nullptr && b.open_board != nullptr && b.close_handle != nullptr &&
           b.device_io_control != nullptr && b.read_stream != nullptr && b.sleep_ms != nullptr &&
           b.clock_seconds != nullptr;
}

}  // namespace

const qmd5820_backend& UntracedBackend() {
    return g_use_installed ? g_installed : *qmd5820_default_backend();
}

const qmd5820_backend& Backend() { return TraceOn() ? TracingBackend() : UntracedBackend(); }

void SleepMs(uint32_t ms) {
    const qmd5820_backend& b = Backend();
    b.sleep_ms(b.context, ms);
}

}  // namespace qmd

extern "C" int32_t qmd5820_install_backend(const qmd5820_backend* backend) {
    if (backend == nullptr) {
        qmd::g_use_installed = false;
        return 0;
    }
    constexpr std::size_t kMinimumSize =
        offsetof(qmd5820_backend, clock_seconds) + sizeof backend->clock_seconds;
    if (backend->size < kMinimumSize) return -1;
    // Copy only what the installer's table holds; members it does not know stay null.
    qmd5820_backend copy{};
    std::memcpy(&copy, backend, std::min<std::size_t>(backend->size, sizeof copy));
    if (!qmd::Complete(copy)) return -1;
    copy.size = sizeof copy;
    qmd::g_installed = copy;
    qmd::g_use_installed = true;
    return 0;
}
