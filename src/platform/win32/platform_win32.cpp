// The platform layer on Windows: exactly the Win32 calls the board library is known by.
// The kernel driver takes its own reference to the event it is given, so a value it keeps
// signalling after a removal reaches the old event only. A backend that signals by value
// (qmd5820_signal_event) reaches only the library's live events: signalling and closing
// exclude each other, so no signal goes to a handle value that was closed and reused.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <set>

#include "platform/platform.h"
#include "qmd5820_backend.h"

namespace qmd::platform {
namespace {

HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }
Handle V(HANDLE h) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(h)); }

struct Registry {
    std::mutex mutex;
    std::set<Handle> live;
};

Registry& Events() {
    static Registry* registry = new Registry();  // outlives every thread
    return *registry;
}

Handle CreateEvent_() {
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return 0;
    try {
        Registry& r = Events();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.live.insert(V(event));
    } catch (const std::bad_alloc&) {
        CloseHandle(event);
        return 0;
    }
    return V(event);
}

bool SetEvent_(Handle e) {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.count(e) != 0 && SetEvent(H(e)) != 0;
}

bool ResetEvent_(Handle e) { return ResetEvent(H(e)) != 0; }

void CloseEvent_(Handle e) {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.live.erase(e) != 0) CloseHandle(H(e));
}

int WaitEither(Handle first, Handle second) {
    HANDLE handles[2] = {H(first), H(second)};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return 1;
    return -1;
}

struct ThreadStart {
    uint32_t (*entry)(void*);
    void* argument;
};

DWORD WINAPI ThreadMain(LPVOID p) {
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    return start.entry(start.argument);
}

Handle StartThread(uint32_t (*entry)(void*), void* argument) {
    auto* start = new ThreadStart{entry, argument};
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return 0;
    }
    return V(thread);
}

bool JoinThread(Handle thread, uint32_t ms, uint32_t* exit_code) {
    if (WaitForSingleObject(H(thread), ms) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeThread(H(thread), &code);
    if (exit_code != nullptr) *exit_code = code;
    return true;
}

void CloseThread(Handle thread) { CloseHandle(H(thread)); }

bool RaiseProcess() { return SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS) != 0; }
bool RaiseThread(Handle thread) {
    return SetThreadPriority(H(thread), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

void* MainModule() { return GetModuleHandleA(nullptr); }
void* LoadedModule(const char* name) { return GetModuleHandleA(name); }
void* FindSymbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

[[noreturn]] void Fatal(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_TASKMODAL | MB_ICONERROR);
    ExitProcess(1);
}

const Api kSystem = {CreateEvent_, SetEvent_,    ResetEvent_,  CloseEvent_,  WaitEither,
                     StartThread,  JoinThread,   CloseThread,  RaiseProcess, RaiseThread,
                     MainModule,   LoadedModule, FindSymbol,   Fatal};

}  // namespace

const Api& SystemApi() { return kSystem; }

const char* const kLabViewRuntime = "lvrt.dll";
const char* const kLabViewRuntimeFast = "lvffrt.dll";

}  // namespace qmd::platform

extern "C" int32_t qmd5820_signal_event(uint64_t event) {
    return event != 0 && qmd::platform::Os().set_event(event) ? 0 : -1;
}
