#include "platform/platform.h"

#include <atomic>

namespace qmd::platform {
namespace {
std::atomic<const Api*> g_replacement{nullptr};
}  // namespace

const Api& Os() {
    const Api* api = g_replacement.load(std::memory_order_acquire);
    return api != nullptr ? *api : SystemApi();
}

void ReplaceForTesting(const Api* api) { g_replacement.store(api, std::memory_order_release); }

}  // namespace qmd::platform
