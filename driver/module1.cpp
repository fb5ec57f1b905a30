#include "module1.h"

#include "../window/panel_services.h"

#include <string>

#if defined(_WIN32)
#include "dll_by_full_path.h"
#include "windows_error_text.h"

#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
// Whether this Windows' loader knows the LOAD_LIBRARY_SEARCH_* flags: a
// Windows 7 without its 2011 loader update lacks them and AddDllDirectory.
bool LoaderHasSearchFlags()
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr;
}

HMODULE LoadWithSearchFlags(const std::wstring& name)
{
    return LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

// Only the application's folder and the system folders, never the working
// folder or PATH, so a planted DLL is not loaded. A loader without the search
// flags, or one that refuses them, gets the same folders by full path.
void* OpenLibrary(std::string& reason)
{
    const std::string name = d2xx::kLibraryName;
    const std::wstring wideName(name.begin(), name.end());  // the name is plain ASCII
    HMODULE module = LoadDllFromSafeFolders(wideName, LoaderHasSearchFlags() ? &LoadWithSearchFlags : nullptr);
    if (module == nullptr) {
        reason = WindowsErrorText(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void* FindFunction(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
// A plain name, so the dynamic loader's search rules apply and the
// working folder is never searched.
void* OpenLibrary(std::string& reason)
{
    void* library = dlopen(d2xx::kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        reason = error != nullptr ? error : "";
    }
    return library;
}

void* FindFunction(void* library, const char* name)
{
    return dlsym(library, name);
}
#endif

// Function addresses travel as void*; this turns one into the typed pointer.
template <typename Function>
Function As(void* address)
{
    return reinterpret_cast<Function>(address);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

}  // namespace

Module1::Module1(PanelServices& services) : m_services(services) {}

void* Module1::Lookup(const char* function)
{
    if (m_library == nullptr) {
        std::string reason;
        m_library = OpenLibrary(reason);
        if (m_library == nullptr) {
            m_services.FatalError({DriverFault::Kind::MissingLibrary, d2xx::kLibraryName, {}, reason});
        }
    }
    void* address = FindFunction(m_library, function);
    if (address == nullptr) {
        m_services.FatalError({DriverFault::Kind::MissingFunction, d2xx::kLibraryName, function, {}});
    }
    return address;
}

template <typename Function>
Function Module1::Bound(Function& slot, const char* name)
{
    if (slot == nullptr) {
        slot = As<Function>(Lookup(name));
    }
    return slot;
}

d2xx::FT_STATUS Module1::FT_Open(int deviceNumber, d2xx::FT_HANDLE* handle)
{
    return Bound(m_open, "FT_Open")(deviceNumber, handle);
}

d2xx::FT_STATUS Module1::FT_SetBaudRate(d2xx::FT_HANDLE handle, std::uint32_t baudRate)
{
    return Bound(m_setBaudRate, "FT_SetBaudRate")(handle, baudRate);
}

d2xx::FT_STATUS Module1::FT_SetBitMode(d2xx::FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return Bound(m_setBitMode, "FT_SetBitMode")(handle, mask, mode);
}

d2xx::FT_STATUS Module1::FT_Write(d2xx::FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                                  std::uint32_t* bytesWritten)
{
    return Bound(m_write, "FT_Write")(handle, buffer, bytesToWrite, bytesWritten);
}

d2xx::FT_STATUS Module1::FT_Close(d2xx::FT_HANDLE handle)
{
    return Bound(m_close, "FT_Close")(handle);
}

d2xx::FT_STATUS Module1::FT_GetBitMode(d2xx::FT_HANDLE handle, std::uint8_t* lines)
{
    return Bound(m_getBitMode, "FT_GetBitMode")(handle, lines);
}

d2xx::FT_STATUS Module1::FT_CreateDeviceInfoList(std::uint32_t* deviceCount)
{
    return Bound(m_createDeviceInfoList, "FT_CreateDeviceInfoList")(deviceCount);
}

d2xx::FT_STATUS Module1::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                                std::uint32_t* id, std::uint32_t* locationId, void* serialNumber,
                                                void* description, d2xx::FT_HANDLE* handle)
{
    return Bound(m_getDeviceInfoDetail, "FT_GetDeviceInfoDetail")(index, flags, type, id, locationId, serialNumber,
                                                                  description, handle);
}

d2xx::FT_STATUS Module1::FT_OpenEx(void* argument, std::uint32_t flags, d2xx::FT_HANDLE* handle)
{
    return Bound(m_openEx, "FT_OpenEx")(argument, flags, handle);
}
