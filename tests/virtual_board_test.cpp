// The virtual board as programs meet it through the driver functions and the
// real binding: the boards it poses as, listed and opened by serial number,
// one board shared between processes, its lines kept from one to the next in
// a file no one else could have planted, and the controls tests have of it
// (a failing write, a board listed without its serial, unplugging).
#include "recording_services.h"
#include "state_file.h"
#include "virtual_board_control.h"

#include "driver/module1.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Sets an environment variable of this process, or unsets it for nullptr;
// the board reads the environment as it stands at its calls.
void SetEnvironment(const char* name, const char* value)
{
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

// Sets VBOARD_SERIALS for this process and has the board read it again.
void PoseAs(const char* serials)
{
    SetEnvironment("VBOARD_SERIALS", serials);
    vboard_reset();
}

// The folder of this test's boards, as ctest names it in VBOARD_DIR.
std::filesystem::path BoardFolder()
{
    const char* folder = std::getenv("VBOARD_DIR");
    return folder != nullptr ? std::filesystem::path(folder) : std::filesystem::path{};
}

void PutFile(const std::filesystem::path& file, std::string_view text)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string FileText(const std::filesystem::path& file)
{
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

// The role this program takes when a test starts it again as another
// program on the board: it opens the board with this serial number, sets its
// lines to the byte (in hexadecimal), closes the board or keeps it, says 'y'
// (all done) or 'n' on stdout and ends when its standard input ends, without
// closing a board it kept: its end lets go of the board.
constexpr std::string_view kHoldRole = "--hold-board";

[[noreturn]] void HoldBoard(std::string serial, const char* linesText, std::string_view ending)
{
    RecordingServices services;
    Module1 driver{services};
    d2xx::FT_HANDLE handle = nullptr;
    auto lines = static_cast<std::uint8_t>(std::strtoul(linesText, nullptr, 16));
    std::uint32_t written = 0;
    bool done = driver.FT_OpenEx(serial.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) == d2xx::FT_OK &&
                driver.FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG) == d2xx::FT_OK &&
                driver.FT_Write(handle, &lines, 1, &written) == d2xx::FT_OK;
    if (done && ending == "close") {
        done = driver.FT_Close(handle) == d2xx::FT_OK;
    }
    std::fputc(done ? 'y' : 'n', stdout);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::_Exit(done ? 0 : 1);  // no clean-up on the way out, as when a program is killed
}

// Another program on the board: this test program started again in the role
// above. It has done its part when the constructor returns, and ends when
// End() or the destructor tells it to.
class OtherProgram {
public:
    enum class Ending { KeepBoard, CloseBoard };

    OtherProgram(const std::string& serial, std::uint8_t lines, Ending ending);
    ~OtherProgram() { End(); }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    OtherProgram(OtherProgram&&) = delete;
    OtherProgram& operator=(OtherProgram&&) = delete;

    // Whether it opened the board and set its lines (and closed it, if asked).
    bool Done() const { return m_report == 'y'; }
    // Ends it and waits for its end; true when it ended with status 0.
    bool End();

private:
    char m_report = 0;
#if defined(_WIN32)
    HANDLE m_process = nullptr;
    HANDLE m_input = nullptr;  // the writing end of its standard input
#else
    pid_t m_child = -1;
    int m_input = -1;  // the writing end of its standard input
#endif
};

std::string Arguments(const std::string& serial, std::uint8_t lines, OtherProgram::Ending ending)
{
    std::array<char, 4> hex{};
    std::snprintf(hex.data(), hex.size(), "%02X", lines);
    return serial + " " + hex.data() + (ending == OtherProgram::Ending::CloseBoard ? " close" : " keep");
}

#if defined(_WIN32)
OtherProgram::OtherProgram(const std::string& serial, std::uint8_t lines, Ending ending)
{
    std::array<wchar_t, MAX_PATH + 1> self{};
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE output = nullptr;
    if (length == 0 || length >= self.size() || CreatePipe(&childInput, &m_input, &inherited, 0) == FALSE ||
        CreatePipe(&output, &childOutput, &inherited, 0) == FALSE) {
        ADD_FAILURE() << "cannot prepare another program: error " << GetLastError();
        return;
    }
    SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const std::string arguments = std::string(kHoldRole) + " " + Arguments(serial, lines, ending);
    std::wstring command = L"\"" + std::wstring(self.data(), length) + L"\" " +
                           std::wstring(arguments.begin(), arguments.end());  // plain ASCII
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(self.data(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (started == FALSE) {
        CloseHandle(output);
        ADD_FAILURE() << "cannot start another program: error " << error;
        return;
    }
    CloseHandle(process.hThread);
    m_process = process.hProcess;
    DWORD got = 0;
    if (ReadFile(output, &m_report, 1, &got, nullptr) == FALSE || got != 1) {
        m_report = 0;
    }
    CloseHandle(output);
}

bool OtherProgram::End()
{
    if (m_input != nullptr) {
        CloseHandle(m_input);
        m_input = nullptr;
    }
    if (m_process == nullptr) {
        return false;
    }
    DWORD status = 1;
    const bool ended =
        WaitForSingleObject(m_process, 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(m_process, &status) != FALSE;
    CloseHandle(m_process);
    m_process = nullptr;
    return ended && status == 0;
}
#else
OtherProgram::OtherProgram(const std::string& serial, std::uint8_t lines, Ending ending)
{
    std::array<char, 4096> self{};
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    std::array<int, 2> toChild{-1, -1};
    std::array<int, 2> fromChild{-1, -1};
    if (length <= 0 || pipe2(toChild.data(), O_CLOEXEC) != 0 || pipe2(fromChild.data(), O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot prepare another program";
        return;
    }
    // Made before the fork: the child only duplicates descriptors and runs it.
    std::string role(kHoldRole);
    std::istringstream words(Arguments(serial, lines, ending));
    std::vector<std::string> arguments{self.data(), role};
    for (std::string word; words >> word;) {
        arguments.push_back(word);
    }
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    m_child = fork();
    if (m_child == 0) {
        if (dup2(toChild[0], 0) == 0 && dup2(fromChild[1], 1) == 1) {
            execv(self.data(), argv.data());
        }
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    m_input = toChild[1];
    if (m_child < 0) {
        ADD_FAILURE() << "cannot start another program";
    } else if (read(fromChild[0], &m_report, 1) != 1) {
        m_report = 0;
    }
    close(fromChild[0]);
}

bool OtherProgram::End()
{
    if (m_input >= 0) {
        close(m_input);
        m_input = -1;
    }
    if (m_child <= 0) {
        return false;
    }
    int status = -1;
    const bool ended = waitpid(m_child, &status, 0) == m_child;
    m_child = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

struct Entry {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::string serial;
    std::string description;
    d2xx::FT_HANDLE handle = nullptr;
};

class BoardDriver : public ::testing::Test {
protected:
    // Each test leaves the board as it found it: controls off, all plugged in.
    void TearDown() override
    {
        SetEnvironment("VBOARD_FAIL_WRITE", nullptr);
        SetEnvironment("VBOARD_LIST_HELD_WITHOUT_SERIAL", nullptr);
        std::error_code ignored;
        std::filesystem::remove(BoardFolder() / "unplugged", ignored);
        PoseAs(nullptr);
    }

    // The device list as the driver builds it now.
    std::vector<Entry> List()
    {
        std::uint32_t count = 0;
        EXPECT_EQ(driver.FT_CreateDeviceInfoList(&count), d2xx::FT_OK);
        std::vector<Entry> entries(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            Entry& entry = entries[i];
            std::uint32_t location = 0;
            std::array<char, d2xx::kSerialNumberSize> serial{};
            std::array<char, d2xx::kDescriptionSize> description{};
            EXPECT_EQ(driver.FT_GetDeviceInfoDetail(i, &entry.flags, &entry.type, &entry.id, &location, serial.data(),
                                                    description.data(), &entry.handle),
                      d2xx::FT_OK);
            entry.serial = serial.data();
            entry.description = description.data();
        }
        return entries;
    }

    // Opens the board with this serial number in bit-bang mode on all eight lines.
    d2xx::FT_HANDLE OpenForRelays(std::string serial)
    {
        d2xx::FT_HANDLE handle = nullptr;
        EXPECT_EQ(driver.FT_OpenEx(serial.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_OK) << serial;
        EXPECT_EQ(driver.FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_OK);
        return handle;
    }

    std::uint8_t Lines(d2xx::FT_HANDLE handle)
    {
        std::uint8_t lines = 0xAA;
        EXPECT_EQ(driver.FT_GetBitMode(handle, &lines), d2xx::FT_OK);
        return lines;
    }

    void Write(d2xx::FT_HANDLE handle, std::uint8_t byte)
    {
        std::uint32_t written = 0;
        EXPECT_EQ(driver.FT_Write(handle, &byte, 1, &written), d2xx::FT_OK);
        EXPECT_EQ(written, 1U);
    }

    RecordingServices services;
    Module1 driver{services};
};

TEST_F(BoardDriver, PosesAsTheBoardsOfTheEnvironmentListedAndOpenedBySerial)
{
    ::testing::internal::CaptureStderr();
    PoseAs("A1,,0123456789ABCDEF,B2,A1,x\"y\\z/..");
    const std::string said = ::testing::internal::GetCapturedStderr();
    for (const char* refusal :
         {"an empty serial number", "\"0123456789ABCDEF\" is longer than 15 bytes", "\"A1\" is given twice"}) {
        EXPECT_NE(said.find(refusal), std::string::npos) << refusal << " in: " << said;
    }

    std::vector<Entry> list = List();
    ASSERT_EQ(list.size(), 3U);
    EXPECT_EQ(list[0].serial, "A1");
    EXPECT_EQ(list[1].serial, "B2");
    EXPECT_EQ(list[2].serial, "x\"y\\z/..");
    for (const Entry& entry : list) {
        EXPECT_EQ(entry.flags, 0U);
        EXPECT_EQ(entry.type, d2xx::FT_DEVICE_232R);
        EXPECT_EQ(entry.id, d2xx::kFT232RId);
        EXPECT_EQ(entry.description, "Virtual relay board");
        EXPECT_EQ(entry.handle, nullptr);
    }

    // By serial number, and by index in the list's order: entry 1 is device 1.
    const d2xx::FT_HANDLE b2 = OpenForRelays("B2");
    d2xx::FT_HANDLE again = nullptr;
    EXPECT_EQ(driver.FT_Open(1, &again), d2xx::FT_DEVICE_NOT_OPENED) << "device 1 is B2, open already";
    d2xx::FT_HANDLE a1 = nullptr;
    ASSERT_EQ(driver.FT_Open(0, &a1), d2xx::FT_OK);
    for (std::string unknown : {"B", "B2 ", "C3", "0123456789ABCDEF"}) {
        EXPECT_EQ(driver.FT_OpenEx(unknown.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &again), d2xx::FT_DEVICE_NOT_FOUND)
            << unknown;
    }

    // Each board has lines of its own, kept in a file of its own even where
    // the serial number holds quotes, backslashes and slashes.
    Write(b2, 0x05);
    d2xx::FT_HANDLE odd = OpenForRelays("x\"y\\z/..");
    Write(odd, 0x81);
    ASSERT_EQ(driver.FT_Close(odd), d2xx::FT_OK);
    odd = OpenForRelays("x\"y\\z/..");
    EXPECT_EQ(Lines(odd), 0x81);
    EXPECT_EQ(Lines(b2), 0x05);
    EXPECT_EQ(Lines(a1), 0x00);

    list = List();
    ASSERT_EQ(list.size(), 3U);
    EXPECT_EQ(list[0].flags, d2xx::FT_FLAGS_OPENED);
    EXPECT_EQ(list[0].handle, a1);
    EXPECT_EQ(list[1].handle, b2);
    ASSERT_EQ(driver.FT_Close(b2), d2xx::FT_OK);
    // The details answer from the list as it was built, not as it is now.
    std::uint32_t flags = 0;
    std::uint32_t none = 0;
    d2xx::FT_HANDLE handle = nullptr;
    std::array<char, d2xx::kSerialNumberSize> serial{};
    std::array<char, d2xx::kDescriptionSize> description{};
    EXPECT_EQ(driver.FT_GetDeviceInfoDetail(1, &flags, &none, &none, &none, serial.data(), description.data(), &handle),
              d2xx::FT_OK);
    EXPECT_EQ(handle, b2);
    EXPECT_EQ(driver.FT_GetDeviceInfoDetail(3, &flags, &none, &none, &none, serial.data(), description.data(), &handle),
              d2xx::FT_DEVICE_NOT_FOUND);

    // Null pointers are refused, never written through.
    EXPECT_EQ(driver.FT_CreateDeviceInfoList(nullptr), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_GetDeviceInfoDetail(0, &flags, &none, &none, &none, nullptr, description.data(), &handle),
              d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_GetBitMode(a1, nullptr), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_OpenEx(nullptr, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_INVALID_PARAMETER);
    std::uint8_t lines = 0;
    EXPECT_EQ(driver.FT_GetBitMode(b2, &lines), d2xx::FT_INVALID_HANDLE) << "closed";
}

// FT_DEVICE_UNKNOWN, the type the chip maker's library lists for a device it
// cannot ask.
constexpr std::uint32_t kDeviceUnknown = 3;

// Another program holds the board and sets its lines. While it runs, this one
// cannot open the board, says so once however often it tries, and sees the
// board open in the device list (with VBOARD_LIST_HELD_WITHOUT_SERIAL=1 as
// the chip maker's library lists it: unnamed, of unknown type). Once it has
// ended, without closing, the board is free and keeps the lines it set; the
// next program to hold it is reported again.
TEST_F(BoardDriver, OneProcessHoldsTheBoardAndItsLinesOutlastIt)
{
    d2xx::FT_HANDLE handle = nullptr;
    {
        OtherProgram holder("VBOARD01", 0x05, OtherProgram::Ending::KeepBoard);
        ASSERT_TRUE(holder.Done()) << "the other program could not open the board and write to it";

        ::testing::internal::CaptureStderr();
        EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, "virtual relay board: board VBOARD01 is in use by another program\n") << "once, not per try";
        std::vector<Entry> list = List();
        ASSERT_EQ(list.size(), 1U);
        EXPECT_EQ(list[0].flags, d2xx::FT_FLAGS_OPENED);
        EXPECT_EQ(list[0].serial, "VBOARD01");
        EXPECT_EQ(list[0].handle, nullptr) << "not this process's";

        SetEnvironment("VBOARD_LIST_HELD_WITHOUT_SERIAL", "1");
        list = List();
        ASSERT_EQ(list.size(), 1U);
        EXPECT_EQ(list[0].flags, d2xx::FT_FLAGS_OPENED);
        EXPECT_EQ(list[0].type, kDeviceUnknown);
        EXPECT_EQ(list[0].serial, "");
        EXPECT_EQ(list[0].description, "");
        EXPECT_TRUE(holder.End());
    }

    ASSERT_EQ(driver.FT_Open(0, &handle), d2xx::FT_OK);
    EXPECT_EQ(Lines(handle), 0x05);
    const std::vector<Entry> list = List();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].handle, handle);
    EXPECT_EQ(list[0].serial, "VBOARD01") << "held by this process: named";
    EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);

    OtherProgram next("VBOARD01", 0x06, OtherProgram::Ending::KeepBoard);
    ASSERT_TRUE(next.Done());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "virtual relay board: board VBOARD01 is in use by another program\n")
        << "said again after an open in between";
    EXPECT_TRUE(next.End());
}

// A program that closes the board lets go of it then, not when it ends.
TEST_F(BoardDriver, ABoardClosedIsFreeForAnotherProgramAtOnce)
{
    OtherProgram closer("VBOARD01", 0x09, OtherProgram::Ending::CloseBoard);
    ASSERT_TRUE(closer.Done());
    d2xx::FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver.FT_Open(0, &handle), d2xx::FT_OK) << "closed by the other program, still held";
    EXPECT_EQ(Lines(handle), 0x09);
    EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);
    EXPECT_TRUE(closer.End());
}

// The board's file: hexadecimal digits of either case read alike; a file
// that holds something else is refused at open, with the reason, and left
// as it is.
TEST_F(BoardDriver, StateFileReadInEitherCaseAndRefusedWhenItHoldsSomethingElse)
{
    const std::filesystem::path file = vboard::StateFileOf(BoardFolder(), "VBOARD01");
    d2xx::FT_HANDLE handle = nullptr;
    for (const char* text : {"a5\n", "A5\r\n", "a5"}) {
        PutFile(file, text);
        ASSERT_EQ(driver.FT_Open(0, &handle), d2xx::FT_OK) << text;
        EXPECT_EQ(Lines(handle), 0xA5) << text;
        EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);
    }
    PutFile(file, "5g\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_IO_ERROR);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("does not hold a board's lines"), std::string::npos) << said;
    EXPECT_EQ(FileText(file), "5g\n");
}

// VBOARD_FAIL_WRITE=N: the N-th FT_Write of the process fails and changes
// nothing; the writes before and after it work. Anything but a count of one
// or more is refused, with a line on stderr.
TEST_F(BoardDriver, TheNthWriteFailsAndChangesNothing)
{
    SetEnvironment("VBOARD_FAIL_WRITE", "2");
    vboard_reset();
    const d2xx::FT_HANDLE handle = OpenForRelays("VBOARD01");
    Write(handle, 0x01);
    std::uint8_t lines = 0x02;
    std::uint32_t written = 7;
    EXPECT_EQ(driver.FT_Write(handle, &lines, 1, &written), d2xx::FT_IO_ERROR);
    EXPECT_EQ(written, 0U);
    EXPECT_EQ(Lines(handle), 0x01);
    Write(handle, 0x03);
    EXPECT_EQ(Lines(handle), 0x03);
    EXPECT_EQ(vboard_written_count(), 2U);
    EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);

    for (const std::string wrong : {"0", "-1", "2x"}) {
        SetEnvironment("VBOARD_FAIL_WRITE", wrong.c_str());
        ::testing::internal::CaptureStderr();
        vboard_reset();
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("VBOARD_FAIL_WRITE is not a count of 1 or more: " + wrong), std::string::npos) << said;
    }
}

// A board named in the file "unplugged" is gone: not listed, not counted, not
// opened, and a handle on it is dead, also once the board is back. Plugged
// back in, it has the lines it had.
TEST_F(BoardDriver, AnUnpluggedBoardIsGoneUntilPluggedBackIn)
{
    PoseAs("A1,B2");
    const std::filesystem::path unplugged = BoardFolder() / "unplugged";
    const d2xx::FT_HANDLE a1 = OpenForRelays("A1");
    Write(a1, 0x05);
    PutFile(unplugged, "C3\nA1\n");

    std::vector<Entry> list = List();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].serial, "B2");
    d2xx::FT_HANDLE handle = nullptr;
    std::string serial = "A1";
    EXPECT_EQ(driver.FT_OpenEx(serial.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.FT_Open(1, &handle), d2xx::FT_DEVICE_NOT_FOUND) << "one board left";
    ASSERT_EQ(driver.FT_Open(0, &handle), d2xx::FT_OK);
    list = List();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].handle, handle) << "device 0 is B2";
    EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);
    std::uint8_t lines = 0x06;
    std::uint32_t written = 0;
    EXPECT_EQ(driver.FT_Write(a1, &lines, 1, &written), d2xx::FT_IO_ERROR);
    EXPECT_EQ(driver.FT_GetBitMode(a1, &lines), d2xx::FT_IO_ERROR);

    PutFile(unplugged, "C3\r\n");
    EXPECT_EQ(List().size(), 2U);
    EXPECT_EQ(driver.FT_GetBitMode(a1, &lines), d2xx::FT_IO_ERROR) << "a handle from before stays dead";
    EXPECT_EQ(driver.FT_Close(a1), d2xx::FT_IO_ERROR);
    const d2xx::FT_HANDLE again = OpenForRelays("A1");
    EXPECT_EQ(Lines(again), 0x05);
    EXPECT_EQ(driver.FT_Close(again), d2xx::FT_OK);
}

#if !defined(_WIN32)
// A board's file that is a symbolic link is not followed: someone could have
// planted it to have the board write elsewhere.
TEST_F(BoardDriver, StateFileThatIsALinkIsNotFollowed)
{
    const std::filesystem::path target = BoardFolder() / "planted";
    const std::filesystem::path file = vboard::StateFileOf(BoardFolder(), "VBOARD01");
    PutFile(target, "05\n");
    std::filesystem::remove(file);
    std::filesystem::create_symlink(target, file);
    d2xx::FT_HANDLE handle = nullptr;
    ::testing::internal::CaptureStderr();
    const d2xx::FT_STATUS status = driver.FT_Open(0, &handle);
    const std::string said = ::testing::internal::GetCapturedStderr();
    if (status == d2xx::FT_OK) {
        driver.FT_Close(handle);
    }
    std::filesystem::remove(file);
    EXPECT_EQ(status, d2xx::FT_IO_ERROR);
    EXPECT_NE(said.find("is a symbolic link"), std::string::npos) << said;
    EXPECT_EQ(FileText(target), "05\n");
}

// Without VBOARD_DIR the files are in a folder of the user's own, which may
// lie where others can write (/tmp): one they could have made or linked
// first is refused. Here the folder is under XDG_RUNTIME_DIR, in a scratch
// folder of the test's.
class DefaultFolder : public BoardDriver {
protected:
    void SetUp() override
    {
        const std::filesystem::path runtime = m_boards / "runtime";
        std::filesystem::remove_all(runtime);
        std::filesystem::create_directories(runtime);
        SetEnvironment("XDG_RUNTIME_DIR", runtime.c_str());
        SetEnvironment("VBOARD_DIR", nullptr);
        folder = runtime / "relaypanel-virtual-board";
    }

    void TearDown() override
    {
        SetEnvironment("XDG_RUNTIME_DIR", m_runtime.has_value() ? m_runtime->c_str() : nullptr);
        SetEnvironment("VBOARD_DIR", m_boards.c_str());
        BoardDriver::TearDown();
    }

    // What FT_Open answers now, and what it says; the board is closed again.
    d2xx::FT_STATUS OpenStatus(std::string& said)
    {
        d2xx::FT_HANDLE handle = nullptr;
        ::testing::internal::CaptureStderr();
        const d2xx::FT_STATUS status = driver.FT_Open(0, &handle);
        said = ::testing::internal::GetCapturedStderr();
        if (status == d2xx::FT_OK) {
            EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);
        }
        return status;
    }

    std::filesystem::path folder;

private:
    const std::filesystem::path m_boards = BoardFolder();
    const std::optional<std::string> m_runtime = [] {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        return runtime != nullptr ? std::optional<std::string>(runtime) : std::nullopt;
    }();
};

TEST_F(DefaultFolder, RefusedWhenALinkOrOpenToGroupOrOthers)
{
    std::string said;
    ASSERT_EQ(OpenStatus(said), d2xx::FT_OK) << said;
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777U, 0700U) << "made for its owner alone";

    ASSERT_EQ(chmod(folder.c_str(), 0750), 0);
    EXPECT_EQ(OpenStatus(said), d2xx::FT_IO_ERROR) << "open to the group";
    EXPECT_NE(said.find("is not the user's own"), std::string::npos) << said;
    ASSERT_EQ(chmod(folder.c_str(), 0705), 0);
    EXPECT_EQ(OpenStatus(said), d2xx::FT_IO_ERROR) << "open to others";
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_EQ(OpenStatus(said), d2xx::FT_OK) << said;

    // A link to a folder that would pass.
    const std::filesystem::path real = folder.parent_path() / "real";
    std::filesystem::rename(folder, real);
    std::filesystem::create_directory_symlink(real, folder);
    EXPECT_EQ(OpenStatus(said), d2xx::FT_IO_ERROR) << "a symbolic link";
    EXPECT_NE(said.find("is not the user's own"), std::string::npos) << said;
}

TEST_F(DefaultFolder, RefusedWhenAnotherUserOwnsIt)
{
    std::string said;
    ASSERT_EQ(OpenStatus(said), d2xx::FT_OK) << said;
    const uid_t nobody = 65534;
    if (chown(folder.c_str(), nobody, nobody) != 0) {
        GTEST_SKIP() << "giving the folder to another user needs root";
    }
    EXPECT_EQ(OpenStatus(said), d2xx::FT_IO_ERROR);
    EXPECT_NE(said.find("is not the user's own"), std::string::npos) << said;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string_view> arguments(
        argv, argv + argc);  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    if (arguments.size() == 5 && arguments[1] == kHoldRole) {
        HoldBoard(std::string(arguments[2]), argv[3],
                  arguments[4]);  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
