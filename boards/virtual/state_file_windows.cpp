// The boards' files on Windows: the hold is the file opened without sharing,
// so no other process can open it until the handle is closed, which Windows
// does when the process ends, however it ends.
#include "state_file.h"

#include "../../driver/windows_error_text.h"

#include <windows.h>

#include <utility>

namespace vboard {

namespace {

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::string PathText(const std::filesystem::path& path)
{
    return Utf8(path.wstring());
}

// The process's environment block itself, not the C runtime's copy of it,
// so that a change made with SetEnvironmentVariable is seen.
std::optional<std::wstring> WideEnvironment(const wchar_t* name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return std::wstring{};
    }
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

HANDLE OpenShared(const std::filesystem::path& file)
{
    return CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::optional<std::uint8_t> ReadFrom(HANDLE handle, const std::filesystem::path& file, std::string& reason)
{
    std::array<char, 8> text{};
    DWORD got = 0;
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        ReadFile(handle, text.data(), static_cast<DWORD>(text.size()), &got, nullptr) == FALSE) {
        reason = "cannot read " + PathText(file) + ": " + WindowsErrorText(GetLastError());
        return std::nullopt;
    }
    const auto lines = ParseLines(std::string_view(text.data(), got));
    if (!lines.has_value()) {
        reason = PathText(file) + " does not hold a board's lines (two hexadecimal digits); delete it to start the "
                                  "board afresh";
    }
    return lines;
}

}  // namespace

std::optional<std::string> Environment(const char* name)
{
    const std::string_view narrow(name);
    const std::wstring wide(narrow.begin(), narrow.end());  // the names are plain ASCII
    const auto value = WideEnvironment(wide.c_str());
    if (!value.has_value()) {
        return std::nullopt;
    }
    return Utf8(*value);
}

std::filesystem::path StateFolder(std::string& reason)
{
    std::filesystem::path folder;
    if (const auto named = WideEnvironment(L"VBOARD_DIR"); named.has_value() && !named->empty()) {
        folder = *named;
    } else {
        // The user's own folder for temporary files.
        std::array<wchar_t, MAX_PATH + 1> temporary{};
        const DWORD length = GetTempPathW(static_cast<DWORD>(temporary.size()), temporary.data());
        if (length == 0 || length >= temporary.size()) {
            reason = "cannot find the folder for temporary files: " + WindowsErrorText(GetLastError());
            return {};
        }
        folder = std::filesystem::path(std::wstring(temporary.data(), length)) / L"relaypanel-virtual-board";
    }
    if (CreateDirectoryW(folder.c_str(), nullptr) == FALSE) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            reason =
                "cannot make the folder " + PathText(folder) + " for the boards' state: " + WindowsErrorText(error);
            return {};
        }
    }
    return folder;
}

StateFile::StateFile(StateFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_file(std::move(other.m_file))
{
}

StateFile& StateFile::operator=(StateFile&& other) noexcept
{
    if (this != &other) {
        Release();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_file = std::move(other.m_file);
    }
    return *this;
}

StateFile::Outcome StateFile::Hold(const std::filesystem::path& file, std::string& reason)
{
    Release();
    // No sharing: while this handle is open, every other open fails.
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return Outcome::Busy;
        }
        reason = "cannot open " + PathText(file) + ": " + WindowsErrorText(error);
        return Outcome::Failed;
    }
    m_handle = handle;
    m_file = file;
    return Outcome::Held;
}

bool StateFile::IsHeld() const
{
    return m_handle != nullptr;
}

void StateFile::Release()
{
    if (m_handle != nullptr) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

std::optional<std::uint8_t> StateFile::Read(std::string& reason) const
{
    return ReadFrom(m_handle, m_file, reason);
}

bool StateFile::Write(std::uint8_t lines, std::string& reason)
{
    const auto text = FormatLines(lines);
    DWORD put = 0;
    if (SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        WriteFile(m_handle, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) == FALSE ||
        put != text.size() || SetEndOfFile(m_handle) == FALSE) {
        reason = "cannot write " + PathText(m_file) + ": " + WindowsErrorText(GetLastError());
        return false;
    }
    return true;
}

bool StateFile::HeldElsewhere(const std::filesystem::path& file)
{
    HANDLE handle = OpenShared(file);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(handle);
    return false;
}

std::optional<std::uint8_t> StateFile::Peek(const std::filesystem::path& file)
{
    HANDLE handle = OpenShared(file);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string reason;
    const auto lines = ReadFrom(handle, file, reason);
    CloseHandle(handle);
    return lines;
}

}  // namespace vboard
