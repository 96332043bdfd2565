// The entry point of every executable of the Windows release (txl_windows_program). Before the
// C runtime starts, the process may load DLLs from the system folder only: the DLLs that are
// not KnownDLLs are delay-loaded, so they and whatever Qt loads later are looked up after this
// call, never in the program's own folder, where a planted DLL may wait (Microsoft:
// "Dynamic-Link Library Security", "SetDefaultDllDirectories").
#include <windows.h>

// The C runtime's own entry point, which the linker would otherwise have chosen: mainCRTStartup
// or WinMainCRTStartup (TXL_CRT_ENTRY).
int TXL_CRT_ENTRY(void);

int TxlSafeStart(void)
{
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        ExitProcess(GetLastError());
    return TXL_CRT_ENTRY();
}
