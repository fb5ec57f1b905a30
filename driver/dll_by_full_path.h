// Loading a DLL by full path from the program's own folder, then the system
// folder: the search LOAD_LIBRARY_SEARCH_DEFAULT_DIRS gives, for a Windows 7
// whose loader lacks those flags or refuses them, so that even there no DLL
// planted in the working folder or on PATH is taken.
#pragma once

#include <windows.h>

#include <string>

// Returns the loaded module, or nullptr with GetLastError() telling why:
// ERROR_MOD_NOT_FOUND when the DLL is in neither folder. A DLL found in the
// program's folder that fails to load ends the search, as with the flags.
HMODULE LoadDllFromProgramOrSystemFolder(const std::wstring& name);

// A load of the named DLL with the loader's safe search flags.
using SearchFlagsLoad = HMODULE (*)(const std::wstring& name);

// The DLL from the program's own folder or the system folders: through
// searchFlagsLoad where the loader has the flags, by full path where it lacks
// them (searchFlagsLoad is null) or refuses them (ERROR_INVALID_PARAMETER).
HMODULE LoadDllFromSafeFolders(const std::wstring& name, SearchFlagsLoad searchFlagsLoad);
