// relayctl's pulse on Windows, ended from the console: Ctrl+C (or Ctrl+Break,
// or the console closing) while the relay is pulled in must put the relay
// back before the program ends, and the program must then end as one ended
// by Ctrl+C does.
//   relayctl_console_event_test RELAYCTL.EXE
// RELAYCTL.EXE sits beside the virtual board's DLL; VBOARD_DIR names the
// board's folder.
//
// The event goes to this test's own console, where only the test and the
// pulse it starts are attached; the test itself lets Ctrl+C pass. Sending
// Ctrl+Break to a pulse in a process group of its own would spare the test,
// but Wine 8 refuses Ctrl+Break (GenerateConsoleCtrlEvent fails), and a new
// group ignores Ctrl+C.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

namespace {

std::wstring g_relayctl;

// The test's own answer to Ctrl+C: it goes on.
BOOL WINAPI OnConsoleEvent(DWORD /*event*/)
{
    return TRUE;
}

// A child process, ended and let go of when it goes out of scope, so that a
// failed check does not leave a pulse holding the board.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&&) = delete;
    Child& operator=(Child&&) = delete;
    ~Child()
    {
        if (m_info.hProcess != nullptr) {
            if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(m_info.hProcess, 1);
            }
            CloseHandle(m_info.hProcess);
            CloseHandle(m_info.hThread);
        }
        for (HANDLE handle : {m_readOut, m_readErr}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }

    // Starts relayctl with these arguments, its stdout and stderr into pipes;
    // false (with the reason in the test's failures) when it could not start.
    bool Start(const std::wstring& arguments, DWORD flags)
    {
        SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE writeOut = nullptr;
        HANDLE writeErr = nullptr;
        if (!CreatePipe(&m_readOut, &writeOut, &inherited, 0) || !CreatePipe(&m_readErr, &writeErr, &inherited, 0)) {
            ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
            return false;
        }
        SetHandleInformation(m_readOut, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_readErr, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeOut;
        startup.hStdError = writeErr;
        std::wstring commandLine = L"\"" + g_relayctl + L"\" " + arguments;
        const BOOL started = CreateProcessW(g_relayctl.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                                            nullptr, nullptr, &startup, &m_info);
        const DWORD error = GetLastError();
        CloseHandle(writeOut);
        CloseHandle(writeErr);
        if (!started) {
            ADD_FAILURE() << "relayctl did not start: CreateProcessW failed: " << error;
            m_info = {};
            return false;
        }
        return true;
    }

    DWORD ProcessId() const { return m_info.dwProcessId; }

    // Reads what the pipes hold now, without waiting.
    void Drain()
    {
        DrainPipe(m_readOut, m_out);
        DrainPipe(m_readErr, m_err);
    }

    // Waits until stderr holds the text; false when it did not come in time.
    bool AwaitOnStderr(const std::string& text, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            Drain();
            if (m_err.find(text) != std::string::npos) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // The exit status, or none when the process was still running after the timeout.
    std::optional<DWORD> AwaitExit(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (WaitForSingleObject(m_info.hProcess, 20) == WAIT_TIMEOUT) {
            Drain();  // a full pipe would hold the child up
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
        }
        Drain();
        DWORD status = 0;
        GetExitCodeProcess(m_info.hProcess, &status);
        return status;
    }

    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    static void DrainPipe(HANDLE pipe, std::string& into)
    {
        DWORD available = 0;
        while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (!ReadFile(pipe, chunk.data(), available, &read, nullptr)) {
                return;
            }
            into.append(chunk, 0, read);
        }
    }

    PROCESS_INFORMATION m_info{};
    HANDLE m_readOut = nullptr;
    HANDLE m_readErr = nullptr;
    std::string m_out;
    std::string m_err;
};

constexpr auto kTimeout = std::chrono::seconds(20);

// Runs relayctl with these arguments to its end; its stdout without carriage returns.
std::string RunToEnd(const std::wstring& arguments)
{
    Child child;
    if (!child.Start(arguments, 0)) {
        return {};
    }
    const std::optional<DWORD> status = child.AwaitExit(kTimeout);
    EXPECT_EQ(status, std::optional<DWORD>(0)) << "relayctl's stderr: " << child.Err();
    std::string out;
    for (const char c : child.Out()) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

// Ctrl+C during the wait: relay 1 is off again, the pulse ends at once (not
// after its 30 s) with the status of a program ended by Ctrl+C.
TEST(RelayctlConsoleEvent, CtrlCDuringAPulsePutsTheRelayBackAndEndsAsCtrlC)
{
    ASSERT_EQ(RunToEnd(L"off"), "all relays off\n");

    Child pulse;
    ASSERT_TRUE(pulse.Start(L"pulse 1 30s", 0));
    ASSERT_TRUE(pulse.AwaitOnStderr("0x01", kTimeout)) << "relay 1 was not switched on: " << pulse.Err();

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << "GenerateConsoleCtrlEvent failed: " << GetLastError();
    const std::optional<DWORD> status = pulse.AwaitExit(kTimeout);
    ASSERT_TRUE(status.has_value()) << "the pulse did not end after Ctrl+C: " << pulse.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10)) << "the pulse ran out its wait";
    EXPECT_EQ(*status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << "stderr: " << pulse.Err();
    EXPECT_NE(pulse.Err().find("interrupted; relay 1 is off again"), std::string::npos) << pulse.Err();

    EXPECT_EQ(RunToEnd(L"get 1"), "off\n") << "the pulse's stderr: " << pulse.Err();
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: relayctl_console_event_test RELAYCTL.EXE\n");
        return 2;
    }
    // CreateProcessW takes a Windows path: drive letter and backslashes.
    const int length = MultiByteToWideChar(CP_ACP, 0, argv[1], -1, nullptr, 0);
    g_relayctl.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, g_relayctl.data(), length);
    g_relayctl.pop_back();  // the terminating null
    for (wchar_t& c : g_relayctl) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    // A console of its own, so that Ctrl+C reaches no process but the test's.
    // Wine gives a program started without a terminal a stand-in console that
    // sends no events. The C runtime's streams keep the handles they started
    // with, so the test's output still goes where ctest reads it.
    FreeConsole();
    if (!AllocConsole()) {
        std::fprintf(stderr, "relayctl_console_event_test: AllocConsole failed: %lu\n", GetLastError());
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    return RUN_ALL_TESTS();
}
