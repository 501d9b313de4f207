// The platform layer outside Windows. Events are eventfd descriptors (signalled while
// their counter is not zero), so anyone holding the value can signal one, as with a
// Windows event handle. The value of an event is not its descriptor number but a number
// from a process-wide counter, never handed out twice: the driver may go on signalling a
// value after the library closed its event (nothing tells it otherwise), and that must
// reach nothing, whatever descriptors were opened since. A registry maps live values to
// their descriptors; a descriptor is closed only when its event is closed and nobody is
// signalling, resetting or waiting on it any more, so no write ever goes to a descriptor
// number that was reused. Raising priorities is best effort: an unprivileged process keeps
// its priorities and the installation still succeeds.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/platform.h"
#include "qmd5820_backend.h"

namespace qmd::platform {
namespace {

// The first event value: above 32 bits, so that a value cut to 32 bits is no event.
constexpr Handle kFirstEvent = (Handle{1} << 32) + 1;

// An event's descriptor, closed with the last reference to it.
struct EventFd {
    explicit EventFd(int descriptor) : fd(descriptor) {}
    ~EventFd() { close(fd); }
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;
    const int fd;
};
using EventRef = std::shared_ptr<EventFd>;

struct Registry {
    std::mutex mutex;
    std::unordered_map<Handle, EventRef> live;
    Handle next = kFirstEvent;
};

Registry& Events() {
    static Registry* registry = new Registry();  // outlives every thread
    return *registry;
}

// The live event of a value (a reference that keeps its descriptor open), or null.
EventRef Find(Handle h) {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.live.find(h);
    return it == r.live.end() ? nullptr : it->second;
}

Handle CreateEvent() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return 0;
    EventRef event;
    try {
        event = std::make_shared<EventFd>(fd);
    } catch (const std::bad_alloc&) {
        close(fd);
        return 0;
    }
    try {
        Registry& r = Events();
        std::lock_guard<std::mutex> lock(r.mutex);
        const Handle h = r.next++;
        r.live.emplace(h, std::move(event));
        return h;
    } catch (const std::bad_alloc&) {
        return 0;  // the descriptor closes with `event`
    }
}

bool SetEvent(Handle e) {
    const EventRef event = Find(e);
    if (event == nullptr) return false;
    const uint64_t one = 1;
    // A counter at its limit still reads as signalled: EAGAIN is success here.
    return write(event->fd, &one, sizeof one) == sizeof one || errno == EAGAIN;
}

bool ResetEvent(Handle e) {
    const EventRef event = Find(e);
    if (event == nullptr) return false;
    uint64_t value = 0;
    return read(event->fd, &value, sizeof value) == sizeof value || errno == EAGAIN;
}

void CloseEvent(Handle e) {
    EventRef event;  // dropped after the lock: the descriptor closes with the last user
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.live.find(e);
    if (it == r.live.end()) return;
    event = std::move(it->second);
    r.live.erase(it);
}

int WaitEither(Handle first, Handle second) {
    const EventRef a = Find(first);
    const EventRef b = Find(second);
    if (a == nullptr || b == nullptr) return -1;
    pollfd fds[2] = {{a->fd, POLLIN, 0}, {b->fd, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        if ((fds[0].revents & POLLIN) != 0) return 0;
        if ((fds[1].revents & POLLIN) != 0) return 1;
        return -1;  // an error condition on a descriptor
    }
}

// A thread and what its creator needs to know of it. Whoever is last — the thread ending
// or the creator letting go of it — frees it.
struct Thread {
    pthread_t id{};
    uint32_t (*entry)(void*) = nullptr;
    void* argument = nullptr;
    Handle done = 0;  // signalled when the entry has returned
    uint32_t exit_code = 0;
    bool joined = false;
    std::atomic<int> state{0};  // 0 running, 1 ended, 2 let go by its creator
};

void Free(Thread* t) {
    CloseEvent(t->done);
    delete t;
}

void* ThreadMain(void* p) {
    auto* t = static_cast<Thread*>(p);
    t->exit_code = t->entry(t->argument);
    SetEvent(t->done);
    if (t->state.exchange(1, std::memory_order_acq_rel) == 2) Free(t);
    return nullptr;
}

Handle StartThread(uint32_t (*entry)(void*), void* argument) {
    auto* t = new Thread;
    t->entry = entry;
    t->argument = argument;
    t->done = CreateEvent();
    if (t->done == 0 || pthread_create(&t->id, nullptr, ThreadMain, t) != 0) {
        if (t->done != 0) CloseEvent(t->done);
        delete t;
        return 0;
    }
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(t));
}

Thread* T(Handle h) { return reinterpret_cast<Thread*>(static_cast<uintptr_t>(h)); }

bool JoinThread(Handle h, uint32_t ms, uint32_t* exit_code) {
    Thread* t = T(h);
    if (!t->joined) {
        const EventRef done = Find(t->done);
        if (done == nullptr) return false;
        pollfd fd = {done->fd, POLLIN, 0};
        int n = 0;
        do {
            n = poll(&fd, 1, static_cast<int>(ms));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        pthread_join(t->id, nullptr);
        t->joined = true;
    }
    if (exit_code != nullptr) *exit_code = t->exit_code;
    return true;
}

void CloseThread(Handle h) {
    Thread* t = T(h);
    if (t->joined) {
        Free(t);
        return;
    }
    pthread_detach(t->id);
    if (t->state.exchange(2, std::memory_order_acq_rel) == 1) Free(t);
}

bool RaiseProcess() {
    (void)setpriority(PRIO_PROCESS, 0, -20);  // best effort
    return true;
}

bool RaiseThread(Handle h) {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    (void)pthread_setschedparam(T(h)->id, SCHED_FIFO, &param);  // best effort
    return true;
}

void* MainModule() { return dlopen(nullptr, RTLD_NOW); }
void* LoadedModule(const char* name) { return dlopen(name, RTLD_NOW | RTLD_NOLOAD); }
void* FindSymbol(void* module, const char* name) {
    return module == nullptr ? nullptr : dlsym(module, name);
}

[[noreturn]] void Fatal(const char* text, const char* caption) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    std::_Exit(1);
}

const Api kSystem = {CreateEvent, SetEvent,     ResetEvent,  CloseEvent,   WaitEither,
                     StartThread, JoinThread,   CloseThread, RaiseProcess, RaiseThread,
                     MainModule,  LoadedModule, FindSymbol,  Fatal};

}  // namespace

const Api& SystemApi() { return kSystem; }

const char* const kLabViewRuntime = "liblvrt.so";
const char* const kLabViewRuntimeFast = "liblvffrt.so";

}  // namespace qmd::platform

extern "C" int32_t qmd5820_signal_event(uint64_t event) {
    return qmd::platform::Os().set_event(event) ? 0 : -1;
}
