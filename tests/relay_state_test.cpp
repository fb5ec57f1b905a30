// The relay state byte: weights, the echo, and how box changes compose it.
#include "recording_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

namespace {

std::vector<std::string> Echoes(std::initializer_list<int> values)
{
    std::vector<std::string> lines;
    for (int value : values) {
        lines.push_back(FormatNumberLine(static_cast<std::uint8_t>(value)));
    }
    return lines;
}

TEST(EchoFormat, NumberLineIsBlankDigitsBlank)
{
    EXPECT_EQ(FormatNumberLine(0), " 0 ");
    EXPECT_EQ(FormatNumberLine(5), " 5 ");
    EXPECT_EQ(FormatNumberLine(128), " 128 ");
    EXPECT_EQ(FormatNumberLine(255), " 255 ");
}

TEST(EchoFormat, StatusPrintOfANumberGoesThroughTheTextLine)
{
    RecordingServices services;
    services.StatusPrint(std::uint8_t{0});
    services.StatusPrint(std::uint8_t{255});
    EXPECT_EQ(services.lines, (std::vector<std::string>{" 0 ", " 255 "}));
}

TEST(RelayWeights, EachRelayOwnsItsBit)
{
    for (int relay = 1; relay <= 8; ++relay) {
        EXPECT_EQ(RelayWeight(relay), 1U << (relay - 1)) << "relay " << relay;
    }
}

TEST(ToggleRelay, TickingOneBoxAloneEchoesItsWeight)
{
    for (int relay = 1; relay <= 8; ++relay) {
        PanelUnderTest t;
        t.services.ClickBox(relay);
        EXPECT_EQ(t.panel.relayByte(), RelayWeight(relay));
        EXPECT_EQ(t.services.lines, std::vector<std::string>{FormatNumberLine(RelayWeight(relay))})
            << "relay " << relay;
    }
}

TEST(ToggleRelay, TickOneThenThreeThenUntickOneEchoes1Then5Then4)
{
    PanelUnderTest t;
    t.services.ClickBox(1);
    t.services.ClickBox(3);
    t.services.ClickBox(1);
    EXPECT_EQ(t.services.lines, Echoes({1, 5, 4}));
    EXPECT_EQ(t.panel.relayByte(), 4);
}

TEST(ToggleRelay, AllTickedInAnyOrderEndsAt255AndAllUntickedAt0)
{
    std::mt19937 random(20261207);
    std::array<int, 8> order{};
    std::iota(order.begin(), order.end(), 1);
    for (int round = 0; round < 20; ++round) {
        PanelUnderTest t;
        std::shuffle(order.begin(), order.end(), random);
        unsigned expected = 0;
        for (int relay : order) {
            t.services.ClickBox(relay);
            expected |= RelayWeight(relay);
            ASSERT_EQ(t.panel.relayByte(), expected);
        }
        EXPECT_EQ(t.panel.relayByte(), 255);
        EXPECT_EQ(t.services.lines.back(), " 255 ");
        std::shuffle(order.begin(), order.end(), random);
        for (int relay : order) {
            t.services.ClickBox(relay);
            expected &= ~unsigned{RelayWeight(relay)};
            ASSERT_EQ(t.panel.relayByte(), expected);
        }
        EXPECT_EQ(t.services.lines.back(), " 0 ");
        EXPECT_EQ(t.services.lines.size(), 16U);
    }
}

TEST(ToggleRelay, OnlyTheValueOneCountsAsTicked)
{
    PanelUnderTest t;
    t.services.ClickBox(4);
    ASSERT_EQ(t.panel.relayByte(), 8);
    for (int odd : {2, -1, 255}) {
        t.services.values[3] = odd;
        t.panel.ToggleRelay(4);
        EXPECT_EQ(t.panel.relayByte(), 0) << "box value " << odd;
    }
}

TEST(ToggleRelay, NeverReachesTheDriver)
{
    // No driver library is loaded for toggles: the boxes work without one,
    // and a fatal driver report would throw here.
    PanelUnderTest t;
    for (int relay = 1; relay <= 8; ++relay) {
        EXPECT_NO_THROW(t.services.ClickBox(relay));
    }
    EXPECT_TRUE(t.services.boxes.empty());
    EXPECT_TRUE(t.panel.outFrame().empty());
}

TEST(ApplyBoxChange, SetsAndClearsOnlyTheRelaysOwnBit)
{
    // The byte can disagree with the boxes after a reset; a change must never
    // borrow into, or carry out of, other relays' bits.
    EXPECT_EQ(ApplyBoxChange(0x80, 1, 0), 0x80);  // clearing an unset bit
    EXPECT_EQ(ApplyBoxChange(0x00, 2, 0), 0x00);
    EXPECT_EQ(ApplyBoxChange(0xFF, 8, 1), 0xFF);  // setting a set bit
    EXPECT_EQ(ApplyBoxChange(0x7F, 8, 1), 0xFF);
    EXPECT_EQ(ApplyBoxChange(0xFF, 3, 0), 0xFB);
}

TEST(RelayNumbers, OnlyDecimalOneToEightAreRelays)
{
    using Fault = RelayNumber::Fault;
    for (int relay = 1; relay <= 8; ++relay) {
        const RelayNumber parsed = ParseRelayNumber(std::to_string(relay));
        EXPECT_EQ(parsed.fault, Fault::None) << relay;
        EXPECT_EQ(parsed.relay, relay);
    }
    for (const char* word : {"0", "9", "-1", "4294967297", "99999999999999999999"}) {
        EXPECT_EQ(ParseRelayNumber(word).fault, Fault::OutOfRange) << word;
    }
    for (const char* word : {"", "x", "3x", "+3", " 3", "3 ", "0x3", "3.0"}) {
        EXPECT_EQ(ParseRelayNumber(word).fault, Fault::NotANumber) << '"' << word << '"';
    }
}

TEST(RelaySetByte, EachNamedRelayOnceOthersOff)
{
    EXPECT_EQ(RelaySetByte(std::vector<int>{1, 3, 8}), 0x85);
    EXPECT_EQ(RelaySetByte(std::vector<int>{8, 3, 1, 3}), 0x85);
    EXPECT_EQ(RelaySetByte(std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}), 0xFF);
    EXPECT_EQ(RelaySetByte(std::vector<int>{}), 0x00);
}

TEST(RelayChanges, TouchOnlyTheNamedRelaysWhateverTheirState)
{
    // Relays 1, 3 and 8 on; relays 3 (on) and 4 (off) named.
    const std::uint8_t lines = 0x85;
    const std::uint8_t named = 0x0C;
    EXPECT_EQ(ApplyRelayChange(lines, RelayChange::On, named), 0x8D);
    EXPECT_EQ(ApplyRelayChange(lines, RelayChange::Off, named), 0x81);
    EXPECT_EQ(ApplyRelayChange(lines, RelayChange::Toggle, named), 0x89);
}

TEST(RelaysIn, NamesTheRelayOfEachSetBitInAscendingOrder)
{
    EXPECT_EQ(RelaysIn(0x00), std::vector<int>{});
    EXPECT_EQ(RelaysIn(0x85), (std::vector<int>{1, 3, 8}));
    EXPECT_EQ(RelaysIn(0xFF), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
