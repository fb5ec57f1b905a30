// The driver library as the binding tests see it, in each platform's own
// terms: whether this process has it loaded, and whether the system's search
// or a given file yields one.
#pragma once

#include "driver/d2xx.h"

#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// Whether the driver library is loaded in this process; never loads it.
inline bool DriverLoaded()
{
#if defined(_WIN32)
    return GetModuleHandleA(d2xx::kLibraryName) != nullptr;
#else
    void* library = dlopen(d2xx::kLibraryName, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        dlclose(library);
    }
    return library != nullptr;
#endif
}

// Loads the driver library by its plain name through the same search the
// binding uses; false when that search finds none.
inline bool DriverFoundBySearch()
{
#if defined(_WIN32)
    return LoadLibraryExA(d2xx::kLibraryName, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != nullptr;
#else
    return dlopen(d2xx::kLibraryName, RTLD_NOW | RTLD_LOCAL) != nullptr;
#endif
}

// Loads the library in this very file; false when it is no loadable library.
inline bool LibraryLoadsFrom(const std::filesystem::path& file)
{
#if defined(_WIN32)
    return LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
#else
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr;
#endif
}
