// The relay panel on the open driver layer, bound by name through Module1 as
// the program binds it, with the real libftdi1 beneath: what the panel's
// commands put on the USB, and what the operator sees when the board fails.
#include "../recording_services.h"
#include "usb_traffic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libusb.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using usb_stand_in::Event;
using namespace usb_traffic;

class PanelOnLibftdi : public testing::Test {
protected:
    void SetUp() override
    {
        usb_stand_in::Reset();
        m_board = usb_stand_in::Attach();
    }

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

    std::uint8_t m_board = 0;
    PanelUnderTest t;
};

TEST_F(PanelOnLibftdi, TypicalUsePutsExactlyTheExpectedRequestsOnTheWire)
{
    t.panel.InitInterface();
    t.services.ClickBox(1);
    t.services.ClickBox(3);
    t.panel.SendState();
    EXPECT_EQ(usb_stand_in::Lines(m_board), 0x05);  // relays 1 and 3 pull in
    t.services.ClickBox(2);
    t.panel.ReleaseAll();
    EXPECT_EQ(usb_stand_in::Lines(m_board), 0x00);
    t.panel.CloseDevice();

    EXPECT_TRUE(t.services.boxes.empty());
    ASSERT_EQ(t.services.lines.size(), 10U);
    EXPECT_EQ(t.services.lines[1], FormatHandleLine(t.panel.devHandle()));

    const std::vector<Event> events = usb_stand_in::Events();
    // The session: opened, interface 0 claimed ... released, closed.
    const auto session = Only(events, [](const Event& event) {
        return event.call == "libusb_open" || event.call == "libusb_claim_interface" ||
               event.call == "libusb_release_interface" || event.call == "libusb_close";
    });
    EXPECT_THAT(CallNames(session),
                ElementsAre("libusb_open", "libusb_claim_interface", "libusb_release_interface", "libusb_close"));
    for (const Event& event : session) {
        EXPECT_EQ(event.result, LIBUSB_SUCCESS) << testing::PrintToString(event);
    }
    EXPECT_EQ(events.back().call, "libusb_close");

    // 300 baud, requested after the claim; then the bit mode, once.
    const std::size_t claimed =
        Find(events, [](const Event& event) { return IsCall(event, "libusb_claim_interface"); });
    const std::size_t baud = Find(
        events,
        [](const Event& event) { return IsVendorRequest(event, kSioSetBaudRate) && event.value == kDivisorFor300Baud; },
        claimed);
    ASSERT_LT(baud, events.size()) << "no request for 300 baud";
    const auto bitModes = Only(events, [](const Event& event) { return IsVendorRequest(event, kSioSetBitMode); });
    ASSERT_EQ(bitModes.size(), 1U);
    EXPECT_EQ(bitModes[0].value, kAsyncBitBangAllLines);
    const std::size_t bitMode = Find(events, [](const Event& event) { return IsVendorRequest(event, kSioSetBitMode); });
    EXPECT_GT(bitMode, baud);

    // One bulk OUT per command, each one byte, after the bit mode and
    // before the release; no other bulk transfer at all.
    const auto bulk = Only(events, [](const Event& event) { return IsCall(event, "libusb_bulk_transfer"); });
    ASSERT_EQ(bulk.size(), 2U);
    for (const Event& event : bulk) {
        EXPECT_EQ(event.endpoint, kBulkOut);
        EXPECT_EQ(event.transferred, 1);
    }
    EXPECT_EQ(bulk[0].data, std::vector<std::uint8_t>{0x05});
    EXPECT_EQ(bulk[1].data, std::vector<std::uint8_t>{0x00});
    EXPECT_GT(Find(events, IsBulkOut), bitMode);
    EXPECT_LT(Find(events, IsBulkOut, Find(events, IsBulkOut) + 1),
              Find(events, [](const Event& event) { return IsCall(event, "libusb_release_interface"); }));
}

TEST_F(PanelOnLibftdi, NoBoardShowsOpenFailedAndTheReasonGoesToStderr)
{
    usb_stand_in::Detach(m_board);

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_TRUE(t.services.lines.empty());
    EXPECT_THAT(outcome.stderrText, HasSubstr("relay board: failed to open device: device not found"));
}

TEST_F(PanelOnLibftdi, NoPermissionShowsOpenFailedAndLibftdiReasonOnStderr)
{
    usb_stand_in::FailOpen(LIBUSB_ERROR_ACCESS);

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("relay board: failed to open device: libusb_open() failed"));
}

TEST_F(PanelOnLibftdi, RefusedRequestsEndTheInitialisationAtTheirStep)
{
    struct Step {
        std::uint8_t request;
        std::uint16_t value;
        const char* box;
        std::size_t linesBefore;
        const char* reason;
    };
    for (const Step& step : {Step{kSioSetBaudRate, kDivisorFor300Baud, "Baudraten Einstellungsfehler", 2,
                                  "failed to set baud rate: Setting new baudrate failed"},
                             Step{kSioSetBitMode, kAsyncBitBangAllLines, "Bitmode fehlerhaft gesetzt", 3,
                                  "failed to set bit mode: unable to configure bitbang mode"}}) {
        usb_stand_in::Reset();
        usb_stand_in::Attach();
        usb_stand_in::FailControl(step.request, LIBUSB_ERROR_PIPE, step.value);
        PanelUnderTest panel;

        const Outcome outcome = Run([&] { panel.panel.InitInterface(); });

        EXPECT_TRUE(outcome.ended) << step.box;
        EXPECT_THAT(panel.services.boxes, ElementsAre(step.box));
        EXPECT_EQ(panel.services.lines.size(), step.linesBefore) << step.box;
        EXPECT_THAT(outcome.stderrText, HasSubstr(step.reason));
    }
}

TEST_F(PanelOnLibftdi, FailingOrStalledBulkTransferShowsSchreibenFehlerhaft)
{
    for (const auto& fault : std::vector<std::function<void()>>{[] { usb_stand_in::FailBulkOut(LIBUSB_ERROR_IO); },
                                                                [] { usb_stand_in::StallBulkOutAfter(0); }}) {
        usb_stand_in::Reset();
        const std::uint8_t board = usb_stand_in::Attach();
        PanelUnderTest panel;
        panel.panel.InitInterface();
        panel.services.ClickBox(4);
        fault();

        const Outcome outcome = Run([&] { panel.panel.SendState(); });

        EXPECT_TRUE(outcome.ended);
        EXPECT_THAT(panel.services.boxes, ElementsAre("Schreiben fehlerhaft"));
        EXPECT_THAT(outcome.stderrText, HasSubstr("relay board: failed to write: usb bulk write failed"));
        EXPECT_EQ(usb_stand_in::Lines(board), 0);
    }
}

TEST_F(PanelOnLibftdi, ClosedHandleIsRefusedWithoutReachingTheBoard)
{
    t.panel.InitInterface();
    t.panel.CloseDevice();
    EXPECT_TRUE(t.services.boxes.empty());
    usb_stand_in::ClearEvents();

    // A second close goes on; a send after the close ends the program.
    const Outcome close = Run([&] { t.panel.CloseDevice(); });
    EXPECT_FALSE(close.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft"));
    const Outcome send = Run([&] { t.panel.SendState(); });
    EXPECT_TRUE(send.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft", "Schreiben fehlerhaft"));

    EXPECT_THAT(close.stderrText + send.stderrText, HasSubstr("is not an open device"));
    EXPECT_TRUE(usb_stand_in::Events().empty());
}

TEST_F(PanelOnLibftdi, CloseBeforeAnyInitialisationRefusesHandleZero)
{
    const Outcome outcome = Run([&] { t.panel.CloseDevice(); });

    EXPECT_FALSE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Schliessen FTDI Schaltkreis fehlerhaft"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("handle 0 is not an open device"));
    EXPECT_TRUE(usb_stand_in::Events().empty());
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
    EXPECT_EQ(usb_stand_in::Lines(m_board), 0x80);
    t.panel.CloseDevice();
    EXPECT_TRUE(t.services.boxes.empty());
}

TEST_F(PanelOnLibftdi, InitialisingAgainWhileOpenShowsOpenFailed)
{
    t.panel.InitInterface();

    const Outcome outcome = Run([&] { t.panel.InitInterface(); });

    EXPECT_TRUE(outcome.ended);
    EXPECT_THAT(t.services.boxes, ElementsAre("Open failed"));
    EXPECT_THAT(outcome.stderrText, HasSubstr("unable to claim usb device"));
}

}  // namespace
