/*
 * Stand-in QMD5820 kernel driver, for end-to-end tests of the production QMD5820.dll under
 * Wine. Each root-enumerated device of this driver is one board: it registers the board's
 * device interface class, and every request the library sends (DeviceIoControl, ReadFile)
 * is answered by the simulated board - the same code that answers the library's requests
 * in every other test - through the simulator's backend table.
 *
 * The simulated board is C++ with its standard library and threads, so it is not linked
 * into this image: it lives in qmd5820simhost.dll, an ordinary Win32 DLL that this driver
 * imports beside ntoskrnl.exe. That works only where a driver is hosted by a user-mode
 * process, as Wine's winedevice.exe hosts it; this driver is not meant for Windows itself.
 * The image must import neither kernel32 nor ntdll itself: Wine's loader then takes it for
 * a native-subsystem image and calls its entry point only as DriverEntry. (Linked with the
 * simulator directly, the image imports kernel32, Wine calls DriverEntry as DllMain and the
 * service fails to start with ERROR_DLL_INIT_FAILED.)
 *
 * Per open file the driver holds one handle of the simulated driver (FsContext). A device's
 * board index is the lowest one free when the device is added; the simulator gets demo
 * boards added as needed.
 *
 * Interrupts: the simulated board asks for the event the library registered (request
 * 0x90002004) to be signalled. The driver references that event as a Windows driver does
 * (ObReferenceObjectByHandle, UserMode, then KeSetEvent); under Wine that is not
 * implemented, so it duplicates the handle from the process a test named with
 * STANDIN_IOCTL_SET_CLIENT and sets the duplicate with ZwSetEvent.
 */
#include <ntddk.h>
#include <wdm.h>

#include "qmd5820_backend.h"
#include "qmd5820sim.h"
#include "standin_control.h"

/* Exported by ntoskrnl.exe but not declared by MinGW-w64's DDK headers. */
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE event, PLONG previous_state);
NTSYSAPI NTSTATUS NTAPI ZwDuplicateObject(HANDLE source_process, HANDLE source_handle,
                                          HANDLE target_process, PHANDLE target_handle,
                                          ACCESS_MASK access, ULONG attributes, ULONG options);

static const GUID kInterfaceGuid = QMD5820_DEVICE_INTERFACE_GUID_INIT;

#define STANDIN_MAX_BOARDS 64u
#define REQUEST_REGISTER_INTERRUPT_EVENT 0x90002004u

typedef struct BoardSlot {
    volatile LONG used;
    uint64_t event_value;    /* last value registered with the board */
    PKEVENT event;           /* the caller's event, referenced, or NULL */
    HANDLE event_handle;     /* or a duplicate of the caller's handle in this process */
    LONG registrations;
    NTSTATUS reference_status;
    volatile LONG signalled; /* events set */
    volatile LONG asked;     /* signals the simulated board asked for */
    volatile LONG requests;  /* board requests answered */
} BoardSlot;

typedef struct DeviceExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    UNICODE_STRING interface_name;
    BOOLEAN interface_registered;
    uint32_t board;
} DeviceExtension;

static BoardSlot g_slots[STANDIN_MAX_BOARDS];
static FAST_MUTEX g_event_lock;
static volatile LONG g_client_process; /* set through STANDIN_IOCTL_SET_CLIENT */

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- events ------------------------------------------------------------------------ */

/* The simulated board signals the event value the library registered. */
static void SignalEvent(uint64_t value) {
    ExAcquireFastMutex(&g_event_lock);
    for (uint32_t i = 0; i < STANDIN_MAX_BOARDS; ++i) {
        BoardSlot* slot = &g_slots[i];
        if (slot->used == 0 || slot->event_value != value) continue;
        InterlockedIncrement(&slot->asked);
        if (slot->event != NULL) {
            KeSetEvent(slot->event, IO_NO_INCREMENT, FALSE);
            InterlockedIncrement(&slot->signalled);
        } else if (slot->event_handle != NULL && NT_SUCCESS(ZwSetEvent(slot->event_handle, NULL))) {
            InterlockedIncrement(&slot->signalled);
        }
    }
    ExReleaseFastMutex(&g_event_lock);
}

static void ReleaseEvent(BoardSlot* slot) {
    ExAcquireFastMutex(&g_event_lock);
    PKEVENT event = slot->event;
    HANDLE handle = slot->event_handle;
    slot->event = NULL;
    slot->event_handle = NULL;
    slot->event_value = 0;
    ExReleaseFastMutex(&g_event_lock);
    if (event != NULL) ObDereferenceObject(event);
    if (handle != NULL) ZwClose(handle);
}

/* Wine's way to the caller's event: its host process cannot resolve a handle of another
 * process (ObReferenceObjectByHandle with UserMode is not implemented there, and neither
 * IoGetRequestorProcessId nor PsGetCurrentProcessId names the caller), so the test names
 * its process and the driver duplicates the handle from it. */
static HANDLE DuplicateFromClient(uint64_t value) {
    const LONG pid = g_client_process;
    if (pid == 0) return NULL;
    CLIENT_ID client;
    client.UniqueProcess = (HANDLE)(ULONG_PTR)(ULONG)pid;
    client.UniqueThread = NULL;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE process = NULL;
    HANDLE local = NULL;
    if (!NT_SUCCESS(ZwOpenProcess(&process, PROCESS_DUP_HANDLE, &attributes, &client))) return NULL;
    if (!NT_SUCCESS(ZwDuplicateObject(process, (HANDLE)(ULONG_PTR)value, NtCurrentProcess(), &local,
                                      EVENT_MODIFY_STATE, 0, 0))) {
        local = NULL;
    }
    ZwClose(process);
    return local;
}

static void RegisterEvent(BoardSlot* slot, uint64_t value) {
    /* What a driver does on Windows: reference the caller's event by its handle. */
    PVOID object = NULL;
    const NTSTATUS status =
        ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)value, EVENT_MODIFY_STATE, *ExEventObjectType,
                                  UserMode, &object, NULL);
    const HANDLE duplicate = NT_SUCCESS(status) ? NULL : DuplicateFromClient(value);
    ReleaseEvent(slot);
    ExAcquireFastMutex(&g_event_lock);
    slot->event_value = value;
    slot->registrations += 1;
    slot->reference_status = status;
    slot->event = NT_SUCCESS(status) ? (PKEVENT)object : NULL;
    slot->event_handle = duplicate;
    slot->signalled = 0;
    slot->asked = 0;
    ExReleaseFastMutex(&g_event_lock);
}

/* ---- file objects -------------------------------------------------------------------- */

static DeviceExtension* Extension(PDEVICE_OBJECT device) {
    return (DeviceExtension*)device->DeviceExtension;
}

static uint64_t SimHandle(PIO_STACK_LOCATION stack) {
    return (uint64_t)(ULONG_PTR)stack->FileObject->FsContext;
}

static NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const qmd5820_backend* sim = qmdsim_backend();
    uint64_t handle = 0;
    if (sim->open_board(sim->context, Extension(device)->board, &handle) != QMD5820_OPEN_OK) {
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    stack->FileObject->FsContext = (PVOID)(ULONG_PTR)handle;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const qmd5820_backend* sim = qmdsim_backend();
    if (stack->FileObject != NULL && stack->FileObject->FsContext != NULL) {
        sim->close_handle(sim->context, SimHandle(stack));
        stack->FileObject->FsContext = NULL;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const qmd5820_backend* sim = qmdsim_backend();
    uint32_t read = 0;
    if (!sim->read_stream(sim->context, SimHandle(stack), (uint8_t*)irp->AssociatedIrp.SystemBuffer,
                          stack->Parameters.Read.Length, &read)) {
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    return Complete(irp, STATUS_SUCCESS, read);
}

/* ---- requests ------------------------------------------------------------------------ */

static NTSTATUS Control(DeviceExtension* ext, ULONG code, uint8_t* buffer, ULONG in, ULONG out,
                        ULONG_PTR* information) {
    BoardSlot* slot = &g_slots[ext->board];
    switch (code) {
        case STANDIN_IOCTL_BOARD_INDEX:
            if (out < 4) return STATUS_BUFFER_TOO_SMALL;
            RtlCopyMemory(buffer, &ext->board, 4);
            *information = 4;
            return STATUS_SUCCESS;
        case STANDIN_IOCTL_SET_CLIENT:
            if (in < 4) return STATUS_INVALID_PARAMETER;
            {
                LONG pid;
                RtlCopyMemory(&pid, buffer, sizeof pid);
                InterlockedExchange(&g_client_process, pid);
            }
            return STATUS_SUCCESS;
        case STANDIN_IOCTL_SET_INPUTS:
            if (in < 1) return STATUS_INVALID_PARAMETER;
            qmdsim_set_digital_inputs(ext->board, buffer[0]);
            return STATUS_SUCCESS;
        case STANDIN_IOCTL_GET_OUTPUTS:
            if (out < 2) return STATUS_BUFFER_TOO_SMALL;
            buffer[0] = qmdsim_digital_outputs(ext->board);
            buffer[1] = qmdsim_digital_output_memory(ext->board);
            *information = 2;
            return STATUS_SUCCESS;
        case STANDIN_IOCTL_SET_POSITION: {
            if (in < 9) return STATUS_INVALID_PARAMETER;
            double position;
            RtlCopyMemory(&position, buffer + 1, sizeof position);
            qmdsim_set_position(ext->board, buffer[0], position);
            return STATUS_SUCCESS;
        }
        case STANDIN_IOCTL_RAISE_INTERRUPT: {
            if (in < 9) return STATUS_INVALID_PARAMETER;
            qmdsim_interrupt record;
            RtlZeroMemory(&record, sizeof record);
            record.info = buffer[0];
            RtlCopyMemory(&record.value1, buffer + 1, 4);
            RtlCopyMemory(&record.value2, buffer + 5, 4);
            qmdsim_raise_interrupt(ext->board, &record);
            return STATUS_SUCCESS;
        }
        case STANDIN_IOCTL_EVENT_STATE: {
            if (out < 16) return STATUS_BUFFER_TOO_SMALL;
            const LONG values[4] = {slot->registrations, slot->reference_status, slot->signalled,
                                    slot->asked};
            RtlCopyMemory(buffer, values, sizeof values);
            *information = 16;
            return STATUS_SUCCESS;
        }
        case STANDIN_IOCTL_COUNTERS: {
            if (out < 8) return STATUS_BUFFER_TOO_SMALL;
            const uint32_t values[2] = {(uint32_t)slot->requests, qmdsim_open_handles(ext->board)};
            RtlCopyMemory(buffer, values, sizeof values);
            *information = 8;
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DeviceExtension* ext = Extension(device);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;

    if ((code >> 16) == STANDIN_DEVICE_TYPE) {
        ULONG_PTR information = 0;
        const NTSTATUS status = Control(ext, code, buffer, in, out, &information);
        return Complete(irp, status, information);
    }

    uint64_t registered = 0;
    if (code == REQUEST_REGISTER_INTERRUPT_EVENT && in >= 8) RtlCopyMemory(&registered, buffer, 8);

    InterlockedIncrement(&g_slots[ext->board].requests);
    const qmd5820_backend* sim = qmdsim_backend();
    if (!sim->device_io_control(sim->context, SimHandle(stack), code, buffer, in, out)) {
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (code == REQUEST_REGISTER_INTERRUPT_EVENT) RegisterEvent(&g_slots[ext->board], registered);
    return Complete(irp, STATUS_SUCCESS, out);
}

/* ---- plug and play --------------------------------------------------------------------- */

static NTSTATUS StartCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(DeviceExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartCompleted, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext, irp);
            if (NT_SUCCESS(status) && ext->interface_registered) {
                status = IoSetDeviceInterfaceState(&ext->interface_name, TRUE);
            }
            return Complete(irp, status, 0);
        }
        case IRP_MN_REMOVE_DEVICE: {
            if (ext->interface_registered) {
                IoSetDeviceInterfaceState(&ext->interface_name, FALSE);
                RtlFreeUnicodeString(&ext->interface_name);
                ext->interface_registered = FALSE;
            }
            ReleaseEvent(&g_slots[ext->board]);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(ext->lower, irp);
            InterlockedExchange(&g_slots[ext->board].used, 0);
            IoDetachDevice(ext->lower);
            IoDeleteDevice(device);
            return status;
        }
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(ext->lower, irp);
    }
}

static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Extension(device)->lower, irp);
}

static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    uint32_t board = STANDIN_MAX_BOARDS;
    for (uint32_t i = 0; i < STANDIN_MAX_BOARDS; ++i) {
        if (InterlockedCompareExchange(&g_slots[i].used, 1, 0) == 0) {
            board = i;
            break;
        }
    }
    if (board == STANDIN_MAX_BOARDS) return STATUS_INSUFFICIENT_RESOURCES;
    BoardSlot* slot = &g_slots[board];
    slot->registrations = 0;
    slot->reference_status = STATUS_SUCCESS;
    slot->signalled = 0;
    slot->asked = 0;
    slot->requests = 0;
    while (qmdsim_board_count() <= board) {
        if (qmdsim_add_board(NULL) < 0) {
            InterlockedExchange(&slot->used, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&slot->used, 0);
        return status;
    }
    DeviceExtension* ext = Extension(device);
    RtlZeroMemory(ext, sizeof *ext);
    ext->self = device;
    ext->board = board;
    status = IoRegisterDeviceInterface(pdo, &kInterfaceGuid, NULL, &ext->interface_name);
    ext->interface_registered = NT_SUCCESS(status);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->interface_registered || ext->lower == NULL) {
        if (ext->interface_registered) RtlFreeUnicodeString(&ext->interface_name);
        if (ext->lower != NULL) IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        InterlockedExchange(&slot->used, 0);
        return NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void Unload(PDRIVER_OBJECT driver) { (void)driver; }

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    ExInitializeFastMutex(&g_event_lock);
    qmdsim_set_event_signaller(SignalEvent);
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
