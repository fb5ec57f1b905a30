// Looks at what the panel's Windows Installer package left on this Windows,
// for the install test, one look a run:
//   installer_probe installed VERSION [relayctl]
//       the program folder holds exactly the packaged files, README.txt names
//       VERSION, one Start-menu shortcut starts the program with its icon, and
//       Windows lists one installed Relay Panel, of VERSION
//   installer_probe starts BOARD_DLL
//       with BOARD_DLL copied beside it, the program started from its shortcut
//       shows its window, drives the board through it and ends when closed
//   installer_probe removed
//       neither the folder, nor a shortcut, nor an entry in the list is left
// Built with the package's width, so that Program Files and the registry are
// the ones the package's width sees. Prints what is wrong and exits 1.
#include "window/form1_layout.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

const std::wstring kProduct = L"Relay Panel";
const std::wstring kManufacturer = L"Relay Panel authors";
const std::wstring kShortcutFile = L"Relay Panel.lnk";
const std::wstring kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

int failures = 0;

void Fail(const std::wstring& what)
{
    std::fwprintf(stderr, L"installer_probe: %ls\n", what.c_str());
    ++failures;
}

std::wstring Widen(std::string_view text)
{
    return {text.begin(), text.end()};  // plain ASCII
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return text;
}

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return {};
    }
    return path;
}

std::wstring ProgramFolder()
{
    return KnownFolder(CSIDL_PROGRAM_FILES) + L"\\" + kProduct;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(Lower(name));
        }
    } while (FindNextFileW(search, &found) != FALSE);
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring Joined(const std::vector<std::wstring>& names)
{
    std::wstring all;
    for (const std::wstring& name : names) {
        all += (all.empty() ? L"" : L", ") + name;
    }
    return all.empty() ? L"nothing" : all;
}

// "Relay Panel.lnk" wherever a shortcut could have been put: the Start menu's
// programs and the desktop, for all users and for this one. Windows puts a
// per-machine shortcut into the programs for all users; Wine's installer puts
// it into the user's.
std::vector<std::wstring> Shortcuts()
{
    std::vector<std::wstring> found;
    for (int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY}) {
        const std::wstring path = KnownFolder(csidl) + L"\\" + kShortcutFile;
        if (Exists(path)) {
            found.push_back(path);
        }
    }
    return found;
}

bool InStartMenu(const std::wstring& shortcut)
{
    for (int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        if (Lower(shortcut) == Lower(KnownFolder(csidl) + L"\\" + kShortcutFile)) {
            return true;
        }
    }
    return false;
}

struct Link {
    std::wstring target, workingFolder, icon;
};

bool ReadLink(const std::wstring& path, Link& link)
{
    IShellLinkW* shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shellLink)))) {
        return false;
    }
    IPersistFile* file = nullptr;
    bool read = SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    if (read) {
        wchar_t text[MAX_PATH] = {};
        int index = 0;
        read = SUCCEEDED(shellLink->GetPath(text, MAX_PATH, nullptr, 0));
        link.target = text;
        text[0] = L'\0';
        read = read && SUCCEEDED(shellLink->GetWorkingDirectory(text, MAX_PATH));
        link.workingFolder = text;
        text[0] = L'\0';
        read = read && SUCCEEDED(shellLink->GetIconLocation(text, MAX_PATH, &index));
        link.icon = text;
    }
    if (file != nullptr) {
        file->Release();
    }
    shellLink->Release();
    return read;
}

std::wstring RegistryText(HKEY key, const wchar_t* name)
{
    wchar_t text[512] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
        return {};
    }
    return text;
}

// The versions of the entries named Relay Panel in Windows' list of
// installed programs.
std::vector<std::wstring> ListedVersions()
{
    std::vector<std::wstring> versions;
    HKEY uninstall = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey.c_str(), 0, KEY_READ, &uninstall) != ERROR_SUCCESS) {
        return versions;
    }
    wchar_t name[256] = {};
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(uninstall, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY entry = nullptr;
        if (RegOpenKeyExW(uninstall, name, 0, KEY_READ, &entry) != ERROR_SUCCESS) {
            continue;
        }
        if (RegistryText(entry, L"DisplayName") == kProduct) {
            versions.push_back(RegistryText(entry, L"DisplayVersion"));
            if (RegistryText(entry, L"Publisher") != kManufacturer) {
                Fail(L"the list of installed programs names a publisher other than " + kManufacturer);
            }
        }
        RegCloseKey(entry);
    }
    RegCloseKey(uninstall);
    return versions;
}

// The one Start-menu shortcut, or none after a failure.
std::wstring TheShortcut()
{
    const std::vector<std::wstring> shortcuts = Shortcuts();
    if (shortcuts.size() != 1 || !InStartMenu(shortcuts.front())) {
        Fail(L"expected one shortcut, in the Start menu's programs; found " + Joined(shortcuts));
        return {};
    }
    return shortcuts.front();
}

void CheckInstalled(const std::wstring& version, bool withRelayctl)
{
    const std::wstring folder = ProgramFolder();
    std::vector<std::wstring> expected{L"readme.txt", L"relaypanel.exe"};
    if (withRelayctl) {
        expected.emplace_back(L"relayctl.exe");
    }
    std::sort(expected.begin(), expected.end());
    if (FilesIn(folder) != expected) {
        Fail(folder + L" holds " + Joined(FilesIn(folder)) + L", not " + Joined(expected));
    }

    // The first line names the version: the files are those of this package.
    char head[64] = {};
    if (FILE* readme = _wfopen((folder + L"\\README.txt").c_str(), L"rb"); readme != nullptr) {
        std::fread(head, 1, sizeof(head) - 1, readme);
        std::fclose(readme);
    }
    const std::wstring firstLine = Widen(std::string_view(head).substr(0, std::string_view(head).find('\r')));
    if (firstLine.rfind(L"Relay panel " + version + L" for ", 0) != 0) {
        Fail(L"README.txt begins \"" + firstLine + L"\", not with version " + version);
    }

    if (const std::wstring shortcut = TheShortcut(); !shortcut.empty()) {
        Link link;
        if (!ReadLink(shortcut, link)) {
            Fail(L"cannot read " + shortcut);
        } else {
            if (Lower(link.target) != Lower(folder + L"\\relaypanel.exe")) {
                Fail(L"the shortcut starts " + link.target);
            }
            if (std::wstring working = Lower(link.workingFolder);
                working != Lower(folder) && working != Lower(folder + L"\\")) {
                Fail(L"the shortcut starts in " + link.workingFolder);
            }
            if (!Lower(link.icon).ends_with(L".ico") || !Exists(link.icon)) {
                Fail(L"the shortcut's icon is \"" + link.icon + L"\", not the installed icon file");
            }
        }
    }

    const std::vector<std::wstring> versions = ListedVersions();
    if (versions != std::vector<std::wstring>{version}) {
        Fail(L"the list of installed programs has Relay Panel in the versions: " + Joined(versions) +
             L"; expected one, " + version);
    }
}

struct SoughtWindow {
    DWORD process;
    HWND window;
};

BOOL CALLBACK TakeIfMainWindow(HWND window, LPARAM parameter)
{
    auto* sought = reinterpret_cast<SoughtWindow*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    if (owner == sought->process && IsWindowVisible(window) != FALSE && title == Widen(form1_layout::kCaption)) {
        sought->window = window;
        return FALSE;
    }
    return TRUE;
}

// The program's visible window with Form1's caption, if it has one yet.
HWND MainWindowOf(DWORD process)
{
    SoughtWindow sought{process, nullptr};
    EnumWindows(TakeIfMainWindow, reinterpret_cast<LPARAM>(&sought));
    return sought.window;
}

// Clicks a control and waits until the window has handled the click. A click
// that opens a message box does not come back: the box waits for the user.
bool Click(HWND window, const char* caption)
{
    HWND control = FindWindowExW(window, nullptr, L"Button", Widen(caption).c_str());
    DWORD_PTR result = 0;
    return control != nullptr && SendMessageTimeoutW(control, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &result) != 0;
}

std::string ReadAll(HANDLE pipe)
{
    std::string all;
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) != FALSE && read > 0) {
        all.append(buffer, read);
    }
    return all;
}

void CheckStarts(const std::wstring& boardDll)
{
    const std::wstring shortcut = TheShortcut();
    Link link;
    if (shortcut.empty() || !ReadLink(shortcut, link)) {
        Fail(L"no shortcut to start the program from");
        return;
    }
    const std::wstring board = ProgramFolder() + L"\\FTD2XX.DLL";
    if (CopyFileW(boardDll.c_str(), board.c_str(), TRUE) == FALSE) {
        Fail(L"cannot copy " + boardDll + L" to " + board);
        return;
    }

    // The board's lines on its stderr come back through a pipe.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inheritable, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION started{};
    std::wstring commandLine = L"\"" + link.target + L"\"";
    if (CreateProcessW(link.target.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       link.workingFolder.c_str(), &startup, &started) == FALSE) {
        Fail(L"cannot start " + link.target);
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        DeleteFileW(board.c_str());
        return;
    }
    CloseHandle(writeEnd);

    HWND window = nullptr;
    for (int waited = 0; window == nullptr && waited < 30000; waited += 100) {
        if (WaitForSingleObject(started.hProcess, 100) == WAIT_OBJECT_0) {
            break;
        }
        window = MainWindowOf(started.dwProcessId);
    }
    DWORD exitCode = 1;
    if (window == nullptr) {
        Fail(L"the program showed no window titled \"" + Widen(form1_layout::kCaption) + L"\"");
    } else if (!Click(window, form1_layout::kCommand1.caption) ||
               !Click(window, form1_layout::kRelayBoxes.front().caption) ||
               !Click(window, form1_layout::kAusgabe.caption)) {
        Fail(L"the window did not take the clicks of a typical use: a message box is open");
    } else {
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(started.hProcess, 10000) != WAIT_OBJECT_0) {
            Fail(L"the program did not end when its window was closed");
        }
        GetExitCodeProcess(started.hProcess, &exitCode);
        if (exitCode != 0) {
            Fail(L"the program ended with status " + std::to_wstring(exitCode));
        }
    }
    if (WaitForSingleObject(started.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, 10000);
    }
    const std::string output = ReadAll(readEnd);
    std::fprintf(stderr, "%s", output.c_str());
    if (window != nullptr && output.find("virtual relay board: 0x01") == std::string::npos) {
        Fail(L"relay 1 sent, but the board beside the program saw no 0x01");
    }
    CloseHandle(readEnd);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    if (DeleteFileW(board.c_str()) == FALSE) {
        Fail(L"cannot remove " + board);
    }
}

void CheckRemoved()
{
    if (Exists(ProgramFolder())) {
        Fail(ProgramFolder() + L" is left, holding " + Joined(FilesIn(ProgramFolder())));
    }
    if (const std::vector<std::wstring> shortcuts = Shortcuts(); !shortcuts.empty()) {
        Fail(L"shortcuts are left: " + Joined(shortcuts));
    }
    if (const std::vector<std::wstring> versions = ListedVersions(); !versions.empty()) {
        Fail(L"the list of installed programs still has Relay Panel " + Joined(versions));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        Fail(L"cannot initialise COM");
        return 1;
    }
    if (args.size() >= 2 && args.size() <= 3 && args[0] == L"installed") {
        CheckInstalled(args[1], args.size() == 3 && args[2] == L"relayctl");
    } else if (args.size() == 2 && args[0] == L"starts") {
        CheckStarts(args[1]);
    } else if (args.size() == 1 && args[0] == L"removed") {
        CheckRemoved();
    } else {
        std::fwprintf(stderr, L"usage: installer_probe installed VERSION [relayctl] | starts BOARD_DLL | removed\n");
        return 2;
    }
    CoUninitialize();
    return failures == 0 ? 0 : 1;
}
