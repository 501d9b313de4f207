/*
 * A program as an application developer writes it against the installed Windows SDK:
 * QMD5820.h, one of the two import libraries, QMD5820.dll beside the program. Run where no
 * QMD5820 driver is installed. Exit code 0 when the library answers as documented for a
 * machine without boards; otherwise the number of failed checks.
 */
#include <stdio.h>
#include <string.h>

#include <QMD5820.h>

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    uint32_t version = 0;
    check(i_QMD5820_GetDLLVersion(&version) == 0, "i_QMD5820_GetDLLVersion returns 0");
    check(version == QMD5820_DLL_VERSION, "the DLL reports the version of its header");
    printf("QMD5820.dll version 0x%08X\n", (unsigned)version);

    uint8_t boards = 0xEE;
    check(i_QMD5820_GetNumberOfBoards(&boards) == 0, "i_QMD5820_GetNumberOfBoards returns 0");
    check(boards == 0, "no boards without a driver");

    QMD5820_HANDLE handle = 0;
    check(i_QMD5820_OpenBoardViaIndex(0, &handle) == -2, "opening board 0 gives -2");

    const char* text = pc_QMD5820_GetLastError((QMD5820_HANDLE)0x5A5A);
    check(text != NULL &&
              strcmp(text, "pc_QMD5820_GetLastError failed: The h_DeviceHandle parameter is "
                           "wrong (-1)") == 0,
          "the last error of an unknown handle");
    printf("%s\n", text != NULL ? text : "(null)");
    return failures;
}
