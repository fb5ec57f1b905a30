// The virtual board as programs meet it through the driver functions and the
// real binding: the boards it poses as, listed and opened by serial number,
// and one board shared between processes, its lines kept from one to the next.
#include "recording_services.h"
#include "virtual_board_control.h"

#include "driver/module1.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Sets VBOARD_SERIALS for this process and has the board read it again.
void PoseAs(const char* serials)
{
#if defined(_WIN32)
    SetEnvironmentVariableA("VBOARD_SERIALS", serials);
#else
    if (serials != nullptr) {
        setenv("VBOARD_SERIALS", serials, 1);
    } else {
        unsetenv("VBOARD_SERIALS");
    }
#endif
    vboard_reset();
}

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
    void TearDown() override { PoseAs(nullptr); }

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

#if !defined(_WIN32)
// A child process holds the board and sets its lines; while it lives the
// parent cannot open the board and sees it in use; once it has ended, without
// closing, the board is free and keeps the lines it set.
TEST_F(BoardDriver, OneProcessHoldsTheBoardAndItsLinesOutlastIt)
{
    PoseAs(nullptr);
    std::array<int, 2> toParent{};
    std::array<int, 2> toChild{};
    ASSERT_EQ(pipe(toParent.data()), 0);
    ASSERT_EQ(pipe(toChild.data()), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // Each end in one process only: when the parent stops early, the child
    // reads the end of its pipe and ends too.
    if (child == 0) {
        close(toParent[0]);
        close(toChild[1]);
        d2xx::FT_HANDLE handle = nullptr;
        std::uint8_t byte = 0x05;
        std::uint32_t written = 0;
        const bool done = driver.FT_Open(0, &handle) == d2xx::FT_OK &&
                          driver.FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG) == d2xx::FT_OK &&
                          driver.FT_Write(handle, &byte, 1, &written) == d2xx::FT_OK;
        const char report = done ? 'y' : 'n';
        char go = 0;
        const bool told = write(toParent[1], &report, 1) == 1 && read(toChild[0], &go, 1) == 1;
        _exit(told ? 0 : 1);
    }
    close(toParent[1]);
    close(toChild[0]);
    char report = 0;
    ASSERT_EQ(read(toParent[0], &report, 1), 1);
    ASSERT_EQ(report, 'y') << "the child could not open the board and write to it";

    d2xx::FT_HANDLE handle = nullptr;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(driver.FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "virtual relay board: board VBOARD01 is in use by another program\n") << "once, not per try";
    std::vector<Entry> list = List();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].flags, d2xx::FT_FLAGS_OPENED);
    EXPECT_EQ(list[0].handle, nullptr) << "not this process's";

    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    close(toChild[1]);
    close(toParent[0]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_EQ(driver.FT_Open(0, &handle), d2xx::FT_OK);
    EXPECT_EQ(Lines(handle), 0x05);
    list = List();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].handle, handle);
    EXPECT_EQ(driver.FT_Close(handle), d2xx::FT_OK);
}
#endif

}  // namespace
