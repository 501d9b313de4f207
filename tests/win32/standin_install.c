/*
 * Installation of the stand-in QMD5820 driver (see standin_install.h): no INF, a kernel
 * service of its own and root-enumerated devices of the System class bound to it.
 */
#include "standin_install.h"

#include <windows.h>
// windows.h first
#include <setupapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "qmd5820_backend.h"
#include "standin_driver/standin_control.h"

static const GUID kInterfaceGuid = QMD5820_DEVICE_INTERFACE_GUID_INIT;
static const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static int Fail(char* error, unsigned size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(error, size, format, args);
    va_end(args);
    if (n >= 0 && (unsigned)n + 24 < size) {
        snprintf(error + n, size - (unsigned)n, " (error %lu)", GetLastError());
    }
    return -1;
}

int standin_present_interfaces(void) {
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceGuid, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return -1;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    int count = 0;
    while (SetupDiEnumDeviceInterfaces(set, NULL, &kInterfaceGuid, (DWORD)count, &data)) ++count;
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

int standin_interface_path(unsigned index, char* path, unsigned size) {
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceGuid, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return -1;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[1024];
    } u;
    u.detail.cbSize = sizeof u.detail;
    int result = -1;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &kInterfaceGuid, index, &data) &&
        SetupDiGetDeviceInterfaceDetailA(set, &data, &u.detail, sizeof u, NULL, NULL) &&
        strlen(u.detail.DevicePath) < size) {
        strcpy(path, u.detail.DevicePath);
        result = 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

static int WaitForInterfaces(int wanted, unsigned timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const int present = standin_present_interfaces();
        if (present == wanted) return 0;
        if (GetTickCount() - start > timeout_ms) return present < 0 ? -1 : present;
        Sleep(10);
    }
}

static int CopyInto(const char* source, const char* directory, const char* name, char* error,
                    unsigned size) {
    char target[MAX_PATH];
    snprintf(target, sizeof target, "%s\\%s", directory, name);
    if (!CopyFileA(source, target, FALSE)) {
        return Fail(error, size, "copying %s to %s failed", source, target);
    }
    return 0;
}

static int CreateRootDevice(unsigned index, char* error, unsigned size) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail(error, size, "SetupDiCreateDeviceInfoList failed");
    char instance[64];
    snprintf(instance, sizeof instance, "ROOT\\QMD5820STANDIN\\%04u", index);
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    static const char kHardwareIds[] = STANDIN_HARDWARE_ID "\0";
    static const char kService[] = STANDIN_SERVICE;
    int result = 0;
    if (!SetupDiCreateDeviceInfoA(set, instance, &kSystemClass, NULL, NULL, 0, &device)) {
        result = Fail(error, size, "SetupDiCreateDeviceInfoA(%s) failed", instance);
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                  (const BYTE*)kHardwareIds, sizeof kHardwareIds)) {
        result = Fail(error, size, "setting the hardware id of %s failed", instance);
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE,
                                                  (const BYTE*)kService, sizeof kService)) {
        result = Fail(error, size, "setting the service of %s failed", instance);
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        result = Fail(error, size, "registering %s failed", instance);
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

int standin_install(const char* sys_path, const char* host_dll_path, unsigned boards,
                    unsigned timeout_ms, char* error, unsigned size) {
    char system[MAX_PATH];
    char drivers[MAX_PATH + 16];
    if (GetSystemDirectoryA(system, sizeof system) == 0) {
        return Fail(error, size, "GetSystemDirectoryA failed");
    }
    snprintf(drivers, sizeof drivers, "%s\\drivers", system);
    if (CopyInto(host_dll_path, system, STANDIN_HOST_DLL, error, size) != 0 ||
        CopyInto(sys_path, drivers, STANDIN_SYS, error, size) != 0) {
        return -1;
    }

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) return Fail(error, size, "OpenSCManagerA failed");
    char binary[MAX_PATH + 32];
    snprintf(binary, sizeof binary, "%s\\%s", drivers, STANDIN_SYS);
    SC_HANDLE service = CreateServiceA(manager, STANDIN_SERVICE, STANDIN_SERVICE,
                                       SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, NULL,
                                       NULL, NULL, NULL, NULL);
    if (service == NULL && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceA(manager, STANDIN_SERVICE, SERVICE_ALL_ACCESS);
    }
    if (service == NULL) {
        const int r = Fail(error, size, "creating the service %s failed", STANDIN_SERVICE);
        CloseServiceHandle(manager);
        return r;
    }

    int result = 0;
    for (unsigned i = 0; i < boards && result == 0; ++i) result = CreateRootDevice(i, error, size);
    if (result == 0 && !StartServiceA(service, 0, NULL) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        result = Fail(error, size, "starting the service %s failed", STANDIN_SERVICE);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result != 0) return result;

    const int waited = WaitForInterfaces((int)boards, timeout_ms);
    if (waited != 0) {
        snprintf(error, size, "%d of %u device interfaces present after %u ms", waited, boards,
                 timeout_ms);
        return -1;
    }
    return 0;
}

static int IsStandinDevice(HDEVINFO set, SP_DEVINFO_DATA* device) {
    char ids[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, &type, (BYTE*)ids,
                                           sizeof ids - 2, NULL)) {
        return 0;
    }
    ids[sizeof ids - 2] = ids[sizeof ids - 1] = '\0';
    for (const char* id = ids; *id != '\0'; id += strlen(id) + 1) {
        if (_stricmp(id, STANDIN_HARDWARE_ID) == 0) return 1;
    }
    return 0;
}

int standin_remove(unsigned timeout_ms, char* error, unsigned size) {
    int result = 0;
    HDEVINFO set = SetupDiGetClassDevsA(&kSystemClass, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE) return Fail(error, size, "SetupDiGetClassDevsA failed");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (IsStandinDevice(set, &device) && !SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            result = Fail(error, size, "removing device %lu failed", i);
        }
    }
    SetupDiDestroyDeviceInfoList(set);

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) return Fail(error, size, "OpenSCManagerA failed");
    SC_HANDLE service = OpenServiceA(manager, STANDIN_SERVICE, SERVICE_ALL_ACCESS);
    if (service != NULL) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        if (!DeleteService(service)) result = Fail(error, size, "deleting the service failed");
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (result != 0) return result;

    const int waited = WaitForInterfaces(0, timeout_ms);
    if (waited != 0) {
        snprintf(error, size, "%d device interfaces still present after %u ms", waited, timeout_ms);
        return -1;
    }
    return 0;
}
