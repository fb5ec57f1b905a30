// relayctl on the virtual relay board, the whole program run in this process
// through the real binding: what lands on the relays, the driver calls in
// their order, what it prints and the exit status. Runs of separate
// processes are tested by relayctl_processes.sh.
#include "board_record.h"
#include "cli/command_line.h"
#include "cli/relayctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

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

// The board chosen from the list and opened by its serial number.
const std::vector<std::string> kChosen = {"FT_CreateDeviceInfoList", "FT_GetDeviceInfoDetail", "FT_OpenEx",
                                          "FT_SetBaudRate", "FT_SetBitMode"};

std::vector<std::string> Then(std::vector<std::string> calls, const std::vector<std::string>& more)
{
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

class RelayctlOnBoard : public ::testing::Test {
protected:
    void SetUp() override { vboard_reset(); }
};

TEST_F(RelayctlOnBoard, SetWritesTheWholeByteWithoutReadingBack)
{
    const Outcome outcome = Relayctl({"set", "1", "3", "8"});

    EXPECT_EQ(outcome.status, kRelayctlDone);
    EXPECT_EQ(outcome.out, "relays on: 1 3 8\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x85});
    EXPECT_EQ(CallNames(), Then(kChosen, {"FT_Write", "FT_Close"}));
    EXPECT_EQ(vboard_baud_rate(), 300U);
    EXPECT_EQ(vboard_bit_mask(), 0xFF);
    EXPECT_EQ(vboard_bit_mode(), 1);
    EXPECT_FALSE(vboard_is_open());
}

TEST_F(RelayctlOnBoard, OnOffAndToggleReadTheLinesAndChangeOnlyTheNamedRelays)
{
    ASSERT_EQ(Relayctl({"set", "1", "2"}).status, kRelayctlDone);
    const auto before = static_cast<std::ptrdiff_t>(vboard_call_count());

    EXPECT_EQ(Relayctl({"on", "3", "3"}).out, "relays on: 1 2 3\n");
    const std::vector<std::string> calls = CallNames();
    EXPECT_EQ(std::vector(calls.begin() + before, calls.end()),
              Then(kChosen, {"FT_GetBitMode", "FT_Write", "FT_Close"}));
    EXPECT_EQ(Relayctl({"off", "1"}).out, "relays on: 2 3\n");
    EXPECT_EQ(Relayctl({"toggle", "3", "8"}).out, "relays on: 2 8\n");
    EXPECT_EQ(Relayctl({"get"}).out, "relays on: 2 8\n");
    EXPECT_EQ(Relayctl({"get", "8"}).out, "on\n");
    EXPECT_EQ(Relayctl({"get", "1"}).out, "off\n");
    EXPECT_EQ(Relayctl({"off"}).out, "all relays off\n");

    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x03, 0x07, 0x06, 0x82, 0x00}));
    EXPECT_EQ(vboard_relays(), 0x00);
}

TEST_F(RelayctlOnBoard, PulseWritesTheRelayOnThenTheLinesAsTheyWere)
{
    ASSERT_EQ(Relayctl({"set", "5"}).status, kRelayctlDone);

    const Outcome outcome = Relayctl({"pulse", "2", "1ms"});

    EXPECT_EQ(outcome.status, kRelayctlDone);
    EXPECT_EQ(outcome.out, "relays on: 5\n");
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x10, 0x12, 0x10}));

    const Outcome already = Relayctl({"pulse", "5", "1ms"});
    EXPECT_EQ(already.status, kRelayctlDone);
    EXPECT_EQ(already.err, "relayctl: relay 5 is on already; it stays on\n");
    EXPECT_EQ(WrittenBytes().size(), 3U) << "a relay that is on is left alone";
}

TEST_F(RelayctlOnBoard, BadInputExitsTwoWithTheUsageAndNeverCallsTheDriver)
{
    const std::vector<std::vector<std::string_view>> lines = {{},
                                                              {"switch", "1"},
                                                              {"on"},
                                                              {"toggle"},
                                                              {"set", "9"},
                                                              {"on", "0"},
                                                              {"on", "x"},
                                                              {"set", "-3"},
                                                              {"get", "1", "2"},
                                                              {"list", "1"},
                                                              {"pulse", "3"},
                                                              {"pulse", "3", "2"},
                                                              {"pulse", "3", "0.5ms"},
                                                              {"pulse", "9", "1s"},
                                                              {"-s"},
                                                              {"-s", "", "get"},
                                                              {"--wait", "x", "get"},
                                                              {"-s", "A1", "list"},
                                                              {"-v"},
                                                              {"--help", "set"}};
    for (const auto& args : lines) {
        const Outcome outcome = Relayctl(args);
        const std::string reason = outcome.err.substr(0, outcome.err.find('\n'));
        EXPECT_EQ(outcome.status, kRelayctlUsage) << reason;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(reason.rfind("relayctl: ", 0), 0U) << reason;
        EXPECT_NE(outcome.err.find("\nusage: relayctl [-s SERIAL]"), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(vboard_call_count(), 0U) << "the board is never opened";
}

TEST_F(RelayctlOnBoard, ARefusedStepIsNamedWithItsStatusAndExitsOne)
{
    ASSERT_EQ(vboard_fail("FT_SetBitMode", 4), 0);
    Outcome outcome = Relayctl({"on", "4"});
    EXPECT_EQ(outcome.status, kRelayctlFailed);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "relayctl: FT_SetBitMode failed: FT_IO_ERROR\n");
    EXPECT_TRUE(WrittenBytes().empty());

    vboard_reset();
    vboard_short_write(1);
    outcome = Relayctl({"set", "4"});
    EXPECT_EQ(outcome.status, kRelayctlFailed);
    EXPECT_EQ(outcome.err, "relayctl: FT_Write failed: the board took 0 of 1 byte\n");
    EXPECT_FALSE(vboard_is_open()) << "a failed run closes the board";
}

TEST_F(RelayctlOnBoard, OffAndGetOfOneRelayTellThatRelay)
{
    ASSERT_EQ(Relayctl({"set", "1", "3"}).status, kRelayctlDone);

    EXPECT_EQ(Relayctl({"off", "2"}).out, "relays on: 1 3\n") << "a relay that is off stays off";
    EXPECT_EQ(Relayctl({"--json", "get", "3"}).out, R"({"serial":"VBOARD01","relay":3,"state":"on"})"
                                                    "\n");
    EXPECT_EQ(vboard_relays(), 0x05);
}

// The driver answers a board it cannot open for want of permission as it
// answers a board in use; the list shows it free, so there is nothing to wait
// for beyond the quarter second in which a holder that just let go could
// still be on its way out, tried again every few milliseconds, not in a spin.
TEST_F(RelayctlOnBoard, ARefusalOfAFreeBoardIsReportedWithoutWaiting)
{
    ASSERT_EQ(vboard_fail("FT_OpenEx", 3), 0);
    const auto started = std::chrono::steady_clock::now();

    const Outcome outcome = Relayctl({"--wait", "5", "on", "1"});

    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_GE(took, std::chrono::milliseconds(240)) << "refusals of a board listed free are tried again for 250 ms";
    const std::vector<std::string> calls = CallNames();
    const auto opens = std::count(calls.begin(), calls.end(), "FT_OpenEx");
    EXPECT_GE(opens, 10);
    EXPECT_LE(opens, 30) << "one open every 10 ms, not a busy loop";
    EXPECT_EQ(outcome.status, kRelayctlFailed);
    EXPECT_EQ(outcome.err, "relayctl: FT_OpenEx failed: FT_DEVICE_NOT_OPENED\n");
}

// Sets an environment variable of this process, or unsets it for nullptr.
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

// Board A1 beside C3, an FT232H: another FTDI chip, which carries no relay board.
class RelayctlBesideAnotherChip : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironment("VBOARD_SERIALS", "C3,A1");
        SetEnvironment("VBOARD_FT232H", "C3");
        vboard_reset();
    }
    void TearDown() override
    {
        SetEnvironment("VBOARD_SERIALS", nullptr);
        SetEnvironment("VBOARD_FT232H", nullptr);
        vboard_reset();
    }
};

TEST_F(RelayctlBesideAnotherChip, IsNeitherListedNorChosenNorOpenedByItsSerialNumber)
{
    EXPECT_EQ(Relayctl({"list"}).out, "A1\tVirtual relay board\n");
    const Outcome chosen = Relayctl({"on", "2"});
    EXPECT_EQ(chosen.status, kRelayctlDone) << chosen.err;

    const Outcome named = Relayctl({"-s", "C3", "on", "1"});
    EXPECT_EQ(named.status, kRelayctlFailed);
    EXPECT_EQ(named.err, "relayctl: no relay board with serial number 'C3'; attached: A1\n");
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x02});
    const std::vector<std::string> calls = CallNames();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "FT_OpenEx"), 1) << "only A1 opened";
}

TEST(RelayctlCommandLine, TakesOptionValuesAfterAnEqualsSignAndEndsOptionsAtDoubleDash)
{
    const auto parse = [](std::vector<std::string_view> args) { return ParseCommandLine(args).request; };

    const auto waited = parse({"--wait=0.3", "get"});
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->wait, std::chrono::milliseconds(300));
    const auto named = parse({"--serial=B2", "on", "1"});
    ASSERT_TRUE(named);
    EXPECT_EQ(named->serial, "B2");
    const auto ended = parse({"--", "get"});
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->command, Request::Command::Get);
}

TEST(PulseDuration, TakesANumberAndAUnitFromOneMillisecondToADay)
{
    using std::chrono::microseconds;
    EXPECT_EQ(ParseDuration("500ms"), microseconds(500'000));
    EXPECT_EQ(ParseDuration("1ms"), microseconds(1'000));
    EXPECT_EQ(ParseDuration("1.5s"), microseconds(1'500'000));
    EXPECT_EQ(ParseDuration("0.25min"), microseconds(15'000'000));
    EXPECT_EQ(ParseDuration("24h"), std::chrono::hours(24));
    for (const std::string_view word :
         {"0.5ms", "0s", "24.001h", "25h", "2", "s", "1.s", ".5s", "-1s", "1e3ms", "1 s", "2m", "99999999999h"}) {
        EXPECT_EQ(ParseDuration(word), std::nullopt) << word;
    }
}

}  // namespace
