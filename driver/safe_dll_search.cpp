#include "safe_dll_search.h"

#include <windows.h>

void TakeWorkingFolderOutOfDllSearch()
{
    // An empty DLL folder takes the working folder out of the search order.
    SetDllDirectoryW(L"");
    // A Windows 7 without its 2011 loader update lacks this function.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    void* address =
        kernel32 != nullptr ? reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")) : nullptr;
    if (address != nullptr) {
        using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(address)(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
}
