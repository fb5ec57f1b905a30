// relayctl on the virtual relay board, the whole program run in this process
// through the real binding: what lands on the relays, the driver calls, what
// it prints and the exit status.
#include "board_record.h"
#include "cli/relayctl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome Relayctl(const std::vector<std::string_view>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunRelayctl(args, out, err);
    return {status, out.str(), err.str()};
}

const std::vector<std::string> kOneRun = {"FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write", "FT_Close"};

class RelayctlOnBoard : public ::testing::Test {
protected:
    void SetUp() override { vboard_reset(); }
};

TEST_F(RelayctlOnBoard, SetLandsTheNamedRelaysInOneRunOfTheFiveCalls)
{
    const Outcome outcome = Relayctl({"set", "1", "3", "8"});

    EXPECT_EQ(outcome.status, kRelayctlDone);
    EXPECT_EQ(outcome.out, "relays on: 1 3 8\n");
    EXPECT_EQ(outcome.err, "") << "the panel's status lines are not the result";
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x85});
    EXPECT_EQ(vboard_relays(), 0x85);
    EXPECT_EQ(CallNames(), kOneRun);
    EXPECT_EQ(vboard_baud_rate(), 300U);
    EXPECT_EQ(vboard_bit_mask(), 0xFF);
    EXPECT_EQ(vboard_bit_mode(), 1);
    EXPECT_FALSE(vboard_is_open());
}

TEST_F(RelayctlOnBoard, OffLandsZeroAndARelayNamedTwiceIsFine)
{
    ASSERT_EQ(Relayctl({"set", "2", "2"}).out, "relays on: 2\n");
    ASSERT_EQ(vboard_relays(), 0x02);

    const Outcome outcome = Relayctl({"off"});

    EXPECT_EQ(outcome.status, kRelayctlDone);
    EXPECT_EQ(outcome.out, "all relays off\n");
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x02, 0x00}));
    EXPECT_EQ(vboard_relays(), 0x00);
    std::vector<std::string> twoRuns = kOneRun;
    twoRuns.insert(twoRuns.end(), kOneRun.begin(), kOneRun.end());
    EXPECT_EQ(CallNames(), twoRuns);
}

TEST_F(RelayctlOnBoard, BadInputExitsTwoWithTheUsageAndNeverCallsTheDriver)
{
    const std::vector<std::vector<std::string_view>> lines = {{},
                                                              {"switch", "1"},
                                                              {"set"},
                                                              {"set", "9"},
                                                              {"set", "0"},
                                                              {"set", "1", "x"},
                                                              {"set", "-3"},
                                                              {"set", "2.5"},
                                                              {"off", "1"},
                                                              {"-v"},
                                                              {"--help", "set"}};
    for (const auto& args : lines) {
        const Outcome outcome = Relayctl(args);
        const std::string reason = outcome.err.substr(0, outcome.err.find('\n'));
        EXPECT_EQ(outcome.status, kRelayctlUsage) << reason;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(reason.rfind("relayctl: ", 0), 0U) << reason;
        EXPECT_NE(outcome.err.find("\nusage: relayctl set RELAY...\n"), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(vboard_call_count(), 0U) << "the board is never opened";
}

TEST_F(RelayctlOnBoard, ARefusedStepIsNamedOnStderrAndExitsOne)
{
    ASSERT_EQ(vboard_fail("FT_SetBitMode", 4), 0);

    const Outcome outcome = Relayctl({"set", "4"});

    EXPECT_EQ(outcome.status, kRelayctlFailed);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "relayctl: Bitmode fehlerhaft gesetzt\n");
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"FT_Open", "FT_SetBaudRate", "FT_SetBitMode"}));
    EXPECT_TRUE(WrittenBytes().empty());
}

}  // namespace
