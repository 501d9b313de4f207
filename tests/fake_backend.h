// A scripted driver for tests: a foreign backend that answers chosen request codes with
// crafted bytes (byte patterns the simulated board never produces) and passes everything
// else on to a fallback backend, normally the simulated board. It logs every call it sees.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtest {

class ScriptedDriver {
public:
    enum Kind : uint32_t { kCount = 1, kOpen, kClose, kIoctl, kRead, kSleep, kClock };

    struct Call {
        Kind kind;
        uint64_t handle = 0;
        uint32_t index = 0;  // open: board index; sleep: milliseconds
        uint32_t code = 0;
        uint32_t in_size = 0;
        uint32_t out_size = 0;
        std::vector<uint8_t> in;  // the first in_size bytes as the library sent them
    };

    static Call MakeCall(Kind kind, uint64_t handle = 0, uint32_t index = 0) {
        Call call{};
        call.kind = kind;
        call.handle = handle;
        call.index = index;
        return call;
    }

    // Without a fallback, boards are counted as `boards`, board i opens as
    // `handle_base` + i, closes succeed and unscripted requests fail.
    explicit ScriptedDriver(const qmd5820_backend* fallback = qmdsim_backend())
        : fallback_(fallback) {}
    ~ScriptedDriver() {
        if (installed_) qmd5820_install_backend(nullptr);
    }
    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    int32_t boards = 1;
    uint64_t handle_base = 0x5100;

    // Every request `code` from now on: `reply` is copied over the start of the buffer (at
    // most out_size bytes) and the call reports success (`ok`) or failure. A failing call
    // that still scribbles over the buffer tests that nothing is taken from it.
    void Answer(uint32_t code, std::vector<uint8_t> reply, bool ok = true) {
        answers_[code] = Scripted{std::move(reply), ok};
    }

    qmd5820_backend Table() {
        qmd5820_backend table{};
        table.size = sizeof table;
        table.context = this;
        table.count_boards = &CountBoards;
        table.open_board = &OpenBoard;
        table.close_handle = &CloseHandle;
        table.device_io_control = &DeviceIoControl;
        table.read_stream = &ReadStream;
        table.sleep_ms = &SleepMs;
        table.clock_seconds = &ClockSeconds;
        return table;
    }

    void Install() {
        const qmd5820_backend table = Table();
        ASSERT_EQ(qmd5820_install_backend(&table), 0);
        installed_ = true;
    }

    const std::vector<Call>& Calls() const { return calls_; }

    // The device I/O control calls with `code`, in order.
    std::vector<Call> Ioctls(uint32_t code) const {
        std::vector<Call> out;
        std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                     [code](const Call& c) { return c.kind == kIoctl && c.code == code; });
        return out;
    }

private:
    struct Scripted {
        std::vector<uint8_t> reply;
        bool ok = true;
    };

    static ScriptedDriver& Self(void* context) { return *static_cast<ScriptedDriver*>(context); }

    static int32_t CountBoards(void* context) {
        ScriptedDriver& d = Self(context);
        d.calls_.push_back(MakeCall(kCount));
        return d.fallback_ ? d.fallback_->count_boards(d.fallback_->context) : d.boards;
    }

    static int32_t OpenBoard(void* context, uint32_t index, uint64_t* handle) {
        ScriptedDriver& d = Self(context);
        d.calls_.push_back(MakeCall(kOpen, 0, index));
        if (d.fallback_) return d.fallback_->open_board(d.fallback_->context, index, handle);
        *handle = d.handle_base + index;
        return QMD5820_OPEN_OK;
    }

    static int32_t CloseHandle(void* context, uint64_t handle) {
        ScriptedDriver& d = Self(context);
        d.calls_.push_back(MakeCall(kClose, handle));
        return d.fallback_ ? d.fallback_->close_handle(d.fallback_->context, handle) : 0;
    }

    static int32_t DeviceIoControl(void* context, uint64_t handle, uint32_t code,
                                   uint8_t* buffer, uint32_t in_size, uint32_t out_size) {
        ScriptedDriver& d = Self(context);
        Call call = MakeCall(kIoctl, handle);
        call.code = code;
        call.in_size = in_size;
        call.out_size = out_size;
        call.in.assign(buffer, buffer + in_size);
        d.calls_.push_back(std::move(call));
        const auto it = d.answers_.find(code);
        if (it != d.answers_.end()) {
            const std::size_t n = std::min<std::size_t>(it->second.reply.size(), out_size);
            std::copy_n(it->second.reply.begin(), n, buffer);
            return it->second.ok ? 1 : 0;
        }
        if (!d.fallback_) return 0;
        return d.fallback_->device_io_control(d.fallback_->context, handle, code, buffer,
                                              in_size, out_size);
    }

    static int32_t ReadStream(void* context, uint64_t handle, uint8_t* buffer, uint32_t size,
                              uint32_t* bytes_read) {
        ScriptedDriver& d = Self(context);
        Call call = MakeCall(kRead, handle);
        call.in_size = size;
        d.calls_.push_back(std::move(call));
        if (!d.fallback_) return 0;
        return d.fallback_->read_stream(d.fallback_->context, handle, buffer, size, bytes_read);
    }

    static void SleepMs(void* context, uint32_t ms) {
        ScriptedDriver& d = Self(context);
        d.calls_.push_back(MakeCall(kSleep, 0, ms));
        if (d.fallback_) d.fallback_->sleep_ms(d.fallback_->context, ms);
    }

    static int64_t ClockSeconds(void* context) {
        ScriptedDriver& d = Self(context);
        d.calls_.push_back(MakeCall(kClock));
        return d.fallback_ ? d.fallback_->clock_seconds(d.fallback_->context) : 0;
    }

    const qmd5820_backend* fallback_;
    std::map<uint32_t, Scripted> answers_;
    std::vector<Call> calls_;
    bool installed_ = false;
};

}  // namespace qmdtest
