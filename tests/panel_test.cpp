// The relay panel on the virtual relay board, through the real binding:
// interface set-up and close, the output commands and their failures.
#include "board_record.h"
#include "recording_services.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

namespace {

std::vector<std::string> InitLines(d2xx::FT_HANDLE handle)
{
    return {" FTDI 232 RL erfolgreich geoeffnet", FormatHandleLine(handle), "FTDI 232 Baudrate auf 300 Baud gesetzt",
            "serieller Bit-Bang Mode erfolgreich gesetzt"};
}

class PanelOnBoard : public ::testing::Test {
protected:
    void SetUp() override { vboard_reset(); }

    PanelUnderTest t;
    RecordingServices& services = t.services;
    RelayPanel& panel = t.panel;
};

TEST_F(PanelOnBoard, TypicalUseFromInitToClose)
{
    panel.InitInterface();
    ASSERT_NE(panel.devHandle(), nullptr);
    EXPECT_EQ(services.lines, InitLines(panel.devHandle()));
    EXPECT_EQ(vboard_baud_rate(), 300U);
    EXPECT_EQ(vboard_bit_mask(), 0xFF);
    EXPECT_EQ(vboard_bit_mode(), 1);
    EXPECT_TRUE(WrittenBytes().empty()) << "initialising writes nothing";

    services.lines.clear();
    services.ClickBox(1);
    services.ClickBox(3);
    EXPECT_EQ(services.lines, (std::vector<std::string>{" 1 ", " 5 "}));
    EXPECT_TRUE(WrittenBytes().empty()) << "ticking writes nothing";

    panel.SendState();
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x05});
    EXPECT_EQ(vboard_relays(), 0x05);
    EXPECT_EQ(services.lines.size(), 2U) << "sending prints nothing";

    panel.ReleaseAll();
    EXPECT_EQ(services.lines, (std::vector<std::string>{" 1 ", " 5 ", " 4 ", " 0 "}));
    EXPECT_EQ(services.values, (std::array<int, 8>{}));
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x05, 0x00}));
    EXPECT_EQ(vboard_relays(), 0x00);

    panel.CloseDevice();
    EXPECT_FALSE(vboard_is_open());
    EXPECT_EQ(services.lines.size(), 4U) << "closing prints nothing";
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write",
                                                     "FT_Write", "FT_Close"}));
}

TEST_F(PanelOnBoard, HandleLineIsTheSignedDecimalOfTheHandle)
{
    EXPECT_EQ(FormatHandleLine(reinterpret_cast<d2xx::FT_HANDLE>(std::uintptr_t{20496})),
              "FTDI hat den USBHandle : 20496");
    EXPECT_EQ(FormatHandleLine(nullptr), "FTDI hat den USBHandle : 0");
    // A handle with the top bit set prints negative, as a signed value of its width.
    EXPECT_EQ(FormatHandleLine(reinterpret_cast<d2xx::FT_HANDLE>(~std::uintptr_t{0})), "FTDI hat den USBHandle : -1");
}

TEST_F(PanelOnBoard, SendStateWritesTheRelayByteEveryTime)
{
    panel.InitInterface();
    panel.SendState();  // nothing ticked
    for (int relay = 1; relay <= 8; ++relay) {
        services.ClickBox(relay);
    }
    panel.SendState();
    panel.SendState();
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x00, 0xFF, 0xFF}));
    EXPECT_EQ(panel.outFrame(), std::vector<std::uint8_t>{0xFF});
}

TEST_F(PanelOnBoard, ReleaseAllEchoesEachUntickBeforeWriting)
{
    panel.InitInterface();
    services.lines.clear();
    services.ClickBox(2);
    services.ClickBox(8);
    panel.SendState();
    ASSERT_EQ(vboard_relays(), 130);
    const std::size_t callsBefore = vboard_call_count();

    // The echoes must already be there when the write happens: fail the write
    // and check what had been printed by then.
    vboard_fail("FT_Write", d2xx::FT_IO_ERROR);
    ExpectEnd([&] { panel.ReleaseAll(); });
    EXPECT_EQ(services.lines, (std::vector<std::string>{" 2 ", " 130 ", " 128 ", " 0 "}));
    EXPECT_EQ(vboard_call_count(), callsBefore + 1);
    EXPECT_EQ(panel.outFrame(), std::vector<std::uint8_t>{0x00});
}

TEST_F(PanelOnBoard, ReleaseAllWithNothingTickedPrintsNothingAndWritesZero)
{
    panel.InitInterface();
    services.lines.clear();
    panel.ReleaseAll();
    EXPECT_TRUE(services.lines.empty());
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x00});
}

TEST_F(PanelOnBoard, InitResetsTheByteButLeavesTheBoxes)
{
    services.ClickBox(2);
    panel.InitInterface();
    EXPECT_EQ(panel.relayByte(), 0);
    EXPECT_EQ(services.values[1], 1);
    panel.SendState();
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x00});
}

TEST_F(PanelOnBoard, UntickingABoxWhoseBitWasResetEchoesZeroAndGoesOn)
{
    services.ClickBox(2);
    panel.InitInterface();
    services.lines.clear();
    services.ClickBox(2);  // unticks
    EXPECT_EQ(services.lines, std::vector<std::string>{" 0 "});
    EXPECT_EQ(panel.relayByte(), 0);
    panel.SendState();
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x00});
}

TEST_F(PanelOnBoard, UntickingAfterResetNeverBorrowsFromOtherRelays)
{
    services.ClickBox(1);
    panel.InitInterface();
    services.lines.clear();
    services.ClickBox(8);
    services.ClickBox(1);  // unticks relay 1, whose bit the reset cleared
    EXPECT_EQ(services.lines, (std::vector<std::string>{" 128 ", " 128 "}));
    panel.SendState();
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x80}) << "only relay 8 may pull in";
}

struct InitFailure {
    const char* function;
    const char* message;
    std::size_t linesBefore;  // status lines printed before the failing step
};

class InitFailures : public PanelOnBoard, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(InitFailures, ShowTheBoxEndTheProgramAndStopThere)
{
    const InitFailure& failure = GetParam();
    services.ClickBox(4);
    vboard_fail(failure.function, d2xx::FT_OTHER_ERROR);
    const std::vector<std::string> before = services.lines;

    const ProgramEnded ended = ExpectEnd([&] { panel.InitInterface(); });
    EXPECT_FALSE(ended.fault.has_value());
    EXPECT_EQ(services.boxes, std::vector<std::string>{failure.message});
    ASSERT_EQ(services.lines.size(), before.size() + failure.linesBefore);
    EXPECT_EQ(panel.relayByte(), 8) << "the byte is not reset when a step fails";
    EXPECT_EQ(CallNames().back(), failure.function) << "nothing is called after the failing step";
    EXPECT_TRUE(WrittenBytes().empty());
}

INSTANTIATE_TEST_SUITE_P(EachStep, InitFailures,
                         ::testing::Values(InitFailure{"FT_Open", "Open failed", 0},
                                           InitFailure{"FT_SetBaudRate", "Baudraten Einstellungsfehler", 2},
                                           InitFailure{"FT_SetBitMode", "Bitmode fehlerhaft gesetzt", 3}),
                         [](const auto& param) { return std::string(param.param.function); });

TEST_F(PanelOnBoard, ASecondOpenWhileOpenIsRefusedAndEndsTheProgram)
{
    panel.InitInterface();
    services.lines.clear();
    ExpectEnd([&] { panel.InitInterface(); });
    EXPECT_EQ(services.boxes, std::vector<std::string>{"Open failed"});
    EXPECT_TRUE(services.lines.empty());
    EXPECT_TRUE(vboard_is_open()) << "the program ends without closing the device";
}

TEST_F(PanelOnBoard, ARefusedCloseIsReportedAndTheProgramGoesOn)
{
    panel.CloseDevice();  // before any open: handle 0
    EXPECT_EQ(services.boxes, std::vector<std::string>{"Schliessen FTDI Schaltkreis fehlerhaft"});
    EXPECT_EQ(vboard_call_status(0), d2xx::FT_INVALID_HANDLE);

    panel.InitInterface();
    const d2xx::FT_HANDLE handle = panel.devHandle();
    panel.CloseDevice();
    panel.CloseDevice();  // the old handle again
    EXPECT_EQ(services.boxes.size(), 2U);
    EXPECT_EQ(panel.devHandle(), handle) << "closing keeps the handle";
    services.ClickBox(5);
    EXPECT_EQ(services.lines.back(), " 16 ") << "the panel still works";
}

TEST_F(PanelOnBoard, InitAfterCloseOpensAgainWithANewHandle)
{
    panel.InitInterface();
    const d2xx::FT_HANDLE first = panel.devHandle();
    panel.CloseDevice();
    panel.InitInterface();
    EXPECT_NE(panel.devHandle(), first);
    services.ClickBox(3);
    panel.SendState();
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x04});
    EXPECT_TRUE(services.boxes.empty());
}

class WriteFailures : public PanelOnBoard, public ::testing::WithParamInterface<bool> {
protected:
    void Run(const std::function<void()>& write)
    {
        const std::size_t lines = services.lines.size();
        ExpectEnd(write);
        EXPECT_EQ(services.boxes, std::vector<std::string>{"Schreiben fehlerhaft"});
        EXPECT_EQ(services.lines.size(), lines);
    }
    // Runs SendState or ReleaseAll, as the test's parameter says.
    void Command() { GetParam() ? panel.ReleaseAll() : panel.SendState(); }
};

TEST_P(WriteFailures, BeforeAnyInitialisationTheHandleIsRefused)
{
    Run([&] { Command(); });
    EXPECT_EQ(vboard_call_status(0), d2xx::FT_INVALID_HANDLE);
}

TEST_P(WriteFailures, AfterCloseTheOldHandleIsRefused)
{
    panel.InitInterface();
    panel.CloseDevice();
    services.lines.clear();
    Run([&] { Command(); });
    EXPECT_TRUE(WrittenBytes().empty());
}

TEST_P(WriteFailures, ARefusedWriteEndsTheProgram)
{
    panel.InitInterface();
    services.lines.clear();
    vboard_fail("FT_Write", d2xx::FT_IO_ERROR);
    Run([&] { Command(); });
}

TEST_P(WriteFailures, AShortWriteIsAFailedWrite)
{
    panel.InitInterface();
    services.ClickBox(6);
    panel.SendState();
    services.ClickBox(6);  // unticked again, so ReleaseAll has nothing to echo
    services.lines.clear();
    vboard_short_write(1);
    Run([&] { Command(); });
    EXPECT_EQ(vboard_call_status(vboard_call_count() - 1), d2xx::FT_OK) << "the driver itself said yes";
    EXPECT_EQ(vboard_relays(), 0x20) << "the board took nothing";
}

INSTANTIATE_TEST_SUITE_P(SendStateAndReleaseAll, WriteFailures, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "ReleaseAll" : "SendState"; });

}  // namespace
