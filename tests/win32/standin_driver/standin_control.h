/*
 * Control requests of the stand-in QMD5820 driver (tests only).
 *
 * The stand-in driver answers the board's own requests through the simulated board. These
 * extra requests, of a device type of their own, let a test steer the simulated board
 * behind a device (inputs, positions, interrupts) and look at it (outputs, board index).
 * The library never sends them. All are METHOD_BUFFERED, any access.
 */
#ifndef QMD5820_STANDIN_CONTROL_H
#define QMD5820_STANDIN_CONTROL_H

#define STANDIN_DEVICE_TYPE 0x8820u
#define STANDIN_CTL(function) ((STANDIN_DEVICE_TYPE << 16) | ((0x800u + (function)) << 2))

/* Out: 4 bytes, the simulated board index behind this device. */
#define STANDIN_IOCTL_BOARD_INDEX STANDIN_CTL(1)
/* In: 1 byte, the level of the 8 digital inputs. */
#define STANDIN_IOCTL_SET_INPUTS STANDIN_CTL(2)
/* Out: 2 bytes, the digital outputs and the output memory. */
#define STANDIN_IOCTL_GET_OUTPUTS STANDIN_CTL(3)
/* In: 9 bytes, the channel (byte 0) and its metric position (double, bytes 1 to 8). */
#define STANDIN_IOCTL_SET_POSITION STANDIN_CTL(4)
/* In: 9 bytes, b_InterruptInfo (byte 0), value1 (bytes 1 to 4), value2 (bytes 5 to 8):
 * queue an interrupt record on the board, which signals its registered event. */
#define STANDIN_IOCTL_RAISE_INTERRUPT STANDIN_CTL(5)
/* Out: 16 bytes, how the driver took the interrupt event registrations of this board: their
 * number (bytes 0 to 3), the NTSTATUS of ObReferenceObjectByHandle (UserMode) for the last
 * one (bytes 4 to 7), the number of times the driver set the event (KeSetEvent on the
 * referenced object, or ZwSetEvent on the duplicated handle; bytes 8 to 11) and the number
 * of signals the simulated board asked for (bytes 12 to 15), both since the last
 * registration. */
#define STANDIN_IOCTL_EVENT_STATE STANDIN_CTL(6)
/* Out: 8 bytes, the board requests (I/O controls of the board's own codes) this board has
 * answered (bytes 0 to 3) and the driver handles open on it (bytes 4 to 7). */
#define STANDIN_IOCTL_COUNTERS STANDIN_CTL(7)

/* In: 4 bytes, the id of the process whose event handles the driver receives with the
 * interrupt event registration. Under Wine the driver's host process cannot tell who sent a
 * request, so it duplicates a registered handle from this process (and signals the
 * duplicate) when referencing the handle directly fails. */
#define STANDIN_IOCTL_SET_CLIENT STANDIN_CTL(8)

/* The hardware id of the stand-in's root-enumerated devices and its service name. */
#define STANDIN_HARDWARE_ID "Root\\QMD5820Standin"
#define STANDIN_SERVICE "QMD5820Standin"
#define STANDIN_SYS "qmd5820standin.sys"
#define STANDIN_HOST_DLL "qmd5820simhost.dll"

#endif /* QMD5820_STANDIN_CONTROL_H */
