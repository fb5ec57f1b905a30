// The open driver layer called directly, with the real libftdi1 and libusb
// beneath it and an emulated FT232R beneath them: statuses, reasons on
// stderr, and what reaches the chip.
#include "emulated_ft232r.h"
#include "libftdi_layer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using d2xx::FT_HANDLE;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using namespace usb_emulation;

Event Control(int device, std::uint8_t request, std::uint16_t value, std::uint16_t index)
{
    Event event;
    event.device = device;
    event.requestType = kVendorOut;
    event.request = request;
    event.value = value;
    event.index = index;
    return event;
}

Event OnInterface(Call call, int device, int error = 0)
{
    Event event;
    event.call = call;
    event.device = device;
    event.interface = 0;
    event.error = error;
    return event;
}

class Layer : public testing::Test {
protected:
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
        m_bus.ClearEvents();
        return handle;
    }

    EmulatedBus m_bus;
    int m_board = m_bus.Plug();
};

using LayerOpen = Layer;

TEST_F(LayerOpen, DetachesClaimsInterfaceZeroThenResetsAndSets9600Baud)
{
    FT_HANDLE handle = OpenBoard();

    EXPECT_THAT(m_bus.Events(), ElementsAre(OnInterface(Call::Detach, m_board, ENODATA),
                                            OnInterface(Call::Claim, m_board), Control(m_board, kSioReset, 0, 1),
                                            Control(m_board, kSioSetBaudRate, kDivisorFor9600Baud, 0)));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerOpen, IndexCountsFT232RChipsBeforeOtherFtdiChips)
{
    // On the bus between the two FT232R chips.
    const int other = m_bus.Plug(kFT232H);
    const int second = m_bus.Plug(kFT232R);

    std::vector<int> opened;
    for (int index = 0; index < 3; ++index) {
        m_bus.ClearEvents();
        FT_HANDLE handle = OpenBoard(index);
        const auto events = m_bus.Events();
        ASSERT_GE(events.size(), 2U);
        EXPECT_EQ(events[1].call, Call::Claim);
        opened.push_back(events[1].device);
        EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
    }
    // libusb's order among chips of one kind.
    EXPECT_THAT(std::vector(opened.begin(), opened.begin() + 2), testing::UnorderedElementsAre(m_board, second));
    EXPECT_EQ(opened[2], other);
}

// Why the board could not be opened, told in words the operator can act on.
using LayerOpenFailure = Layer;

TEST(LayerOpenWithoutBoard, IsDeviceNotFoundAndSaysWhatToCheck)
{
    const EmulatedBus empty;
    auto* const untouched = reinterpret_cast<FT_HANDLE>(std::uintptr_t{0x77});  // NOLINT(performance-no-int-to-ptr)
    FT_HANDLE handle = untouched;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_FOUND); });

    EXPECT_THAT(text, AllOf(HasSubstr("relay board: failed to open device: no relay board found"),
                            HasSubstr("plugged in"), HasSubstr("0403:6001")));
    EXPECT_EQ(handle, untouched);
    EXPECT_TRUE(empty.Events().empty());
}

TEST_F(LayerOpenFailure, NoPermissionNamesTheNodeTheUdevRuleAndTheReadme)
{
    m_bus.DenyAccess(m_board);
    FT_HANDLE handle = nullptr;

    std::string text;
    {
        const WithoutFileAccessOverride user;
        text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED); });
    }

    EXPECT_THAT(text, AllOf(HasSubstr("no permission"), HasSubstr(EmulatedBus::NodePath(m_board)),
                            HasSubstr("70-relaypanel.rules"), HasSubstr("README")));
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(m_bus.Events().empty());
}

TEST_F(LayerOpenFailure, InterfaceHeldByAnotherProgramSaysSo)
{
    m_bus.HoldInterfaceElsewhere(m_board);
    FT_HANDLE handle = nullptr;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Open(0, &handle), d2xx::FT_DEVICE_NOT_OPENED); });

    EXPECT_THAT(text, AllOf(HasSubstr("in use by another program"), HasSubstr(EmulatedBus::NodePath(m_board))));
    EXPECT_EQ(handle, nullptr);
}

using LayerBaudRate = Layer;

TEST_F(LayerBaudRate, SendsTheFT232RDivisorFor300Baud)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();

    EXPECT_EQ(FT_SetBaudRate(handle, 300), d2xx::FT_OK);

    EXPECT_THAT(m_bus.Events(), ElementsAre(Control(m_board, kSioSetBaudRate, kDivisorFor300Baud, 0)));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBaudRate, RatesTheChipCannotMakeAreInvalidBaudRate)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();

    // Out of range before libftdi1 is asked: nothing goes to the device.
    for (const std::uint32_t rate : {0U, 3000001U, 0xFFFFFFFFU}) {
        const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, rate), d2xx::FT_INVALID_BAUD_RATE); });
        EXPECT_THAT(text, HasSubstr("relay board: failed to set baud rate")) << rate;
    }
    EXPECT_TRUE(m_bus.Events().empty());

    // Below the slowest divisor: libftdi1 refuses it in its own words.
    const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, 100), d2xx::FT_INVALID_BAUD_RATE); });
    EXPECT_THAT(text, HasSubstr("Unsupported baudrate"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBaudRate, FailingTransferIsIoErrorWithLibftdiReason)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.FailControl(kSioSetBaudRate, EPIPE);

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_SetBaudRate(handle, 300), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set baud rate: Setting new baudrate failed"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

using LayerBitMode = Layer;

TEST_F(LayerBitMode, ModeGoesInTheHighByteAndMaskInTheLowByte)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();

    EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_OK);
    EXPECT_EQ(FT_SetBitMode(handle, 0x0F, d2xx::FT_BITMODE_SYNC_BITBANG), d2xx::FT_OK);
    EXPECT_EQ(FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_RESET), d2xx::FT_OK);

    EXPECT_THAT(m_bus.Events(),
                ElementsAre(Control(m_board, kSioSetBitMode, kAsyncBitBangAllLines, 1),
                            Control(m_board, kSioSetBitMode, 0x040F, 1), Control(m_board, kSioSetBitMode, 0x0000, 1)));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBitMode, ValueThatIsNoModeIsInvalidParameterWithoutTraffic)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();

    const std::string text =
        StderrOf([&] { EXPECT_EQ(FT_SetBitMode(handle, 0xFF, 0x03), d2xx::FT_INVALID_PARAMETER); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set bit mode"));
    EXPECT_TRUE(m_bus.Events().empty());
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerBitMode, FailingTransferIsIoErrorWithLibftdiReason)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.FailControl(kSioSetBitMode, EPROTO);

    const std::string text =
        StderrOf([&] { EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to set bit mode: unable to configure bitbang mode"));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

using LayerWrite = Layer;

TEST_F(LayerWrite, BytesGoInOneBulkOutTransfer)
{
    FT_HANDLE handle = BitBangBoard();

    for (const std::vector<std::uint8_t>& frame :
         {std::vector<std::uint8_t>{0x05}, std::vector<std::uint8_t>{0x01, 0x02, 0x80}}) {
        m_bus.ClearEvents();
        std::vector<std::uint8_t> buffer = frame;
        std::uint32_t written = 0;
        EXPECT_EQ(FT_Write(handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &written), d2xx::FT_OK);
        EXPECT_EQ(written, frame.size());
        const auto events = m_bus.Events();
        ASSERT_EQ(events.size(), 1U);
        EXPECT_EQ(events[0].call, Call::BulkOut);
        EXPECT_EQ(events[0].data, frame);
    }
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, FailingTransferIsIoErrorWithNothingWritten)
{
    FT_HANDLE handle = BitBangBoard();
    m_bus.FailBulkOut(EPROTO);
    std::uint8_t byte = 0x05;
    std::uint32_t written = 99;

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to write: usb bulk write failed"));
    EXPECT_EQ(written, 0U);
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

    EXPECT_TRUE(m_bus.Events().empty());
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerWrite, UnpluggedBoardIsIoErrorAndTheHandleStillCloses)
{
    FT_HANDLE handle = BitBangBoard();
    m_bus.Unplug(m_board);
    std::uint8_t byte = 0x05;
    std::uint32_t written = 0;

    StderrOf([&] {
        EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_IO_ERROR);
        EXPECT_EQ(FT_Close(handle), d2xx::FT_IO_ERROR);
        EXPECT_EQ(FT_Close(handle), d2xx::FT_INVALID_HANDLE);
    });
}

using LayerHandles = Layer;

TEST_F(LayerHandles, CloseReleasesTheInterface)
{
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();

    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);

    EXPECT_THAT(m_bus.Events(), ElementsAre(OnInterface(Call::Release, m_board)));
}

TEST_F(LayerHandles, ZeroUnknownAndClosedHandlesAreRefusedWithoutTouchingThem)
{
    FT_HANDLE closed = OpenBoard();
    EXPECT_EQ(FT_Close(closed), d2xx::FT_OK);
    m_bus.ClearEvents();
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
    EXPECT_TRUE(m_bus.Events().empty());
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
    m_bus.FailRelease(EIO);

    const std::string text = StderrOf([&] { EXPECT_EQ(FT_Close(handle), d2xx::FT_IO_ERROR); });

    EXPECT_THAT(text, HasSubstr("relay board: failed to close device"));
    StderrOf([&] { EXPECT_EQ(FT_Close(handle), d2xx::FT_INVALID_HANDLE); });
}

}  // namespace
