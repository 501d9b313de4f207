// Test fixture for the public C API on the simulated board: a fresh board table and a
// fresh simulated driver (demo boards, virtual clock, tracing on) for every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtest {

inline constexpr char kIoctlFailed[] = "An error occurred while calling the IOCTL function";

// The last-error text of a recorded (function, message, code).
inline std::string Text(const char* name, const std::string& message, int code) {
    return std::string(name) + ": " + message + " (" + std::to_string(code) + ")";
}

struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    int32_t result = 0;
};

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        qmd5820_install_backend(nullptr);
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmdsim_trace_enable(1u << 16);
        // The simulated driver signals the library's events (a test may have taken the
        // signaller away).
        qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
        qmd::OnProcessAttach();
    }

    void TearDown() override {
        qmdsim_reset();
        qmd5820_install_backend(nullptr);
    }

    // Opens board `index` and clears the trace, so tests see only their own requests.
    QMD5820_HANDLE Open(uint8_t index = 0) {
        QMD5820_HANDLE handle = 0;
        EXPECT_EQ(i_QMD5820_OpenBoardViaIndex(index, &handle), 0);
        qmdsim_trace_clear();
        return handle;
    }

    // The device I/O control requests traced since the last clear, in order.
    static std::vector<Request> Requests() {
        std::vector<Request> requests;
        qmdsim_trace_entry entry{};
        for (uint32_t i = 0; i < qmdsim_trace_count(); ++i) {
            if (qmdsim_trace_get(i, &entry) != 0 || entry.kind != QMDSIM_TRACE_IOCTL) continue;
            requests.push_back({entry.code,
                                std::vector<uint8_t>(entry.in, entry.in + entry.in_size),
                                std::vector<uint8_t>(entry.out, entry.out + entry.out_size),
                                entry.result});
        }
        return requests;
    }

    // An installed routine's thread asks the driver for pending records once at its
    // start. Waits (at most two seconds) until it has, so that a trace cleared afterwards
    // holds only what the test itself causes.
    static bool AwaitFirstDrain() {
        for (int i = 0; i < 2000; ++i) {
            for (const Request& r : Requests()) {
                if (r.code == 0x90002008u) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    static std::string LastError(QMD5820_HANDLE handle) {
        return pc_QMD5820_GetLastError(handle);
    }
};

}  // namespace qmdtest
