// libFuzzer target: the library against a driver that answers from the input. Every
// request's outcome (call failure, status byte or arbitrary reply bytes), board counts,
// open results, stream byte counts (above what was asked included) and interrupt records
// (data counts above 32 included) come from the input, interleaved with calls of the
// exported functions.
//
// The board's interrupt thread is answered only from the records queued by the harness;
// every other request is answered on the calling thread from the input, so an execution
// is deterministic.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "QMD5820.h"
#include "api_calls.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "interrupts/interrupts.h"
#include "fuzz_support.h"

namespace {

using qmdfuzz::Input;
namespace req = qmd::req;
namespace layout = qmd::req::interrupt_record;

constexpr std::size_t kRecordBytes = qmd::RecordSize(req::kReadInterruptRecord);

constexpr unsigned kMaxCalls = 48;
constexpr uint64_t kHandleBase = 0x5A5A0000;

struct Fake {
    std::mutex mutex;
    Input* input = nullptr;  // null while cleaning up: every request then succeeds
    std::thread::id caller;
    std::deque<std::array<uint8_t, kRecordBytes>> records;
    bool drained = true;  // the interrupt thread has read the empty record after the last one
    uint64_t event = 0;   // the event the library registered last
    uint64_t virtual_ms = 0;
};

Fake& F() {
    static Fake fake;
    return fake;
}

// The calling thread's input, or null when the request is not the caller's.
Input* CallerInput() {
    Fake& f = F();
    return std::this_thread::get_id() == f.caller ? f.input : nullptr;
}

int32_t CountBoards(void*) {
    Input* in = CallerInput();
    if (in == nullptr) return 1;
    static constexpr int32_t kCounts[] = {1, 2, 0, -1, -3, 30, 31, 255, 3};
    const uint8_t pick = in->U8();
    return pick < 0xF0 ? kCounts[pick % std::size(kCounts)] : static_cast<int32_t>(in->U32());
}

int32_t OpenBoard(void*, uint32_t index, uint64_t* handle) {
    Input* in = CallerInput();
    const uint8_t pick = in != nullptr ? in->U8() : 0;
    switch (pick % 8) {
        case 0:
        case 1:
        case 2: *handle = kHandleBase + 4 * index; return QMD5820_OPEN_OK;
        case 3: *handle = in->Bool() ? 0 : QMD5820_INVALID_HANDLE_VALUE; return QMD5820_OPEN_OK;
        case 7: *handle = QMD5820_INVALID_HANDLE_VALUE; return QMD5820_OPEN_CREATE_FAILED;
        default: return -static_cast<int32_t>(pick % 8);  // -4 to -6
    }
}

int32_t CloseHandle(void*, uint64_t) {
    Input* in = CallerInput();
    return in != nullptr && (in->U8() % 4) == 0 ? 1 : 0;
}

int32_t DeviceIoControl(void*, uint64_t, uint32_t code, uint8_t* buffer, uint32_t in_size,
                        uint32_t out_size) {
    Fake& f = F();
    if (code == req::kReadInterruptRecord) {
        std::lock_guard<std::mutex> lock(f.mutex);
        if (out_size < kRecordBytes) return 0;
        if (f.records.empty()) {
            std::memset(buffer, 0, out_size);
            buffer[layout::kEmpty] = 1;
            f.drained = true;
        } else {
            std::memcpy(buffer, f.records.front().data(), kRecordBytes);
            f.records.pop_front();
        }
        return 1;
    }
    constexpr std::size_t kEvent = req::interrupt_event::kEvent;
    if (code == req::kRegisterInterruptEvent && in_size >= kEvent + 8) {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.event = qmd::bytes::GetU64(buffer + kEvent);
    }
    Input* in = CallerInput();
    if (in == nullptr) {
        // Cleaning up (or another thread): success with status 0.
        if (out_size > 0) buffer[req::kStatus] = 0;
        return 1;
    }
    const uint8_t mode = in->U8();
    switch (mode % 8) {
        case 0: return 0;                                       // the call fails
        case 1: if (out_size > 0) buffer[req::kStatus] = in->U8(); return 1;  // a status
        case 2: in->Bytes(buffer, out_size); return 1;          // any reply bytes
        case 3:                                                 // status 0, reply bytes after it
            in->Bytes(buffer, out_size);
            if (out_size > 0) buffer[req::kStatus] = 0;
            return 1;
        default:  // status 0, the input echoed
            if (out_size > 0 && in_size > 0) buffer[req::kStatus] = 0;
            return 1;
    }
}

int32_t ReadStream(void*, uint64_t, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
    Input* in = CallerInput();
    if (in == nullptr || in->U8() % 4 == 0) return 0;
    uint32_t count = 0;
    switch (in->U8() % 4) {
        case 0: count = size; break;
        case 1: count = size / 2; break;
        case 2: count = in->U32(); break;  // possibly more than asked
        default: count = 0; break;
    }
    const uint32_t filled = count < size ? count : size;
    if (buffer != nullptr) std::memset(buffer, 0xA5, filled);
    *bytes_read = count;
    return 1;
}

void SleepMs(void*, uint32_t ms) {
    Fake& f = F();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.virtual_ms += ms == 0 ? 1 : ms;
}

int64_t ClockSeconds(void*) {
    Fake& f = F();
    std::lock_guard<std::mutex> lock(f.mutex);
    return 1800000000 + static_cast<int64_t>(f.virtual_ms / 1000);
}

std::atomic<uint64_t> g_sink{0};

void Routine(QMD5820_HANDLE, uint8_t info, uint32_t value1, uint32_t value2, uint32_t* data,
             uint32_t count) {
    uint64_t sum = info + value1 + value2;
    for (uint32_t i = 0; i < count && i < layout::kDataValues; ++i) sum += data[i];
    g_sink.fetch_add(sum, std::memory_order_relaxed);
}

// Queues records from the input, signals the registered event and waits (bounded) until the
// interrupt thread has drained them.
void DeliverInterrupts(Input& in) {
    Fake& f = F();
    uint64_t event = 0;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        const unsigned n = 1 + in.Below(4);
        for (unsigned i = 0; i < n; ++i) {
            // Values 1 and 2 and the data from the input, then the data count and the info.
            std::array<uint8_t, kRecordBytes> record{};
            in.Bytes(record.data() + layout::kValue1, layout::kDataCount - layout::kValue1);
            static constexpr uint32_t kCounts[] = {0, 1, 32, 33, 64, 0xFFFFFFFFu};
            const uint8_t pick = in.U8();
            const uint32_t count =
                pick < 0xF0 ? kCounts[pick % std::size(kCounts)] : in.U32();
            qmd::bytes::PutU32(record.data() + layout::kDataCount, count);
            record[layout::kInfo] = in.U8();
            f.records.push_back(record);
        }
        f.drained = false;
        event = f.event;
    }
    if (event == 0 || qmd5820_signal_event(event) != 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(f.mutex);
            if (f.drained) return;
        }
        std::this_thread::yield();
    }
}

void Setup() {
    qmd::OnProcessAttach();
    qmd5820_backend backend{};
    backend.size = sizeof backend;
    backend.count_boards = CountBoards;
    backend.open_board = OpenBoard;
    backend.close_handle = CloseHandle;
    backend.device_io_control = DeviceIoControl;
    backend.read_stream = ReadStream;
    backend.sleep_ms = SleepMs;
    backend.clock_seconds = ClockSeconds;
    qmd5820_install_backend(&backend);
    F().caller = std::this_thread::get_id();
    std::fclose(stdout);  // the delete's diagnostic line is not wanted here
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    Fake& f = F();
    Input in(data, size);
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.input = &in;
        f.records.clear();
        f.event = 0;
    }
    QMD5820_HANDLE handles[3] = {};
    unsigned updates = 0;
    for (unsigned calls = 0; calls < kMaxCalls && !in.Empty(); ++calls) {
        const uint8_t op = in.U8();
        QMD5820_HANDLE& h = handles[op % 3];
        switch ((op >> 2) % 8) {
            case 0: {
                uint8_t boards = 0;
                i_QMD5820_GetNumberOfBoards(&boards);
                break;
            }
            case 1:
                if (h == 0) i_QMD5820_OpenBoardViaIndex(in.U8() % 4, &h);
                break;
            case 2: {
                char identifier[24] = {};
                in.Bytes(reinterpret_cast<uint8_t*>(identifier), sizeof identifier - 1);
                if (h == 0) i_QMD5820_OpenBoardViaIdentifier(identifier, &h);
                break;
            }
            case 3: {
                const uint8_t index = in.U8() % 4;
                const uint32_t identifier_size = in.U8() % 90;
                auto identifier = qmdfuzz::Array<char>(identifier_size);
                uint32_t v[7] = {};
                uint8_t v8 = 0;
                i_QMD5820_GetBoardInformation(index, identifier_size, identifier.get(), &v[0],
                                              &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v8);
                break;
            }
            case 4:
                if (i_QMD5820_CloseBoard(h) == 0) h = 0;
                break;
            case 5:
                if (in.Bool()) {
                    i_QMD5820_SetBoardIntRoutine(h, Routine);
                } else {
                    i_QMD5820_ResetBoardIntRoutine(h);
                }
                break;
            case 6: DeliverInterrupts(in); break;
            default: qmdfuzz::CallApi(h, in, updates); break;
        }
    }

    // Clean up with a driver that accepts everything: routines removed, boards closed.
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.input = nullptr;
    }
    // A close leaves the routine in place and a shrinking enumeration hides records, so
    // routines are removed from the records themselves.
    for (int i = 0; i < qmd::kBoardRecords; ++i) {
        if (qmd::Board(i).interrupt_installed.load() != 0) qmd::RemoveInterruptRoutine(qmd::Board(i));
    }
    qmd::OnProcessAttach();
    return 0;
}
