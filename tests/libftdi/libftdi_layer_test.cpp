// The open driver layer called directly, with the real libftdi1 and libusb
// beneath it and an emulated FT232R beneath them: statuses, reasons on
// stderr, and what reaches the chip.
#include "emulated_ft232r.h"
#include "libftdi_layer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using d2xx::FT_HANDLE;
using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::Field;
using testing::HasSubstr;
using testing::Not;
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

// How often the text holds the part.
int Occurrences(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// One entry of the layer's device list.
struct Listed {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t locationId = 0;
    std::string serialNumber;
    std::string description;
    FT_HANDLE handle = nullptr;
};

std::vector<Listed> ListDevices()
{
    std::uint32_t count = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), d2xx::FT_OK);
    std::vector<Listed> listed(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        Listed& entry = listed[index];
        std::array<char, d2xx::kSerialNumberSize> serialNumber{};
        std::array<char, d2xx::kDescriptionSize> description{};
        EXPECT_EQ(FT_GetDeviceInfoDetail(index, &entry.flags, &entry.type, &entry.id, &entry.locationId,
                                         serialNumber.data(), description.data(), &entry.handle),
                  d2xx::FT_OK);
        entry.serialNumber = serialNumber.data();
        entry.description = description.data();
    }
    return listed;
}

// A claim of the interface: the start of an opening, or the question
// whether another program holds the device.
auto Opening()
{
    return Field(&Event::call, Call::Claim);
}
// What configures or writes to a device, or takes it from its driver.
auto ConfiguringOrWriting()
{
    return testing::AnyOf(Field(&Event::requestType, kVendorOut), Field(&Event::call, Call::BulkOut),
                          Field(&Event::call, Call::Detach));
}

std::vector<Event> EventsOn(const std::vector<Event>& events, int device)
{
    std::vector<Event> on;
    std::copy_if(events.begin(), events.end(), std::back_inserter(on),
                 [&](const Event& event) { return event.device == device; });
    return on;
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
                            HasSubstr("70-relaypanel.rules"), HasSubstr("docs/real-board.md")));
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

using LayerGetBitMode = Layer;

TEST_F(LayerGetBitMode, ReadsTheLinesWithOneVendorRequestOnInterfaceA)
{
    m_bus.SetLines(m_board, 0x01);
    FT_HANDLE handle = OpenBoard();
    m_bus.ClearEvents();
    std::uint8_t lines = 0xEE;

    EXPECT_EQ(FT_GetBitMode(handle, &lines), d2xx::FT_OK);

    EXPECT_EQ(lines, 0x01);
    Event read;
    read.device = m_board;
    read.requestType = kVendorIn;
    read.request = kSioReadPins;
    read.index = 1;
    read.data = {0x01};
    EXPECT_THAT(m_bus.Events(), ElementsAre(read));

    // In bit-bang mode the lines follow the byte written.
    std::uint8_t byte = 0x05;
    std::uint32_t written = 0;
    EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::FT_BITMODE_ASYNC_BITBANG), d2xx::FT_OK);
    EXPECT_EQ(FT_Write(handle, &byte, 1, &written), d2xx::FT_OK);
    EXPECT_EQ(FT_GetBitMode(handle, &lines), d2xx::FT_OK);
    EXPECT_EQ(lines, 0x05);

    // A failed read is no value: the caller must not compute a byte from it.
    m_bus.FailControl(kSioReadPins, EPIPE);
    lines = 0xEE;
    const std::string text = StderrOf([&] { EXPECT_EQ(FT_GetBitMode(handle, &lines), d2xx::FT_IO_ERROR); });
    EXPECT_THAT(text, HasSubstr("relay board: failed to read the lines: read pins failed"));
    EXPECT_EQ(lines, 0xEE);
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

using LayerDeviceList = Layer;

TEST_F(LayerDeviceList, TellsEachChipInOpenOrderWithItsStringsAndWhoHoldsIt)
{
    // Beside the board: a board another program holds, with a serial number
    // too long for the field; an FT232H console cable with the serial
    // driver bound.
    const int held = m_bus.Plug(kFT232R, "FT-RELAY-BOARD-0042", "Relay board 8");
    m_bus.HoldInterfaceElsewhere(held);
    const int cable = m_bus.Plug(kFT232H);
    m_bus.BindSerialDriver(cable);
    std::string serialNumber = "A0000002";
    FT_HANDLE mine = nullptr;
    ASSERT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &mine), d2xx::FT_OK);
    m_bus.ClearEvents();

    const std::vector<Listed> listed = ListDevices();

    ASSERT_EQ(listed.size(), 3U);
    const auto at = [&](const std::string& serial) {
        return std::find_if(listed.begin(), listed.end(), [&](const Listed& l) { return l.serialNumber == serial; });
    };
    const auto board = at("A0000002");
    const auto other = at("FT-RELAY-BOARD-");
    ASSERT_NE(board, listed.end());
    ASSERT_NE(other, listed.end());
    EXPECT_EQ(board->flags, d2xx::FT_FLAGS_OPENED);
    EXPECT_EQ(board->handle, mine);
    EXPECT_EQ(board->type, d2xx::FT_DEVICE_232R);
    EXPECT_EQ(board->id, d2xx::kFT232RId);
    EXPECT_EQ(board->description, "FT232R USB UART");
    EXPECT_EQ(other->flags, d2xx::FT_FLAGS_OPENED);
    EXPECT_EQ(other->handle, nullptr);
    EXPECT_EQ(other->description, "Relay board 8");
    // FT232R chips first; a serial driver bound leaves the device free.
    EXPECT_EQ(listed[2].serialNumber, "A0000004");
    EXPECT_EQ(listed[2].description, kFT232HDescription);
    EXPECT_EQ(listed[2].type, 8U);
    EXPECT_EQ(listed[2].id, 0x04036014U);
    EXPECT_EQ(listed[2].flags, 0U);
    EXPECT_EQ(listed[2].handle, nullptr);
    EXPECT_NE(board->locationId, other->locationId);
    EXPECT_EQ(board->locationId >> 24U, 1U);
    // Listing reads, and asks about the interface; it never configures,
    // writes or detaches a driver.
    EXPECT_THAT(m_bus.Events(), Not(Contains(ConfiguringOrWriting())));

    // Entry i is what FT_Open(i) opens.
    EXPECT_EQ(FT_Close(mine), d2xx::FT_OK);
    m_bus.ClearEvents();
    FT_HANDLE byIndex = OpenBoard(static_cast<int>(board - listed.begin()));
    EXPECT_THAT(EventsOn(m_bus.Events(), m_board), Contains(Opening()));
    EXPECT_EQ(FT_Close(byIndex), d2xx::FT_OK);

    Listed past;
    std::array<char, d2xx::kDescriptionSize> text{};
    StderrOf([&] {
        EXPECT_EQ(FT_GetDeviceInfoDetail(3, &past.flags, &past.type, &past.id, &past.locationId, text.data(),
                                         text.data(), &past.handle),
                  d2xx::FT_DEVICE_NOT_FOUND);
    });
}

TEST_F(LayerDeviceList, ChipWhoseStringsCannotBeReadIsListedEmptyWithOneReason)
{
    m_bus.DenyAccess(m_board);

    std::vector<Listed> first;
    std::vector<Listed> again;
    std::string text;
    {
        const WithoutFileAccessOverride user;
        text = StderrOf([&] {
            first = ListDevices();
            again = ListDevices();
        });
    }

    ASSERT_EQ(first.size(), 1U);
    EXPECT_EQ(first[0].serialNumber, "");
    EXPECT_EQ(first[0].description, "");
    EXPECT_EQ(first[0].type, d2xx::FT_DEVICE_232R);
    EXPECT_EQ(again.size(), 1U);
    // Said once, though asked twice: a caller that retries does not fill
    // the terminal.
    EXPECT_EQ(Occurrences(text, "relay board:"), 1) << text;
    EXPECT_THAT(text, AllOf(HasSubstr("no permission"), HasSubstr(EmulatedBus::NodePath(m_board)),
                            HasSubstr("70-relaypanel.rules")));
}

using LayerOpenEx = Layer;

TEST_F(LayerOpenEx, OpensTheChipWithThatSerialNumberOrDescriptionOnly)
{
    const int named = m_bus.Plug(kFT232R, "RB000042", "Relay board 8");
    std::string serialNumber = "RB000042";
    FT_HANDLE handle = nullptr;

    EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_OK);

    EXPECT_THAT(EventsOn(m_bus.Events(), named), Contains(Opening()));
    EXPECT_THAT(EventsOn(m_bus.Events(), m_board), Not(Contains(testing::AnyOf(Opening(), ConfiguringOrWriting()))));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);

    m_bus.ClearEvents();
    std::string description = "FT232R USB UART";
    EXPECT_EQ(FT_OpenEx(description.data(), d2xx::FT_OPEN_BY_DESCRIPTION, &handle), d2xx::FT_OK);
    EXPECT_THAT(EventsOn(m_bus.Events(), m_board), Contains(Opening()));
    EXPECT_THAT(EventsOn(m_bus.Events(), named), Not(Contains(Opening())));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

// An FTDI device whose strings cannot be read (no permission) may stand
// before the board: it is passed over, not taken for the end of the search.
TEST_F(LayerOpenEx, PassesOverAChipWhoseStringsCannotBeRead)
{
    const int named = m_bus.Plug(kFT232R, "RB000042");
    // The bus lists the chip plugged in last first.
    m_bus.DenyAccess(m_bus.Plug(kFT232R, "RB000099"));
    std::string serialNumber = "RB000042";
    FT_HANDLE handle = nullptr;

    {
        const WithoutFileAccessOverride user;
        const std::string text = StderrOf(
            [&] { EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_OK); });
        EXPECT_THAT(text, HasSubstr("no permission")) << "the chip before the board was not looked at";
    }

    EXPECT_THAT(EventsOn(m_bus.Events(), named), Contains(Opening()));
    EXPECT_EQ(FT_Close(handle), d2xx::FT_OK);
}

TEST_F(LayerOpenEx, UnknownSerialNumberIsDeviceNotFoundNamingThoseAttached)
{
    m_bus.Plug(kFT232R, "RB000042");
    m_bus.ClearEvents();
    std::string serialNumber = "RB000043";
    FT_HANDLE handle = nullptr;

    const std::string text = StderrOf([&] {
        EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_DEVICE_NOT_FOUND);
    });

    EXPECT_THAT(text, AllOf(HasSubstr("relay board: failed to open device: no relay board found"),
                            HasSubstr("\"RB000043\""), HasSubstr("\"RB000042\""), HasSubstr("\"A0000002\"")));
    EXPECT_EQ(handle, nullptr);
    EXPECT_THAT(m_bus.Events(), Not(Contains(testing::AnyOf(Opening(), ConfiguringOrWriting()))));
}

TEST_F(LayerOpenEx, BusyChipIsNotOpenedAsWithFTOpenAndItsReasonIsNotRepeated)
{
    const int held = m_bus.Plug(kFT232R, "RB000042");
    m_bus.HoldInterfaceElsewhere(held);
    std::string serialNumber = "RB000042";
    FT_HANDLE handle = nullptr;
    const auto tryOpen = [&] {
        EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_DEVICE_NOT_OPENED);
    };
    const std::string reason = "in use by another program";

    // As a caller waiting for the board retries.
    const std::string retried = StderrOf([&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
            tryOpen();
        }
    });
    EXPECT_EQ(Occurrences(retried, reason), 1) << retried;
    EXPECT_THAT(retried, HasSubstr(EmulatedBus::NodePath(held)));

    // Once a device opened, the same failure is news again.
    std::string free = "A0000002";
    FT_HANDLE other = nullptr;
    EXPECT_EQ(FT_OpenEx(free.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &other), d2xx::FT_OK);
    EXPECT_EQ(FT_Close(other), d2xx::FT_OK);
    EXPECT_EQ(Occurrences(StderrOf(tryOpen), reason), 1);
    EXPECT_EQ(handle, nullptr);
}

TEST(LayerNewFunctions, RefuseWhatTheyCannotServeWithoutTouchingPointers)
{
    const EmulatedBus bus;
    std::string serialNumber = "A0000002";
    FT_HANDLE handle = nullptr;
    std::uint32_t value = 0;
    std::array<char, d2xx::kDescriptionSize> text{};

    StderrOf([&] {
        EXPECT_EQ(FT_CreateDeviceInfoList(nullptr), d2xx::FT_INVALID_PARAMETER);
        EXPECT_EQ(FT_OpenEx(nullptr, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_INVALID_PARAMETER);
        EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, nullptr), d2xx::FT_INVALID_PARAMETER);
        EXPECT_EQ(FT_OpenEx(serialNumber.data(), d2xx::FT_OPEN_BY_LOCATION, &handle), d2xx::FT_NOT_SUPPORTED);
        EXPECT_EQ(FT_GetBitMode(nullptr, nullptr), d2xx::FT_INVALID_HANDLE);
        for (int missing = 0; missing < 7; ++missing) {
            const auto unless = [&](auto* pointer, int position) { return position == missing ? nullptr : pointer; };
            EXPECT_EQ(FT_GetDeviceInfoDetail(0, unless(&value, 0), unless(&value, 1), unless(&value, 2),
                                             unless(&value, 3), unless(text.data(), 4), unless(text.data(), 5),
                                             unless(&handle, 6)),
                      d2xx::FT_INVALID_PARAMETER)
                << missing;
        }
    });
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(bus.Events().empty());
}

}  // namespace
