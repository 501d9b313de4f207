// The production backend: the QMD5820 kernel driver reached through SetupAPI discovery,
// CreateFileA, DeviceIoControl and ReadFile; time through Sleep and the C clock.
#include <windows.h>
// windows.h first
#include <setupapi.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "qmd5820_backend.h"

namespace {

const GUID kInterfaceGuid = QMD5820_DEVICE_INTERFACE_GUID_INIT;

HANDLE ToHandle(uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

HDEVINFO PresentInterfaces() {
    return SetupDiGetClassDevsA(&kInterfaceGuid, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

int32_t CountBoards(void*) {
    HDEVINFO set = PresentInterfaces();
    if (set == INVALID_HANDLE_VALUE) return -1;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    int32_t count = 0;
    SetLastError(0);
    while (count < INT32_MAX && SetupDiEnumDeviceInfo(set, static_cast<DWORD>(count), &device)) {
        ++count;
    }
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (error != 0 && error != ERROR_NO_MORE_ITEMS) return -3;
    return count;
}

int32_t OpenBoard(void*, uint32_t index, uint64_t* handle) {
    HDEVINFO set = PresentInterfaces();
    if (set == INVALID_HANDLE_VALUE) return QMD5820_OPEN_NO_DEVICE_SET;

    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceGuid, index, &interface_data)) {
        SetupDiDestroyDeviceInfoList(set);
        return QMD5820_OPEN_NO_INTERFACE;
    }

    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(size));
    if (detail == nullptr) {
        SetupDiDestroyDeviceInfoList(set);
        return QMD5820_OPEN_NO_MEMORY;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // the fixed head alone
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, size, nullptr, nullptr)) {
        std::free(detail);
        SetupDiDestroyDeviceInfoList(set);
        return QMD5820_OPEN_NO_DETAIL;
    }

    HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    *handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(device));
    std::free(detail);
    SetupDiDestroyDeviceInfoList(set);
    return device == INVALID_HANDLE_VALUE ? QMD5820_OPEN_CREATE_FAILED : QMD5820_OPEN_OK;
}

int32_t CloseDevice(void*, uint64_t handle) { return CloseHandle(ToHandle(handle)) ? 0 : -1; }

int32_t DeviceIoControlCall(void*, uint64_t handle, uint32_t code, uint8_t* buffer,
                            uint32_t in_size, uint32_t out_size) {
    DWORD returned = 0;
    return DeviceIoControl(ToHandle(handle), code, in_size != 0 ? buffer : nullptr, in_size,
                           out_size != 0 ? buffer : nullptr, out_size, &returned, nullptr)
               ? 1
               : 0;
}

int32_t ReadStream(void*, uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
    DWORD read = 0;
    const BOOL ok = ReadFile(ToHandle(handle), buffer, size, &read, nullptr);
    if (bytes_read != nullptr) *bytes_read = read;
    return ok ? 1 : 0;
}

void SleepMs(void*, uint32_t ms) { Sleep(ms); }

int64_t ClockSeconds(void*) { return static_cast<int64_t>(std::time(nullptr)); }

const qmd5820_backend kWin32Backend = {
    sizeof(qmd5820_backend), nullptr,          CountBoards, OpenBoard,     CloseDevice,
    DeviceIoControlCall,     ReadStream,       SleepMs,     ClockSeconds,
};

}  // namespace

extern "C" const qmd5820_backend* qmd5820_default_backend(void) { return &kWin32Backend; }
