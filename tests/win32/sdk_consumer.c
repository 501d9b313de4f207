/*
 * A program as an application developer writes it against the installed Windows SDK:
 * QMD5820.h and qmd5820_texts.h, one of the two import libraries, QMD5820.dll beside the
 * program. Run where no
 * QMD5820 driver is installed. Exit code 0 when the library answers as documented for a
 * machine without boards; otherwise the number of failed checks.
 */
#include <stdio.h>
#include <string.h>

#include <QMD5820.h>
#include <qmd5820_texts.h>

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

    /* The shared texts and checks, with this C runtime's printf and strtod. */
    char problem[QMD5820_PROBLEM_TEXT_SIZE];
    check(strcmp(qmd5820_worker_status_text(QMD5820_WORKER_PREPARE),
                 "preparing the configuration block") == 0,
          "the text of worker status 2");
    check(strncmp(qmd5820_worker_failure_text(QMD5820_WORKER_GROUP1_SECOND_POSITION,
                                              QMD5820_WORKER_BEYOND_LIMIT),
                  "the reading stayed more than 0.005 away", 39) == 0,
          "the text of failure 50 in phase 18");
    check(qmd5820_transducer_data_problem(2, 50, 5000, 1e-13, 6, problem, sizeof problem) == 4 &&
              strcmp(problem, "voltage: expected a number above 1e-12 and at most 30 V, got 1e-13") == 0,
          "a voltage below 1e-12 is refused, in the words Linux and Python use");
    printf("%s\n", problem);
    return failures;
}
