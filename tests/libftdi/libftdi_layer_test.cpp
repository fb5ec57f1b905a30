// The open driver layer called directly, with the real libftdi1 beneath it
// and the libusb stand-in beneath that: statuses, reasons on stderr, and
// what reaches the USB.
#include "libftdi_layer.h"
#include "usb_traffic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libusb.h>

#include <link.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using d2xx::FT_HANDLE;
using testing::ElementsAre;
using testing::HasSubstr;
using usb_traffic::StderrOf;

class Layer : public testing::Test {
protected:
    void SetUp() override
    {
        usb_stand_in::Reset();
        m_board = usb_stand_in::Attach();
        m_contexts = usb_stand_in::LiveContexts();
        m_handles = usb_stand_in::OpenHandles();
        m_references = usb_stand_in::DeviceReferences();
    }

    FT_HANDLE OpenBoard(int index = 0)
    {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_Open(index, &handle), d2xx::FT_OK);
        return handle;
    }

    // An open board in asynchronous bit-bang mode on all lines, with the
    // record cleared.
    FT_HANDLE BitBangBoard()
    {
        FT_HANDLE handle = OpenBoard();
        EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_OK);
        usb_stand_in::ClearEvents();
        return handle;
    }

    // Nothing of libusb is left held once every handle is closed.
    void ExpectNothingHeld() const
    {
        EXPECT_EQ(usb_stand_in::LiveContexts(), m_contexts);
        EXPECT_EQ(usb_stand_in::OpenHandles(), m_handles);
        EXPECT_EQ(usb_stand_in::DeviceReferences(), m_references);
    }

    std::uint8_t m_board = 0;

private:
    int m_contexts = 0;
    int m_handles = 0;
    int m_references = 0;
};

using LayerOpen = Layer;

TEST_F(LayerOpen, DetachesTheSerialDriverThenClaimsInterfaceZero)
{
    FT_HANDLE handle = OpenBoard();
    EXPECT_NE(handle, nullptr);
    EXPECT_FALSE(usb_stand_in::KernelDriverBound(m_board));

    const auto events = usb_stand_in::Events();
    ASSERT_GE(events.size(), 3U);
    EXPECT_THAT(std::vector(events.begin(), events.begin() + 3),
                ElementsAre(testing::Field(&usb_stand_in::Event::call, "libusb_open"),
                            testing::Field(&usb_stand_in::Event::call, "libusb_detach_kernel_driver"),
                            testing::Field(&usb_stand_in::Event::call, "libusb_claim_interface")));
    EXPECT_EQ(events[1].number, 0);
    EXPECT_EQ(events[2].number, 0);
    EXPECT_EQ(events[2].result, LIBUSB_SUCCESS);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerOpen, NoDeviceIsDeviceNotFoundAndSaysSo)
{
    usb_stand_in::Detach(m_board);
    auto* const untouched = reinterpret_cast<FT_HANDLE>(std::uintptr_t{0x77});  // NOLINT(performance-no-int-to-ptr)
    FT_HANDLE handle = untouched;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_FOUND); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to open device: device not found"));
    EXPECT_EQ(handle, untouched);
    EXPECT_TRUE(usb_stand_in::Events().empty());
    ExpectNothingHeld();
}

TEST_F(LayerOpen, IndexCountsFT232RChipsBeforeOtherFtdiChips)
{
    usb_stand_in::Reset();
    const std::uint8_t other = usb_stand_in::Attach(usb_stand_in::kFT232H);
    const std::uint8_t first = usb_stand_in::Attach(usb_stand_in::kFT232R);
    const std::uint8_t second = usb_stand_in::Attach(usb_stand_in::kFT232R);

    const std::array<std::uint8_t, 3> expected = {first, second, other};
    for (int index = 0; index < 3; ++index) {
        usb_stand_in::ClearEvents();
        FT_HANDLE handle = OpenBoard(index);
        const auto opens =
            usb_traffic::Only(usb_stand_in::Events(), [](const auto& event) { return event.call == "libusb_open"; });
        ASSERT_EQ(opens.size(), 1U) << "index " << index;
        EXPECT_EQ(opens[0].address, expected.at(static_cast<std::size_t>(index))) << "index " << index;
        EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
    }

    FT_HANDLE handle = nullptr;
    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(3, &handle), d2xx::FT_DEVICE_NOT_FOUND); });
    EXPECT_THAT(text, HasSubstr("no FTDI device with index 3 (3 attached)"));
    ExpectNothingHeld();
}

TEST_F(LayerOpen, DeniedAccessIsDeviceNotOpenedWithLibftdiReasonAndLeavesNothingHeld)
{
    usb_stand_in::FailOpen(LIBUSB_ERROR_ACCESS);
    FT_HANDLE handle = nullptr;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to open device: libusb_open() failed"));
    EXPECT_EQ(handle, nullptr);
    ExpectNothingHeld();
}

TEST_F(LayerOpen, DeviceOpenElsewhereIsRefusedAndTheFirstHandleKeepsWorking)
{
    FT_HANDLE first = BitBangBoard();
    FT_HANDLE second = nullptr;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &second), d2xx::FT_DEVICE_NOT_OPENED); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to open device: unable to claim usb device"));
    std::uint8_t byte = 0x81;
    std::uint32_t written = 0;
    EXPECT_EQ(FT_Write(first, &byte, 1, &written), d2xx::FT_OK);
    EXPECT_EQ(usb_stand_in::Lines(m_board), 0x81);
    EXPECT_EQ(FT_Close(first), d2xx::FT_OK);
    ExpectNothingHeld();
}

using LayerBaudRate = Layer;

TEST_F(LayerBaudRate, SendsTheFT232RDivisorFor300Baud)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::ClearEvents();

    EXPECT_EQ(FT_SetBaudRate(handle, 300), d2xx::FT_OK);

    const auto events = usb_stand_in::Events();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_TRUE(usb_traffic::IsVendorRequest(events[0], usb_traffic::kSioSetBaudRate));
    EXPECT_EQ(events[0].value, usb_traffic::kDivisorFor300Baud);
    EXPECT_EQ(events[0].index, 0);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBaudRate, RatesTheChipCannotMakeAreInvalidBaudRate)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::ClearEvents();

    // Out of range before libftdi1 is asked: nothing goes to the device.
    for (const std::uint32_t rate : {0U, 3000001U, 0xFFFFFFFFU}) {
        const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, rate), d2xx::FT_INVALID_BAUD_RATE); });
        EXPECT_THAT(text, HasSubstr("relay board: failed to set baud rate")) << rate;
    }
    EXPECT_TRUE(usb_stand_in::Events().empty());

    // Below the slowest divisor: libftdi1 refuses it in its own words.
    const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, 100), d2xx::FT_INVALID_BAUD_RATE); });
    EXPECT_THAT(text, HasSubstr("Unsupported baudrate"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBaudRate, FailingTransferIsIoErrorWithLibftdiReason)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::FailControl(usb_traffic::kSioSetBaudRate, LIBUSB_ERROR_PIPE);

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, 300), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set baud rate: Setting new baudrate failed"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

using LayerBitMode = Layer;

TEST_F(LayerBitMode, ModeGoesInTheHighByteAndMaskInTheLowByte)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::ClearEvents();

    EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_OK);
    EXPECT_EQ(FT_SetBitMode(handle, 0x0F, d2xx::FT_BITMODE_SYNC_BITBANG), d2xx::FT_OK);
    EXPECT_EQ(FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_RESET), d2xx::FT_OK);

    const auto events = usb_stand_in::Events();
    ASSERT_EQ(events.size(), 3U);
    for (const auto& event : events) {
        EXPECT_TRUE(usb_traffic::IsVendorRequest(event, usb_traffic::kSioSetBitMode));
    }
    EXPECT_EQ(events[0].value, usb_traffic::kAsyncBitBangAllLines);
    EXPECT_EQ(events[1].value, 0x040F);
    EXPECT_EQ(events[2].value, 0x0000);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBitMode, ValueThatIsNoModeIsInvalidParameterWithoutTraffic)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::ClearEvents();

    const std::string text =
        StderrOf([&] { EXPECT_EQ(FT_SetBitMode(handle, 0xFF, 0x03), d2xx::FT_INVALID_PARAMETER); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set bit mode"));
    EXPECT_TRUE(usb_stand_in::Events().empty());
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBitMode, FailingTransferIsIoErrorWithLibftdiReason)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::FailControl(usb_traffic::kSioSetBitMode, LIBUSB_ERROR_IO);

    const std::string text =
        StderrOf([&] { EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set bit mode: unable to configure bitbang mode"));
    EXPECT_EQ(usb_stand_in::BitMode(m_board), 0);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

using LayerWrite = Layer;

TEST_F(LayerWrite, BytesGoInOneBulkOutTransferToEndpoint02)
{
    FT_HANDLE handle = BitBangBoard();

    for (const std::vector<std::uint8_t>& frame :
         {std::vector<std::uint8_t>{0x05}, std::vector<std::uint8_t>{0x01, 0x02, 0x80}}) {
        usb_stand_in::ClearEvents();
        std::vector<std::uint8_t> buffer = frame;
        std::uint32_t written = 0;
        EXPECT_EQ(FT_Write(handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &written), d2xx::FT_OK);
        EXPECT_EQ(written, frame.size());
        const auto events = usb_stand_in::Events();
        ASSERT_EQ(events.size(), 1U);
        EXPECT_TRUE(usb_traffic::IsBulkOut(events[0]));
        EXPECT_EQ(events[0].data, frame);
        EXPECT_EQ(usb_stand_in::Lines(m_board), frame.back());
    }
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, FailingTransferIsIoErrorWithNothingWritten)
{
    FT_HANDLE handle = BitBangBoard();
    usb_stand_in::FailBulkOut(LIBUSB_ERROR_IO);
    std::uint8_t byte = 0x05;
    std::uint32_t written = 99;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to write: usb bulk write failed"));
    EXPECT_EQ(written, 0U);
    EXPECT_EQ(usb_stand_in::Lines(m_board), 0);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, DeviceThatStopsTakingBytesIsIoError)
{
    FT_HANDLE handle = BitBangBoard();
    usb_stand_in::StallBulkOutAfter(1);
    std::array<std::uint8_t, 3> bytes = {0x01, 0x02, 0x03};
    std::uint32_t written = 99;

    const std::string text =
        StderrOf([&] { EXPECT_EQ(FT_Write(handle, bytes.data(), 3, &written), d2xx::FT_IO_ERROR); });

    EXPECT_EQ(written, 0U);
    EXPECT_THAT(text, HasSubstr("relay board: failed to write: usb bulk write failed"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, MissingBufferOrCounterIsInvalidParameterWithoutTraffic)
{
    FT_HANDLE handle = BitBangBoard();
    std::uint8_t byte = 0x05;
    std::uint32_t written = 0;

    StderrOf([&] {
        EXPECT_EQ(FT_Write(handle, &byte, 1, nullptr), d2xx::FT_INVALID_PARAMETER);
        EXPECT_EQ(FT_Write(handle, nullptr, 1, &written), d2xx::FT_INVALID_PARAMETER);
    });

    EXPECT_TRUE(usb_stand_in::Events().empty());
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, UnpluggedBoardIsIoErrorAndStillClosesCleanly)
{
    FT_HANDLE handle = BitBangBoard();
    usb_stand_in::Detach(m_board);
    std::uint8_t byte = 0x05;
    std::uint32_t written = 0;

    StderrOf([&] {
        EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_IO_ERROR);
        EXPECT_EQ(FT_Close(handle), d2xx::FT_IO_ERROR);
        EXPECT_EQ(FT_Close(handle), d2xx::FT_INVALID_HANDLE);
    });
    ExpectNothingHeld();
}

using LayerHandles = Layer;

TEST_F(LayerHandles, CloseReleasesTheInterfaceClosesTheDeviceAndFreesTheContext)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::ClearEvents();

    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);

    const auto events = usb_stand_in::Events();
    EXPECT_THAT(usb_traffic::CallNames(events), ElementsAre("libusb_release_interface", "libusb_close"));
    EXPECT_EQ(events.front().number, 0);
    ExpectNothingHeld();
}

TEST_F(LayerHandles, ZeroUnknownAndClosedHandlesAreRefusedWithoutTouchingThem)
{
    FT_HANDLE closed = OpenBoard();
    EXPECT_EQ(FT_Close(closed), d2xx::FT_OK);
    usb_stand_in::ClearEvents();
    // Unmapped: dereferencing it would crash the test.
    auto* const unknown = reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xDEAD0000});  // NOLINT(performance-no-int-to-ptr)

    for (FT_HANDLE handle : {FT_HANDLE{nullptr}, unknown, closed}) {
        std::uint8_t byte = 0xFF;
        std::uint32_t written = 0;
        const std::string text = StderrOf([&] {
            EXPECT_EQ(FT_SetBaudRate(handle, 300), d2xx::FT_INVALID_HANDLE);
            EXPECT_EQ(FT_SetBitMode(handle, 0xFF, 1), d2xx::FT_INVALID_HANDLE);
            EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_INVALID_HANDLE);
            EXPECT_EQ(FT_Close(handle), d2xx::FT_INVALID_HANDLE);
        });
        EXPECT_THAT(text, HasSubstr("is not an open device"));
        EXPECT_EQ(written, 0U);
    }
    EXPECT_TRUE(usb_stand_in::Events().empty());
    ExpectNothingHeld();
}

TEST_F(LayerHandles, AHandleIsNeverHandedOutTwice)
{
    FT_HANDLE first = OpenBoard();
    EXPECT_EQ(FT_Close(first), d2xx::FT_OK);
    FT_HANDLE second = OpenBoard();

    EXPECT_NE(second, first);
    std::uint8_t byte = 0x01;
    std::uint32_t written = 0;
    StderrOf([&] { EXPECT_EQ(FT_Write(first, &byte, 1, &written), d2xx::FT_INVALID_HANDLE); });
    EXPECT_EQ(FT_Write(second, &byte, 1, &written), d2xx::FT_OK);
    EXPECT_EQ(FT_Close(second), d2xx::FT_OK);
}

TEST_F(LayerHandles, RefusedReleaseIsIoErrorButTheHandleIsClosedAnyway)
{
    FT_HANDLE handle = OpenBoard();
    usb_stand_in::FailRelease(LIBUSB_ERROR_IO);

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Close(handle), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to close device"));
    StderrOf([&] { EXPECT_EQ(FT_Close(handle), d2xx::FT_INVALID_HANDLE); });
    ExpectNothingHeld();
}

// The loader gave libftdi1 the stand-in: the only libusb-1.0 in the process
// is the one from the stand-in's folder. Should the system's get loaded,
// this names the cause of every other failure here.
TEST(Injection, TheOnlyLibusbInTheProcessIsTheStandIn)
{
    std::vector<std::string> loaded;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t /*size*/, void* names) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.find("libusb-1.0") != std::string::npos) {
                static_cast<std::vector<std::string>*>(names)->push_back(name);
            }
            return 0;
        },
        &loaded);
    ASSERT_EQ(loaded.size(), 1U);
    EXPECT_EQ(loaded[0], USB_STAND_IN_FILE);
}

}  // namespace
