// The relay panel on the open driver layer, bound by name through Module1 as
// the program binds it, with the real libftdi1 and libusb beneath and an
// emulated FT232R beneath them: what the panel's commands, and relayctl's,
// put on the USB, and what the operator sees when the board fails.
#include "../recording_services.h"
#include "cli/relayctl.h"
#include "emulated_ft232r.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using testing::AllOf;
using testing::ElementsAre;
using testing::Field;
using testing::HasSubstr;
using namespace usb_emulation;

class PanelOnLibftdi : public testing::Test {
protected:
    struct Outcome {
        bool ended = false;
        std::string stderrText;
    };

    // Runs one command; an ending of the program is caught and told.
    static Outcome Run(const std::function<void()>& command)
    {
        Outcome outcome;
        outcome.stderrText = StderrOf([&] {
            try {
                command();
            } catch (const ProgramEnded&) {
                outcome.ended = true;
            }
        });
        return outcome;
    }

    std::vector<std::vector<std::uint8_t>> BytesSent() const
    {
        std::vector<std::vector<std::uint8_t>> sent;
        for (const Event& event : m_bus.Events()) {
            if (event.call == Call::BulkOut) {
                sent.push_back(event.data);
            }
        }
        return sent;
    }

    EmulatedBus m_bus;
    int m_board = m_bus.Plug();
    PanelUnderTest t;
};

auto Request(std::uint8_t request, std::uint16_t value)
{
    return AllOf(Field(&Event::call, Call::Control), Field(&Event::request, request), Field(&Event::value, value),
                 Field(&Event::error, 0));
}

auto OnInterfaceZero(Call call)
{
    return AllOf(Field(&Event::call, call), Field(&Event::interface, 0), Field(&Event::error, 0));
}

auto BulkOut(const std::vector<std::uint8_t>& bytes)
{
    return AllOf(Field(&Event::call, Call::BulkOut), Field(&Event::data, bytes), Field(&Event::error, 0));
}

TEST_F(PanelOnLibftdi, TypicalUsePutsExactlyTheExpectedRequestsOnTheWire)
{
    t.panel.InitInterface();
    t.services.ClickBox(1);
    t.services.ClickBox(3);
    t.panel.SendState();
    t.services.ClickBox(2);
    t.panel.ReleaseAll();
    t.panel.CloseDevice();

    EXPECT_TRUE(t.services.boxes.empty());
    ASSERT_EQ(t.services.lines.size(), 10U);
    EXPECT_EQ(t.services.lines[1], FormatHandleLine(t.panel.devHandle()));
    // Opening as libftdi1 does it (no serial driver to detach, reset, 9600
    // baud), then 300 baud and bit-bang on all lines; relays 1 and 3 pull
    // in, all drop out; the interface is given back.
    EXPECT_THAT(m_bus.Events(),
                ElementsAre(Field(&Event::call, Call::Detach), OnInterfaceZero(Call::Claim), Request(kSioReset, 0),
                            Request(kSioSetBaudRate, kDivisorFor9600Baud), Request(kSioSetBaudRate, kDivisorFor300Baud),
                            Request(kSioSetBitMode, kAsyncBitBangAllLines), BulkOut({0x05}), BulkOut({0x00}),
                            OnInterfaceZero(Call::Release)));
}

// relayctl's runs, seen at the chip: the vendor requests and the bytes
// written, leaving out the reading of string descriptors and the brief claim
// with which listing tells a free chip from a held one.
class RelayctlOnLibftdi : public testing::Test {
protected:
    struct Outcome {
        int status = -1;
        std::string out;
        std::string err;
    };

    static Outcome Relayctl(const std::vector<std::string_view>& args)
    {
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunRelayctl(args, out, err);
        return {status, out.str(), err.str()};
    }

    std::vector<Event> Wire(int device) const
    {
        std::vector<Event> wire;
        for (const Event& event : m_bus.Events()) {
            const bool vendor = event.call == Call::Control && (event.requestType & 0x60) == 0x40;
            if (event.device == device && (vendor || event.call == Call::BulkOut || event.call == Call::Detach)) {
                wire.push_back(event);
            }
        }
        return wire;
    }

    EmulatedBus m_bus;
};

auto ReadPins(std::uint8_t lines)
{
    return AllOf(Field(&Event::requestType, kVendorIn), Field(&Event::request, kSioReadPins), Field(&Event::value, 0),
                 Field(&Event::index, 1), Field(&Event::data, std::vector<std::uint8_t>{lines}));
}

TEST_F(RelayctlOnLibftdi, SetWritesItsByteAfterTheSetUpWithoutReading)
{
    const int board = m_bus.Plug();

    const Outcome outcome = Relayctl({"set", "1", "3", "8"});

    EXPECT_EQ(outcome.status, kRelayctlDone) << outcome.err;
    EXPECT_EQ(outcome.out, "relays on: 1 3 8\n");
    EXPECT_THAT(Wire(board),
                ElementsAre(Field(&Event::call, Call::Detach), Request(kSioReset, 0),
                            Request(kSioSetBaudRate, kDivisorFor9600Baud), Request(kSioSetBaudRate, kDivisorFor300Baud),
                            Request(kSioSetBitMode, kAsyncBitBangAllLines), BulkOut({0x85})));
    EXPECT_THAT(m_bus.Events().back(), OnInterfaceZero(Call::Release));
}

TEST_F(RelayctlOnLibftdi, OnReadsTheLinesThenWritesThemWithItsRelayAndNeverResetsTheBitMode)
{
    const int board = m_bus.Plug();
    m_bus.SetLines(board, 0x01);

    const Outcome on = Relayctl({"on", "3"});

    EXPECT_EQ(on.out, "relays on: 1 3\n") << on.err;
    EXPECT_THAT(Wire(board),
                ElementsAre(Field(&Event::call, Call::Detach), Request(kSioReset, 0),
                            Request(kSioSetBaudRate, kDivisorFor9600Baud), Request(kSioSetBaudRate, kDivisorFor300Baud),
                            Request(kSioSetBitMode, kAsyncBitBangAllLines), ReadPins(0x01), BulkOut({0x05})));
    EXPECT_EQ(m_bus.Lines(board), 0x05);

    m_bus.ClearEvents();
    const Outcome get = Relayctl({"get"});
    EXPECT_EQ(get.out, "relays on: 1 3\n") << get.err;
    const std::vector<Event> wire = Wire(board);
    ASSERT_FALSE(wire.empty());
    EXPECT_THAT(wire.back(), ReadPins(0x05));
    EXPECT_THAT(wire, testing::Not(testing::Contains(Field(&Event::call, Call::BulkOut))));
}

TEST_F(RelayctlOnLibftdi, OfTwoBoardsOnlyTheOneNamedBySerialIsOpened)
{
    const int first = m_bus.Plug(kFT232R, "A1");
    const int second = m_bus.Plug(kFT232R, "B2");

    const Outcome list = Relayctl({"list"});
    EXPECT_EQ(list.status, kRelayctlDone) << list.err;
    EXPECT_THAT(list.out, AllOf(HasSubstr("A1\tFT232R USB UART\n"), HasSubstr("B2\tFT232R USB UART\n")));

    const Outcome unnamed = Relayctl({"on", "3"});
    EXPECT_EQ(unnamed.status, kRelayctlUsage);
    EXPECT_THAT(unnamed.err, HasSubstr("name one with -s"));
    EXPECT_THAT(Wire(first), testing::IsEmpty()) << "no board is opened without -s";
    EXPECT_THAT(Wire(second), testing::IsEmpty());

    const Outcome named = Relayctl({"-s", "B2", "on", "3"});
    EXPECT_EQ(named.out, "relays on: 3\n") << named.err;
    EXPECT_THAT(Wire(first), testing::IsEmpty());
    EXPECT_THAT(Wire(second), testing::Contains(BulkOut({0x04})));
}

TEST(PanelOnLibftdiWithoutBoard, ShowsOpenFailedAndTheReasonGoesToStderr)
{
    const EmulatedBus empty;
    PanelUnderTest t;

    const std::string text = StderrOf([&] { ExpectEnd([&] { t.panel.InitInterface(); }); });

    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_TRUE(t.services.lines.empty());
    EXPECT_THAT(text, HasSubstr("relay board: failed to open device: no relay board found"));
}

TEST_F(PanelOnLibftdi, NoPermissionShowsOpenFailedAndTheWayOutOnStderr)
{
    m_bus.DenyAccess(m_board);

    Outcome outcome;
    {
        const WithoutFileAccessOverride user;
        outcome = Run([&] { t.panel.InitInterface(); });
    }

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_THAT(outcome.stderrText, AllOf(HasSubstr("no permission"), HasSubstr("70-relaypanel.rules")));
}

TEST_F(PanelOnLibftdi, RefusedBaudRateEndsTheInitialisationAtThatStep)
{
    // 300 baud refused; the 9600 baud of the opening still goes through.
    m_bus.FailControl(kSioSetBaudRate, EPIPE, kDivisorFor300Baud);

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Baudraten Einstellungsfehler"));
    EXPECT_EQ(t.services.lines.size(), 2U);
    EXPECT_THAT(outcome.stderrText, HasSubstr("failed to set baud rate: Setting new baudrate failed"));
}

TEST_F(PanelOnLibftdi, RefusedBitModeEndsTheInitialisationAtThatStep)
{
    m_bus.FailControl(kSioSetBitMode, EPIPE);

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Bitmode fehlerhaft gesetzt"));
    EXPECT_EQ(t.services.lines.size(), 3U);
    EXPECT_THAT(outcome.stderrText, HasSubstr("failed to set bit mode: unable to configure bitbang mode"));
}

TEST_F(PanelOnLibftdi, FailingBulkTransferShowsSchreibenFehlerhaft)
{
    t.panel.InitInterface();
    t.services.ClickBox(4);
    m_bus.FailBulkOut(EPROTO);

    const Outcome outcome = Run([&] { t.panel.SendState(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schreiben fehlerhaft"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("relay board: failed to write: usb bulk write failed"));
}

TEST_F(PanelOnLibftdi, ClosedHandleIsRefusedWithoutReachingTheBoard)
{
    t.panel.InitInterface();
    t.panel.CloseDevice();
    EXPECT_TRUE(t.services.boxes.empty());
    m_bus.ClearEvents();

    // A second close goes on; a send after the close ends the program.
    const Outcome close = Run([&] { t.panel.CloseDevice(); });
    EXPECT_FALSE(close.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft"));
    const Outcome send = Run([&] { t.panel.SendState(); });
    EXPECT_TRUE(send.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft", "Schreiben fehlerhaft"));

    EXPECT_THAT(close.stderrText + send.stderrText, HasSubstr("is not an open device"));
    EXPECT_TRUE(m_bus.Events().empty());
}

TEST_F(PanelOnLibftdi, CloseBeforeAnyInitialisationRefusesHandleZero)
{
    const Outcome outcome = Run([&] { t.panel.CloseDevice(); });

    EXPECT_FALSE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("handle 0 is not an open device"));
    EXPECT_TRUE(m_bus.Events().empty());
}

TEST_F(PanelOnLibftdi, InitialisingAgainAfterCloseOpensWithANewHandle)
{
    t.panel.InitInterface();
    const d2xx::FT_HANDLE first = t.panel.devHandle();
    t.panel.CloseDevice();
    t.panel.InitInterface();

    EXPECT_NE(t.panel.devHandle(), first);
    t.services.ClickBox(8);
    t.panel.SendState();
    EXPECT_THAT(BytesSent(), ElementsAre(std::vector<std::uint8_t>{0x80}));
    t.panel.CloseDevice();
    EXPECT_TRUE(t.services.boxes.empty());
}

TEST_F(PanelOnLibftdi, InitialisingAgainWhileOpenShowsOpenFailed)
{
    t.panel.InitInterface();

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("in use by another program"));
}

}  // namespace
