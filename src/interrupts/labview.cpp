// LabVIEW programs receive board interrupts as LabVIEW user events: the library installs a
// routine of its own that posts each interrupt with the run-time's PostLVUserEvent, bound
// on first use from the LabVIEW run-time already loaded in the process.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "interrupts/interrupts.h"
#include "platform/platform.h"

namespace qmd {
namespace {

using platform::Os;
using PostLVUserEventFn = int32_t (*)(uint32_t user_event_ref, void* data);

constexpr const char* kPostName = "PostLVUserEvent";
constexpr uint32_t kMaxValues = 32;

std::atomic<void*> g_runtime_module{nullptr};
std::atomic<PostLVUserEventFn> g_post{nullptr};

[[noreturn]] void Fatal(const char* text) {
    Os().fatal(text, "Fatal Error");
    std::abort();  // not reached: the fatal path ends the process
}

// The module to bind PostLVUserEvent from; the first hit wins. Only modules already loaded
// are considered.
void* FindLabVIEWRuntime() {
    if (void* module = g_runtime_module.load()) return module;
    void* main = Os().main_module();
    if (main != nullptr && (Os().find_symbol(main, "gLVRTVersion") != nullptr ||
                            Os().find_symbol(main, "AZNewHandle") != nullptr)) {
        return main;
    }
    if (void* runtime = Os().loaded_module(platform::kLabViewRuntime)) return runtime;
    return Os().loaded_module(platform::kLabViewRuntimeFast);
}

PostLVUserEventFn ResolvePostLVUserEvent() {
    if (PostLVUserEventFn post = g_post.load()) return post;
    void* module = FindLabVIEWRuntime();
    if (module == nullptr) {
        Fatal("LABVIEW.LIB was not called from a LabVIEW process.");
    }
    auto post = reinterpret_cast<PostLVUserEventFn>(Os().find_symbol(module, kPostName));
    if (post == nullptr) {
        char text[300];
        std::snprintf(text, sizeof text, "LABVIEW.LIB could not locate \"%s\".", kPostName);
        Fatal(text);
    }
    g_post.store(post);
    return post;
}

// The event data in LabVIEW's layout of a cluster {u8, u32, u32, array of u32}: the
// array is a handle, the address of a variable holding the address of the array block
// (an int32 count and the values).
void LabVIEWInterruptRoutine(QMD5820_HANDLE h_DeviceHandle, uint8_t b_InterruptInfo,
                             uint32_t dw_InterruptValue1, uint32_t dw_InterruptValue2,
                             uint32_t* pdw_InterruptData, uint32_t dw_InterruptDataCount) {
    const uint32_t n = dw_InterruptDataCount < kMaxValues ? dw_InterruptDataCount : kMaxValues;
    alignas(8) uint8_t block[4 + 4 * kMaxValues] = {};
    bytes::PutU32(block, n);
    for (uint32_t i = 0; i < n; ++i) bytes::PutU32(block + 4 + 4 * i, pdw_InterruptData[i]);
    void* block_address = block;
    alignas(8) uint8_t event[24] = {};
    event[0] = b_InterruptInfo;
    bytes::PutU32(event + 4, dw_InterruptValue1);
    bytes::PutU32(event + 8, dw_InterruptValue2);
    bytes::PutU64(event + 16, reinterpret_cast<uintptr_t>(&block_address));

    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return;
    const PostLVUserEventFn post = ResolvePostLVUserEvent();
    (void)post(Board(index).labview_event.load(), event);
}

}  // namespace
}  // namespace qmd

using namespace qmd;

extern "C" {

void SetLVRTModule(void* p_Module) { g_runtime_module.store(p_Module); }

int16_t i_QMD5820_SetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle, uint32_t* pdw_UserEventRef) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) {
        // Stored whatever the installation gives, also when a routine is already installed.
        if (pdw_UserEventRef != nullptr) board.labview_event.store(*pdw_UserEventRef);
        return InstallInterruptRoutine(board, h_DeviceHandle, LabVIEWInterruptRoutine);
    });
}

int16_t i_QMD5820_ResetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord& board) { return RemoveInterruptRoutine(board); });
}

}  // extern "C"

namespace qmd {
// Tests: forget the binding and the module set with SetLVRTModule.
void ForgetLabVIEWRuntimeForTesting() {
    g_runtime_module.store(nullptr);
    g_post.store(nullptr);
}
}  // namespace qmd
