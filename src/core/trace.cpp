#include "core/trace.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "core/backend.h"
#include "qmd5820_protocol/requests.h"

namespace qmd {
namespace {

std::atomic<std::FILE*> g_trace{nullptr};

using Clock = std::chrono::steady_clock;

uint64_t MicrosSince(Clock::time_point start) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

// One line, written with one call so that lines of different threads do not mix.
void Emit(std::string line) {
    std::FILE* out = g_trace.load(std::memory_order_relaxed);
    if (out == nullptr) return;
    line.insert(0, "qmd5820 trace: ");
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

int32_t TraceCount(void*) {
    const qmd5820_backend& b = UntracedBackend();
    const Clock::time_point start = Clock::now();
    const int32_t n = b.count_boards(b.context);
    Emit(Format("count boards -> %" PRId32 ", %" PRIu64 " us", n, MicrosSince(start)));
    return n;
}

int32_t TraceOpen(void*, uint32_t index, uint64_t* handle) {
    const qmd5820_backend& b = UntracedBackend();
    const Clock::time_point start = Clock::now();
    const int32_t result = b.open_board(b.context, index, handle);
    const uint64_t us = MicrosSince(start);
    if (result == QMD5820_OPEN_OK && handle != nullptr) {
        Emit(Format("open board %" PRIu32 " -> ok handle 0x%016" PRIx64 ", %" PRIu64 " us", index,
                    *handle, us));
    } else {
        Emit(Format("open board %" PRIu32 " -> failed at step %" PRId32 ", %" PRIu64 " us", index,
                    result, us));
    }
    return result;
}

int32_t TraceClose(void*, uint64_t handle) {
    const qmd5820_backend& b = UntracedBackend();
    const Clock::time_point start = Clock::now();
    const int32_t result = b.close_handle(b.context, handle);
    Emit(Format("close handle 0x%016" PRIx64 " -> %s, %" PRIu64 " us", handle,
                result == 0 ? "ok" : "failed", MicrosSince(start)));
    return result;
}

int32_t TraceIoctl(void*, uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                   uint32_t out_size) {
    const qmd5820_backend& b = UntracedBackend();
    const Clock::time_point start = Clock::now();
    const int32_t result = b.device_io_control(b.context, handle, code, buffer, in_size, out_size);
    const uint64_t us = MicrosSince(start);
    Emit(IoctlTraceLine(handle, code, buffer, in_size, out_size, result, us));
    return result;
}

int32_t TraceRead(void*, uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
    const qmd5820_backend& b = UntracedBackend();
    const Clock::time_point start = Clock::now();
    const int32_t result = b.read_stream(b.context, handle, buffer, size, bytes_read);
    const uint64_t us = MicrosSince(start);
    if (result != 0 && bytes_read != nullptr) {
        Emit(Format("read stream handle 0x%016" PRIx64 " size %" PRIu32 " -> ok %" PRIu32
                    " bytes, %" PRIu64 " us",
                    handle, size, *bytes_read, us));
    } else {
        Emit(Format("read stream handle 0x%016" PRIx64 " size %" PRIu32 " -> failed, %" PRIu64
                    " us",
                    handle, size, us));
    }
    return result;
}

// Sleeps and the calendar clock are not driver requests: passed on untraced.
void TraceSleep(void*, uint32_t ms) {
    const qmd5820_backend& b = UntracedBackend();
    b.sleep_ms(b.context, ms);
}

int64_t TraceClock(void*) {
    const qmd5820_backend& b = UntracedBackend();
    return b.clock_seconds(b.context);
}

const qmd5820_backend kTracingTable = {
    sizeof(qmd5820_backend), nullptr,   TraceCount, TraceOpen,  TraceClose,
    TraceIoctl,              TraceRead, TraceSleep, TraceClock,
};

#if !defined(_WIN32)
// QMD5820_TRACE=1 traces to stderr, any other non-empty value except 0 names a file to
// append to. Read once when the library is loaded.
std::FILE* TraceFromEnvironment() {
    const char* value = std::getenv("QMD5820_TRACE");
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) return nullptr;
    if (std::strcmp(value, "1") == 0) return stderr;
    std::FILE* file = std::fopen(value, "a");
    if (file == nullptr) {
        std::fprintf(stderr, "qmd5820: cannot open the trace file %s given by QMD5820_TRACE: %s\n",
                     value, std::strerror(errno));
    }
    return file;
}

const bool g_trace_from_environment = [] {
    g_trace.store(TraceFromEnvironment(), std::memory_order_relaxed);
    return true;
}();
#endif

}  // namespace

bool TraceOn() { return g_trace.load(std::memory_order_relaxed) != nullptr; }

const qmd5820_backend& TracingBackend() { return kTracingTable; }

const char* RequestName(uint32_t code) {
    const RequestSpec* request = FindRequest(code);
    return request != nullptr ? request->name : nullptr;
}

std::string IoctlTraceLine(uint64_t handle, uint32_t code, const uint8_t* buffer,
                           uint32_t in_size, uint32_t out_size, int32_t result,
                           uint64_t micros) {
    const char* name = RequestName(code);
    std::string line = Format("ioctl %s (0x%08" PRIx32 ") handle 0x%016" PRIx64 " in %" PRIu32
                              " out %" PRIu32 " -> ",
                              name != nullptr ? name : "unknown", code, handle, in_size, out_size);
    if (result == 0) {
        line += "failed";
    } else if (in_size > 0 && out_size > 0 && buffer != nullptr) {
        line += Format("ok status %u", static_cast<unsigned>(buffer[req::kStatus]));
    } else {
        line += "ok";
    }
    line += Format(", %" PRIu64 " us", micros);
    return line;
}

}  // namespace qmd

extern "C" void qmd5820_set_trace(FILE* stream) {
    qmd::g_trace.store(stream, std::memory_order_relaxed);
}
