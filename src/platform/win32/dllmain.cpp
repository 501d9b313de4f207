// Entry point of QMD5820.dll: the board table is initialised on process attach; nothing
// happens on any other notification (handles, events and threads are left to Windows).
#include <windows.h>

#include "core/board_table.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) qmd::OnProcessAttach();
    return TRUE;
}
