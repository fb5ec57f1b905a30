#include "dll_by_full_path.h"

namespace {

// Windows' longest path, in characters, with the \\?\ prefix.
constexpr DWORD kLongestPath = 32768;

// The folder of the program file, with a trailing backslash; empty when
// Windows does not tell it in full. A cut-off path would name another folder.
std::wstring ProgramFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= kLongestPath) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring{} : path.substr(0, slash + 1);
}

// The system folder with a trailing backslash; empty when Windows cannot tell it.
std::wstring SystemFolder()
{
    const UINT size = GetSystemDirectoryW(nullptr, 0);  // counts the terminating null
    if (size == 0) {
        return {};
    }
    std::wstring folder(size, L'\0');
    const UINT length = GetSystemDirectoryW(folder.data(), size);
    if (length == 0 || length >= size) {
        return {};
    }
    folder.resize(length);
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

// With a full path, LOAD_WITH_ALTERED_SEARCH_PATH looks the DLL's own
// dependencies up beside it first, not in the program's or working folder.
HMODULE LoadFrom(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::wstring path = folder + name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool NotThere(DWORD error)
{
    return error == ERROR_MOD_NOT_FOUND || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

HMODULE LoadDllFromProgramOrSystemFolder(const std::wstring& name)
{
    HMODULE module = LoadFrom(ProgramFolder(), name);
    if (module == nullptr && NotThere(GetLastError())) {
        module = LoadFrom(SystemFolder(), name);
    }
    if (module == nullptr && NotThere(GetLastError())) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    }
    return module;
}

HMODULE LoadDllFromSafeFolders(const std::wstring& name, SearchFlagsLoad searchFlagsLoad)
{
    if (searchFlagsLoad == nullptr) {
        return LoadDllFromProgramOrSystemFolder(name);
    }
    HMODULE module = searchFlagsLoad(name);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = LoadDllFromProgramOrSystemFolder(name);
    }
    return module;
}
