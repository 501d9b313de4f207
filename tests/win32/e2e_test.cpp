// End to end through the real Win32 path: the production QMD5820.dll (SetupAPI discovery,
// CreateFileA, DeviceIoControl, ReadFile) against the stand-in kernel driver under Wine, whose
// devices answer with the simulated board.
//
//   e2e_test.exe [--boards N] [--keep]
//
// Installs the stand-in with N boards (default 2) from the files beside this program, runs
// the checks, removes the stand-in and checks the library without a driver. Exit code 0
// when every check passed. Timings of the request path are printed as "timing:" lines.
// The expected values come from the simulated board's own configuration (the demo boards
// the stand-in hosts), not from constants here.
#include <windows.h>
// windows.h first
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "QMD5820.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"
#include "standin_driver/standin_control.h"
#include "standin_install.h"

namespace {

int g_failures = 0;
int g_checks = 0;

void Check(bool ok, const char* what, const std::string& detail = {}) {
    ++g_checks;
    if (ok) return;
    ++g_failures;
    std::printf("FAILED: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
}

template <typename A, typename B>
void CheckEq(const A& actual, const B& expected, const char* what) {
    if (actual == expected) {
        Check(true, what);
    } else {
        Check(false, what,
              "got " + std::to_string(actual) + ", expected " + std::to_string(expected));
    }
}

void CheckText(const char* actual, const std::string& expected, const char* what) {
    const std::string text = actual != nullptr ? actual : "(null)";
    Check(text == expected, what, "got \"" + text + "\", expected \"" + expected + "\"");
}

double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// A file of our own on a stand-in device: its control requests, and a baseline for the
// cost of one DeviceIoControl round trip.
class Control {
  public:
    explicit Control(unsigned interface_index) {
        char path[512];
        if (standin_interface_path(interface_index, path, sizeof path) == 0) {
            file_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        }
    }
    ~Control() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    bool Valid() const { return file_ != INVALID_HANDLE_VALUE; }

    bool Call(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size) const {
        DWORD returned = 0;
        return DeviceIoControl(file_, code, const_cast<void*>(in), in_size, out, out_size,
                               &returned, nullptr) != 0 &&
               returned == out_size;
    }

    uint32_t BoardIndex() const {
        uint32_t index = UINT32_MAX;
        Call(STANDIN_IOCTL_BOARD_INDEX, nullptr, 0, &index, sizeof index);
        return index;
    }
    void SetInputs(uint8_t inputs) const { Call(STANDIN_IOCTL_SET_INPUTS, &inputs, 1, nullptr, 0); }
    uint8_t Outputs(uint8_t* memory = nullptr) const {
        uint8_t out[2] = {0xEE, 0xEE};
        Call(STANDIN_IOCTL_GET_OUTPUTS, nullptr, 0, out, sizeof out);
        if (memory != nullptr) *memory = out[1];
        return out[0];
    }
    void SetPosition(uint8_t channel, double position) const {
        uint8_t in[9];
        in[0] = channel;
        std::memcpy(in + 1, &position, sizeof position);
        Call(STANDIN_IOCTL_SET_POSITION, in, sizeof in, nullptr, 0);
    }
    void RaiseInterrupt(uint8_t info, uint32_t value1, uint32_t value2) const {
        uint8_t in[9];
        in[0] = info;
        std::memcpy(in + 1, &value1, 4);
        std::memcpy(in + 5, &value2, 4);
        Call(STANDIN_IOCTL_RAISE_INTERRUPT, in, sizeof in, nullptr, 0);
    }
    struct Counters {
        uint32_t requests = 0;
        uint32_t open_handles = 0;
    };
    Counters Count() const {
        uint32_t v[2] = {0, 0};
        Call(STANDIN_IOCTL_COUNTERS, nullptr, 0, v, sizeof v);
        return {v[0], v[1]};
    }
    struct EventState {
        int32_t registrations = -1;
        int32_t reference_status = 0;
        int32_t signalled = 0;
        int32_t asked = 0;
    };
    EventState Events() const {
        int32_t v[4] = {-1, 0, 0, 0};
        Call(STANDIN_IOCTL_EVENT_STATE, nullptr, 0, v, sizeof v);
        return {v[0], v[1], v[2], v[3]};
    }
    HANDLE File() const { return file_; }

  private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

std::string Identifier(const qmdsim_board_config& config) {
    return std::string(config.identifier, strnlen(config.identifier, sizeof config.identifier));
}

// ---- with the driver ------------------------------------------------------------------------

void BoardsAndIdentity(unsigned boards) {
    uint8_t count = 0xEE;
    CheckEq(i_QMD5820_GetNumberOfBoards(&count), 0, "GetNumberOfBoards");
    CheckEq(count, boards, "number of boards");

    std::set<std::string> seen;
    for (unsigned i = 0; i < boards; ++i) {
        Control control(i);
        Check(control.Valid(), "control file on the stand-in device");
        qmdsim_board_config config{};
        qmdsim_default_board_config(control.BoardIndex(), &config);
        const std::string id = Identifier(config);

        char identifier[64];
        uint32_t v[7] = {};
        uint8_t v8 = 0;
        CheckEq(i_QMD5820_GetBoardInformation(static_cast<uint8_t>(i), sizeof identifier, identifier,
                                              &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v8),
                0, "GetBoardInformation");
        CheckText(identifier, id, "board identifier");
        // Values 2 and 3 come from record offsets 8 and 4.
        const int offset_order[7] = {0, 2, 1, 3, 4, 5, 6};
        for (int k = 0; k < 7; ++k) CheckEq(v[k], config.info_values[offset_order[k]], "board value");
        CheckEq(v8, config.info_value8, "board value 8");
        seen.insert(identifier);

        const Control::Counters before = control.Count();
        QMD5820_HANDLE handle = 0, again = 0;
        CheckEq(i_QMD5820_OpenBoardViaIndex(static_cast<uint8_t>(i), &handle), 0,
                "OpenBoardViaIndex");
        CheckEq(control.Count().open_handles, before.open_handles + 1,
                "one driver handle per opened board");
        CheckEq(i_QMD5820_OpenBoardViaIndex(static_cast<uint8_t>(i), &again), 0,
                "second OpenBoardViaIndex");
        Check(again == handle, "an open board opens with the same handle");
        CheckEq(control.Count().open_handles, before.open_handles + 1,
                "a second open takes no driver handle");

        uint32_t value = 0;
        CheckEq(i_QMD5820_GetDeviceDriverVersion(handle, &value), 0, "GetDeviceDriverVersion");
        CheckEq(value, config.driver_version, "driver version");
        CheckEq(i_QMD5820_GetFirmwareVersion(handle, &value), 0, "GetFirmwareVersion");
        CheckEq(value, config.firmware_version, "firmware version");
        CheckEq(i_QMD5820_GetBoardSerialNumber(handle, &value), 0, "GetBoardSerialNumber");
        CheckEq(value, config.serial_number, "serial number (EEPROM words 129, 130)");
        char revision = 0;
        CheckEq(i_QMD5820_GetBoardHardwareRevision(handle, &revision), 0,
                "GetBoardHardwareRevision");
        CheckEq(revision, static_cast<char>('A' + config.hardware_revision),
                "hardware revision (EEPROM word 128)");

        CheckEq(i_QMD5820_CloseBoard(handle), 0, "first close");
        CheckEq(control.Count().open_handles, before.open_handles + 1,
                "the first of two closes keeps the driver handle");
        CheckEq(i_QMD5820_GetDeviceDriverVersion(handle, &value), 0,
                "the handle works after the first close");
        CheckEq(i_QMD5820_CloseBoard(handle), 0, "last close");
        CheckEq(control.Count().open_handles, before.open_handles,
                "the last close releases the driver handle");
        CheckEq(i_QMD5820_CloseBoard(handle), -2, "close of a closed board");
    }
    CheckEq(seen.size(), boards, "every board has its own identifier");

    // By identifier: the board the stand-in put behind the last interface.
    Control control(boards - 1);
    qmdsim_board_config config{};
    qmdsim_default_board_config(control.BoardIndex(), &config);
    QMD5820_HANDLE handle = 0;
    CheckEq(i_QMD5820_OpenBoardViaIdentifier(Identifier(config).c_str(), &handle), 0,
            "OpenBoardViaIdentifier");
    uint32_t serial = 0;
    CheckEq(i_QMD5820_GetBoardSerialNumber(handle, &serial), 0, "serial via identifier");
    CheckEq(serial, config.serial_number, "the identifier opened its own board");
    CheckEq(i_QMD5820_CloseBoard(handle), 0, "close after open by identifier");
    CheckEq(i_QMD5820_OpenBoardViaIdentifier("QMD5820-NO-SUCH-BOARD", &handle), -4,
            "OpenBoardViaIdentifier of an unknown identifier");
}

void DigitalIo(QMD5820_HANDLE handle, const Control& control) {
    control.SetInputs(0xA5);
    uint8_t port = 0;
    CheckEq(i_QMD5820_Read8DigitalInputs(handle, &port), 0, "Read8DigitalInputs");
    CheckEq(port, 0xA5, "inputs set on the board");
    for (uint8_t channel = 0; channel < 8; ++channel) {
        uint8_t bit = 0xEE;
        CheckEq(i_QMD5820_Read1DigitalInput(handle, channel, &bit), 0, "Read1DigitalInput");
        CheckEq(bit, (0xA5 >> channel) & 1, "input bit");
    }
    CheckEq(i_QMD5820_Set8DigitalOutputsOff(handle, 0xFF), 0, "Set8DigitalOutputsOff");
    CheckEq(i_QMD5820_Set8DigitalOutputsOn(handle, 0x81), 0, "Set8DigitalOutputsOn");
    CheckEq(i_QMD5820_Set1DigitalOutputOn(handle, 4), 0, "Set1DigitalOutputOn");
    CheckEq(control.Outputs(), 0x91, "outputs on the board");
    CheckEq(i_QMD5820_Get8DigitalOutputsStatus(handle, &port), 0, "Get8DigitalOutputsStatus");
    CheckEq(port, 0x91, "outputs read back");
    CheckEq(i_QMD5820_Set1DigitalOutputOff(handle, 0), 0, "Set1DigitalOutputOff");
    CheckEq(control.Outputs(), 0x90, "output 0 off on the board");
    uint8_t memory = 0xEE;
    CheckEq(i_QMD5820_SetDigitalOutputMemoryOn(handle), 0, "SetDigitalOutputMemoryOn");
    control.Outputs(&memory);
    CheckEq(memory, 1, "output memory on");
    CheckEq(i_QMD5820_SetDigitalOutputMemoryOff(handle), 0, "SetDigitalOutputMemoryOff");
    control.Outputs(&memory);
    CheckEq(memory, 0, "output memory off");
    uint8_t bit = 0;
    CheckEq(i_QMD5820_Read1DigitalInput(handle, 8, &bit), -2, "Read1DigitalInput channel 8");
}

void Timer(QMD5820_HANDLE handle) {
    // Time base 1 ms, reload 5000: the board counts down in real time.
    CheckEq(i_QMD5820_InitAndStartTimer(handle, 1, 5000, 0), 0, "InitAndStartTimer");
    uint16_t first = 0, second = 0;
    CheckEq(i_QMD5820_ReadTimerValue(handle, &first), 0, "ReadTimerValue");
    Sleep(60);
    CheckEq(i_QMD5820_ReadTimerValue(handle, &second), 0, "ReadTimerValue later");
    Check(first <= 5000 && second < first && first - second >= 40,
          "a running timer counts down",
          std::to_string(first) + " then " + std::to_string(second));
    CheckEq(i_QMD5820_StopTimer(handle), 0, "StopTimer");
    CheckEq(i_QMD5820_ReadTimerValue(handle, &first), 0, "ReadTimerValue stopped");
    Sleep(20);
    CheckEq(i_QMD5820_ReadTimerValue(handle, &second), 0, "ReadTimerValue stopped, later");
    CheckEq(second, first, "a stopped timer holds its count");
    uint8_t status1 = 0xEE, status2 = 0xEE;
    uint16_t word = 0xEEEE;
    CheckEq(i_QMD5820_ReadTimerStatus(handle, &status1, &status2, &word), 0, "ReadTimerStatus");
    CheckEq(i_QMD5820_TriggerTimer(handle), 0, "TriggerTimer");
    CheckEq(i_QMD5820_ReadTimerValue(handle, &first), 0, "ReadTimerValue after trigger");
    CheckEq(first, 5000, "a trigger reloads the count");
    CheckEq(i_QMD5820_InitAndStartTimer(handle, 3, 10, 0), -2, "time base 3 (driver status 2)");
}

void LogicLoad(QMD5820_HANDLE handle) {
    uint32_t word = 0;
    CheckEq(i_QMD5820_LoadLogicCommand(handle, 1), 0, "LoadLogicCommand begin");
    const uint32_t words[] = {0x12345678u, 0xCAFEF00Du, 0u, 0xFFFFFFFFu};
    for (uint32_t w : words) CheckEq(i_QMD5820_LoadLogicWrite(handle, w), 0, "LoadLogicWrite");
    CheckEq(i_QMD5820_LoadLogicCommand(handle, 2), 0, "LoadLogicCommand end");
    CheckEq(i_QMD5820_LoadLogicCommand(handle, 3), 0, "LoadLogicCommand rewind");
    for (uint32_t w : words) {
        CheckEq(i_QMD5820_LoadLogicRead(handle, &word), 0, "LoadLogicRead");
        CheckEq(word, w, "word read back");
    }
    // Past the end: the driver's status travels back through the I/O control buffer.
    CheckEq(i_QMD5820_LoadLogicRead(handle, &word), -5, "LoadLogicRead past the end");
    const std::string text = pc_QMD5820_GetLastError(handle);
    Check(text.rfind("i_QMD5820_LoadLogicRead", 0) == 0 && text.find("(-5)") != std::string::npos,
          "last error of the failed read", text);
    uint8_t status = 0;
    CheckEq(i_QMD5820_GetLoadLogicStatus(handle, &status), 0, "GetLoadLogicStatus");
    Check((status & 2) != 0 && (status & 4) != 0, "status: load completed, read at end",
          std::to_string(status));
}

void DatabaseAndChannel(QMD5820_HANDLE handle, const Control& control) {
    std::vector<qmdsim_transducer> factory;
    qmdsim_transducer t{};
    for (uint32_t i = 0; i < qmdsim_factory_transducer(0, &t); ++i) {
        qmdsim_factory_transducer(i, &t);
        factory.push_back(t);
    }
    uint8_t indexes[14] = {};
    uint8_t count = 0;
    CheckEq(i_QMD5820_GetAvailableTransducerTypes(handle, indexes, sizeof indexes, &count), 0,
            "GetAvailableTransducerTypes");
    CheckEq(count, factory.size(), "transducer types of the factory image");
    for (size_t i = 0; i < factory.size() && i < count; ++i) {
        CheckEq(indexes[i], factory[i].transducer_index, "transducer index");
        double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
        uint8_t calibrated = 0xEE;
        CheckEq(i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, indexes[i], &range,
                                                               &sensitivity, &frequency, &voltage,
                                                               &calibrated),
                0, "TransducerDatabaseReadTransducerInfo");
        Check(std::fabs(range - factory[i].range) < 1e-9, "range");
        Check(std::fabs(sensitivity - factory[i].sensitivity) < 1e-9, "sensitivity");
        CheckEq(calibrated, factory[i].calibrated, "calibration state");
    }

    // A channel: initialise with the first transducer, place it, read, convert.
    const qmdsim_transducer& first = factory.at(0);
    const uint8_t channel = 3;
    const double position = first.range * 0.375;
    CheckEq(i_QMD5820_Init1TransducerChannel(handle, channel, first.transducer_index, 0.0), 0,
            "Init1TransducerChannel");
    control.SetPosition(channel, position);
    uint16_t raw = 0;
    CheckEq(i_QMD5820_Read1TransducerChannel(handle, channel, &raw), 0, "Read1TransducerChannel");
    double value = 0;
    CheckEq(i_QMD5820_Convert1RawToMetricValue(handle, channel, raw, &value), 0,
            "Convert1RawToMetricValue");
    Check(std::fabs(value - position) <= first.range / 32767.0, "the position comes back",
          std::to_string(value) + " for " + std::to_string(position));

    // Add, read back, delete: the EEPROM words travel one request each.
    const uint8_t added = 77;
    const Control::Counters before = control.Count();
    const double start = Seconds();
    const int16_t add = i_QMD5820_TransducerDatabaseAdd(handle, added, 3.0, 40.0, 9765.5, 2.5, 4.0);
    const double seconds = Seconds() - start;
    const uint32_t requests = control.Count().requests - before.requests - 1;
    CheckEq(add, 0, "TransducerDatabaseAdd");
    std::printf("timing: database add: %.1f ms for %u board requests (%.0f us per request)\n",
                seconds * 1e3, requests, requests != 0 ? seconds * 1e6 / requests : 0.0);
    double range = 0;
    CheckEq(i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, added, &range, nullptr, nullptr,
                                                           nullptr, nullptr),
            0, "read info of the added transducer");
    CheckEq(range, 3.0, "range of the added transducer");
    CheckEq(i_QMD5820_TransducerDatabaseDelete(handle, added), 0, "TransducerDatabaseDelete");
    CheckEq(i_QMD5820_GetAvailableTransducerTypes(handle, indexes, sizeof indexes, &count), 0,
            "GetAvailableTransducerTypes after delete");
    CheckEq(count, factory.size(), "the added transducer is gone");
}

void RoundTrip(QMD5820_HANDLE handle, const Control& control) {
    constexpr int kCalls = 1000;
    uint8_t port = 0;
    double start = Seconds();
    for (int i = 0; i < kCalls; ++i) i_QMD5820_Read8DigitalInputs(handle, &port);
    const double library = (Seconds() - start) / kCalls;

    constexpr DWORD kSize = qmd::RecordSize(qmd::req::kReadDigitalInputs);
    uint8_t buffer[kSize];
    start = Seconds();
    for (int i = 0; i < kCalls; ++i) {
        std::memset(buffer, 0, kSize);
        DWORD returned = 0;
        DeviceIoControl(control.File(), qmd::req::kReadDigitalInputs, buffer, kSize, buffer, kSize,
                        &returned, nullptr);
    }
    const double raw = (Seconds() - start) / kCalls;
    std::printf("timing: DeviceIoControl round trip %.0f us; i_QMD5820_Read8DigitalInputs %.0f us"
                " (%d calls each)\n", raw * 1e6, library * 1e6, kCalls);
}

// Interrupts through the library: its interrupt thread waits on the event it registered
// with the driver; the stand-in signals it when the simulated board raises an interrupt.
struct Delivered {
    volatile LONG calls = 0;
    QMD5820_HANDLE handle = 0;
    uint8_t info = 0;
    uint32_t value1 = 0;
    uint32_t value2 = 0;
    uint32_t data_count = 0;
};
Delivered g_delivered;

void InterruptRoutine(QMD5820_HANDLE handle, uint8_t info, uint32_t value1, uint32_t value2,
                      uint32_t* data, uint32_t data_count) {
    (void)data;
    g_delivered.handle = handle;
    g_delivered.info = info;
    g_delivered.value1 = value1;
    g_delivered.value2 = value2;
    g_delivered.data_count = data_count;
    InterlockedIncrement(&g_delivered.calls);
}

bool WaitForCalls(LONG calls, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (g_delivered.calls < calls) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

void Interrupts(QMD5820_HANDLE handle, const Control& control) {
    CheckEq(i_QMD5820_SetBoardIntRoutine(handle, InterruptRoutine), 0, "SetBoardIntRoutine");
    const Control::EventState state = control.Events();
    std::printf("driver: ObReferenceObjectByHandle(UserMode) on the library's event: 0x%08lX\n",
                static_cast<unsigned long>(static_cast<uint32_t>(state.reference_status)));
    CheckEq(state.registrations, 1, "the library registered one event with the driver");

    const double start = Seconds();
    control.RaiseInterrupt(QMDSIM_INTERRUPT_TIMER, 0x11223344u, 0x55667788u);
    Check(WaitForCalls(1, 2000), "the routine is called for a raised interrupt");
    std::printf("timing: interrupt raised to routine called: %.2f ms\n", (Seconds() - start) * 1e3);
    Check(g_delivered.handle == handle, "the routine gets the board's handle");
    CheckEq(g_delivered.info, QMDSIM_INTERRUPT_TIMER, "b_InterruptInfo");
    CheckEq(g_delivered.value1, 0x11223344u, "dw_InterruptValue1");
    CheckEq(g_delivered.value2, 0x55667788u, "dw_InterruptValue2");
    CheckEq(g_delivered.data_count, 0u, "dw_InterruptDataCount");

    control.RaiseInterrupt(QMDSIM_INTERRUPT_SHORT_CIRCUIT, 2, 0);
    control.RaiseInterrupt(QMDSIM_INTERRUPT_SHORT_CIRCUIT, 3, 0);
    Check(WaitForCalls(3, 2000), "every queued record reaches the routine");
    Sleep(20);
    CheckEq(g_delivered.calls, 3, "one call per record");
    CheckEq(g_delivered.value1, 3u, "records in the order raised");

    CheckEq(i_QMD5820_ResetBoardIntRoutine(handle), 0, "ResetBoardIntRoutine");
    control.RaiseInterrupt(QMDSIM_INTERRUPT_TIMER, 4, 0);
    Sleep(50);
    CheckEq(g_delivered.calls, 3, "no call after the routine was reset");
}

void WithDriver(unsigned boards) {
    BoardsAndIdentity(boards);
    Control control(0);
    // Under Wine the driver learns from us whose event handles it receives.
    const DWORD pid = GetCurrentProcessId();
    Check(control.Call(STANDIN_IOCTL_SET_CLIENT, &pid, sizeof pid, nullptr, 0),
          "naming this process to the stand-in");
    QMD5820_HANDLE handle = 0;
    CheckEq(i_QMD5820_OpenBoardViaIndex(0, &handle), 0, "open board 0");
    DigitalIo(handle, control);
    Timer(handle);
    LogicLoad(handle);
    DatabaseAndChannel(handle, control);
    RoundTrip(handle, control);
    Interrupts(handle, control);
    CheckEq(i_QMD5820_CloseBoard(handle), 0, "close board 0");
}

// ---- without a driver ------------------------------------------------------------------------

void WithoutDriver() {
    const char* const kUnknownHandle =
        "pc_QMD5820_GetLastError failed: The h_DeviceHandle parameter is wrong (-1)";
    uint8_t count = 0xEE;
    CheckEq(i_QMD5820_GetNumberOfBoards(&count), 0, "GetNumberOfBoards without a driver");
    CheckEq(count, 0, "no boards without a driver");
    QMD5820_HANDLE handle = 0x1234;
    CheckEq(i_QMD5820_OpenBoardViaIndex(0, &handle), -2, "OpenBoardViaIndex without a driver");
    CheckEq(i_QMD5820_OpenBoardViaIdentifier("QMD5820-DEMO-0", &handle), -4,
            "OpenBoardViaIdentifier without a driver");
    for (QMD5820_HANDLE h : {QMD5820_HANDLE{0}, QMD5820_HANDLE{0x1234}, ~QMD5820_HANDLE{0}}) {
        uint8_t b = 0;
        uint32_t dw = 0;
        CheckEq(i_QMD5820_CloseBoard(h), -2, "CloseBoard of an unknown handle");
        CheckEq(i_QMD5820_Read8DigitalInputs(h, &b), -1, "Read8DigitalInputs, unknown handle");
        CheckEq(i_QMD5820_GetDeviceDriverVersion(h, &dw), -1, "driver version, unknown handle");
        CheckEq(i_QMD5820_GetBoardSerialNumber(h, &dw), -1, "serial number, unknown handle");
        CheckText(pc_QMD5820_GetLastError(h), kUnknownHandle, "last error of an unknown handle");
    }
    uint32_t version = 0;
    CheckEq(i_QMD5820_GetDLLVersion(&version), 0, "GetDLLVersion");
    CheckEq(version, QMD5820_DLL_VERSION, "DLL version");
}

}  // namespace

int main(int argc, char** argv) {
    unsigned boards = 2;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--boards") == 0 && i + 1 < argc) {
            boards = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: e2e_test [--boards N] [--keep]\n");
            return 2;
        }
    }
    if (boards == 0 || boards > 30) boards = 2;

    const std::string dir = ProgramDirectory();
    char error[512] = "";
    if (standin_remove(5000, error, sizeof error) != 0) {
        std::printf("FAILED: removing an earlier stand-in: %s\n", error);
        return 1;
    }
    double start = Seconds();
    if (standin_install((dir + STANDIN_SYS).c_str(), (dir + STANDIN_HOST_DLL).c_str(), boards,
                        10000, error, sizeof error) != 0) {
        std::printf("FAILED: installing the stand-in driver: %s\n", error);
        return 1;
    }
    std::printf("timing: stand-in installed with %u boards in %.0f ms\n", boards,
                (Seconds() - start) * 1e3);

    WithDriver(boards);
    if (keep) return g_failures == 0 ? 0 : 1;

    start = Seconds();
    if (standin_remove(10000, error, sizeof error) != 0) {
        std::printf("FAILED: removing the stand-in driver: %s\n", error);
        return 1;
    }
    std::printf("timing: stand-in removed in %.0f ms\n", (Seconds() - start) * 1e3);
    WithoutDriver();

    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
