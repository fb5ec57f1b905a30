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
#include <filesystem>
#include <fstream>
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
        EXPECT_NE(outcome.err.find("\nusage: relayctl [-s BOARD]"), std::string::npos) << outcome.err;
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

// A boards file written into the test's own folder; its path.
std::string BoardsFile(const std::string& name, const std::string& text)
{
    const char* folder = std::getenv("VBOARD_DIR");  // NOLINT(concurrency-mt-unsafe): no other thread runs
    const std::filesystem::path path =
        std::filesystem::path(folder != nullptr ? folder : std::filesystem::temp_directory_path().string()) / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

// Whether a byte has two relays of one of the groups on.
bool BreaksAGroup(std::uint8_t byte, std::initializer_list<std::uint8_t> groups)
{
    return std::any_of(groups.begin(), groups.end(), [&](std::uint8_t group) {
        const unsigned on = byte & group;
        return on != 0 && (on & (on - 1)) != 0;
    });
}

// The variable that names the folder of the user's boards file.
#if defined(_WIN32)
constexpr const char* kUserFolder = "APPDATA";
#else
constexpr const char* kUserFolder = "XDG_CONFIG_HOME";
#endif

class RelayctlWithBoardsFile : public RelayctlOnBoard {
protected:
    void TearDown() override
    {
        SetEnvironment("VBOARD_SERIALS", nullptr);
        SetEnvironment("VBOARD_ACTIVE_LOW", nullptr);
        SetEnvironment(kUserFolder, nullptr);
        vboard_reset();
    }

    const std::string m_garden = BoardsFile("garden.conf", "[board VBOARD01]\n"
                                                           "name = garden\n"
                                                           "relay.3 = pump\n"
                                                           "relay.4 = garden lights\n");
};

TEST_F(RelayctlWithBoardsFile, NamesARelayAndABoardWhereverANumberOrASerialNumberIsTaken)
{
    const std::string_view file = m_garden;
    EXPECT_EQ(Relayctl({"--boards", file, "on", "pump"}).out, "relays on: 3 (pump)\n");
    EXPECT_EQ(Relayctl({"--boards", file, "-s", "garden", "on", "garden lights", "1"}).out,
              "relays on: 1 3 (pump) 4 (garden lights)\n");
    EXPECT_EQ(Relayctl({"--boards", file, "off", "pump"}).out, "relays on: 1 4 (garden lights)\n");
    EXPECT_EQ(Relayctl({"--boards", file, "get", "garden lights"}).out, "on\n");
    EXPECT_EQ(Relayctl({"--boards", file, "--json", "get", "pump"}).out,
              R"({"serial":"VBOARD01","name":"garden","relay":3,"relay_name":"pump","state":"off"})"
              "\n");
    EXPECT_EQ(
        Relayctl({"--boards", file, "--json", "get"}).out,
        R"({"serial":"VBOARD01","name":"garden","byte":9,"on":[1,4],"relay_names":{"3":"pump","4":"garden lights"}})"
        "\n");
    EXPECT_EQ(Relayctl({"--boards", file, "list"}).out, "VBOARD01\tVirtual relay board\tname=garden\n");
    EXPECT_EQ(Relayctl({"--boards", file, "--json", "list"}).out,
              R"({"boards":[{"serial":"VBOARD01","description":"Virtual relay board","in_use":false,"name":"garden"}]})"
              "\n");
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x04, 0x0D, 0x09}));

    // The user's file is read where no file is named.
    SetEnvironment(kUserFolder, std::filesystem::path(file).parent_path().append("config").string().c_str());
    BoardsFile("config/relaypanel/boards.conf", "[board VBOARD01]\nrelay.2 = well\n");
    EXPECT_EQ(Relayctl({"on", "well"}).out, "relays on: 1 2 (well) 4\n");
}

TEST_F(RelayctlWithBoardsFile, AnUnknownOrAmbiguousNameIsRefusedWithStatusTwoListingWhatThereIs)
{
    const std::string_view file = m_garden;
    Outcome outcome = Relayctl({"--boards", file, "on", "pumpe"});
    EXPECT_EQ(outcome.status, kRelayctlUsage);
    EXPECT_EQ(outcome.err, "relayctl: no relay is named 'pumpe'; the boards file names pump, garden lights\n");
    EXPECT_EQ(vboard_call_count(), 0U) << "refused before the driver is called";

    // A name another board gives.
    SetEnvironment("VBOARD_SERIALS", "VBOARD01,B2");
    vboard_reset();
    outcome = Relayctl({"--boards", file, "-s", "B2", "on", "pump"});
    EXPECT_EQ(outcome.status, kRelayctlUsage);
    EXPECT_EQ(outcome.err, "relayctl: board B2 has no relay named 'pump'; its relays: 1 to 8\n");
    outcome = Relayctl({"--boards", file, "on", "1"});
    EXPECT_EQ(outcome.err, "relayctl: 2 relay boards are attached (VBOARD01 (garden), B2): name one with -s\n");
    outcome = Relayctl({"--boards", file, "-s", "shed", "on", "1"});
    EXPECT_EQ(outcome.status, kRelayctlFailed);
    EXPECT_EQ(outcome.err, "relayctl: no relay board with serial number 'shed'; attached: VBOARD01 (garden), B2\n");

    // A board named after the serial number of another one attached.
    const std::string clash = BoardsFile("clash.conf", "[board VBOARD01]\nname = B2\n");
    outcome = Relayctl({"--boards", clash, "-s", "B2", "on", "1"});
    EXPECT_EQ(outcome.status, kRelayctlUsage);
    EXPECT_EQ(outcome.err, "relayctl: 'B2' is the name of board VBOARD01 in the boards file and the serial number of "
                           "another board attached (VBOARD01 (B2), B2): name it by its serial number\n");
    EXPECT_TRUE(WrittenBytes().empty());
}

TEST_F(RelayctlWithBoardsFile, AMalformedFileIsRefusedWithItsLineAndStatusTwoBeforeTheDriverIsCalled)
{
    const std::string file = BoardsFile("bad.conf", "[board VBOARD01]\nrelay.9 = pump\n");
    const std::string option = "--boards=" + file;
    for (const std::vector<std::string_view>& args :
         {std::vector<std::string_view>{"--boards", file, "on", "1"}, {option, "list"}}) {
        const Outcome outcome = Relayctl(args);
        EXPECT_EQ(outcome.status, kRelayctlUsage);
        EXPECT_EQ(outcome.err, "relayctl: " + file + ":2: no relay 9: the relays are 1 to 8\n");
    }
    const Outcome missing = Relayctl({"--boards", file + ".missing", "get"});
    EXPECT_EQ(missing.status, kRelayctlUsage);
    EXPECT_EQ(missing.err.rfind("relayctl: " + file + ".missing: cannot read: ", 0), 0U) << missing.err;
    EXPECT_EQ(vboard_call_count(), 0U);
}

// Relays 1 and 2 drive a motor up and down, 5, 6 and 7 choose one of three
// inputs. Every byte written to the wire is read back.
TEST_F(RelayctlWithBoardsFile, NoByteOnTheWireEverCarriesTwoRelaysOfAnInterlockGroupOn)
{
    const std::string file = BoardsFile("motor.conf", "[board VBOARD01]\n"
                                                      "relay.1 = up\n"
                                                      "relay.2 = down\n"
                                                      "interlock = 1 2 pause 200ms\n"
                                                      "interlock = 5 6 7\n");
    const auto run = [&](std::vector<std::string_view> args) {
        args.insert(args.begin(), {"--boards", file});
        return Relayctl(args);
    };
    ASSERT_EQ(run({"on", "up", "5"}).out, "relays on: 1 (up) 5\n");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run({"on", "down"}).out, "relays on: 2 (down) 5\n");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200)) << "the pause";
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x11, 0x10, 0x12}));
    EXPECT_EQ(run({"toggle", "1", "2"}).out, "relays on: 1 (up) 5\n");
    EXPECT_EQ(run({"set", "2", "7"}).out, "relays on: 2 (down) 7\n");
    EXPECT_EQ(run({"pulse", "6", "1ms"}).out, "relays on: 2 (down)\n");
    EXPECT_EQ(run({"on", "up"}).out, "relays on: 1 (up)\n");
    EXPECT_EQ(run({"off"}).out, "all relays off\n");
    // Each relay switched on in a group the others of which were on: those
    // off first, then it on.
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x11, 0x10, 0x12, 0x10, 0x11, 0x00, 0x42, 0x02, 0x22, 0x02,
                                                         0x00, 0x01, 0x00}));

    const std::size_t written = WrittenBytes().size();
    for (const std::vector<std::string_view>& args : {std::vector<std::string_view>{"on", "1", "2"},
                                                      {"set", "5", "6"},
                                                      {"toggle", "up", "down"},
                                                      {"on", "5", "7"}}) {
        const auto calls = static_cast<std::ptrdiff_t>(vboard_call_count());
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, kRelayctlUsage) << args.back();
        EXPECT_NE(outcome.err.find("are an interlock group: at most one of them may be on"), std::string::npos)
            << outcome.err;
        const std::vector<std::string> names = CallNames();
        if (args.front() != "toggle") {
            EXPECT_EQ(std::count(names.begin() + calls, names.end(), "FT_OpenEx"), 0)
                << "refused before the board is opened";
        }
    }
    EXPECT_EQ(WrittenBytes().size(), written) << "refused before any write";
    for (const std::uint8_t byte : WrittenBytes()) {
        EXPECT_FALSE(BreaksAGroup(byte, {0x03, 0x70})) << "0x" << std::hex << int{byte};
    }

    // Both on, switched so by a program that reads no boards file: nothing
    // that leaves them so is written; switching one of them off is.
    const std::string none = BoardsFile("none.conf", "");
    ASSERT_EQ(Relayctl({"--boards", none, "set", "1", "2"}).status, kRelayctlDone);
    const Outcome broken = run({"on", "3"});
    EXPECT_EQ(broken.status, kRelayctlUsage);
    EXPECT_EQ(broken.err, "relayctl: relays 1 (up) and 2 (down) of board VBOARD01 are an interlock group: more than "
                          "one of them is on; switch them off first\n");
    EXPECT_EQ(run({"off", "down"}).out, "relays on: 1 (up)\n");
    EXPECT_EQ(WrittenBytes().back(), 0x01);
}

TEST_F(RelayctlWithBoardsFile, AnActiveLowBoardIsWrittenInvertedAndReadsBackWhatWasAsked)
{
    SetEnvironment("VBOARD_ACTIVE_LOW", "VBOARD01");
    vboard_reset();
    const std::string file = BoardsFile("low.conf", "[board VBOARD01]\nactive_low = yes\n");
    const auto run = [&](std::vector<std::string_view> args) {
        args.insert(args.begin(), {"--boards", file});
        return Relayctl(args);
    };
    EXPECT_EQ(run({"off"}).out, "all relays off\n");
    EXPECT_EQ(run({"on", "3"}).out, "relays on: 3\n");
    EXPECT_EQ(vboard_relays(), 0x04) << "the board pulls in relay 3 alone";
    EXPECT_EQ(run({"get"}).out, "relays on: 3\n");
    EXPECT_EQ(run({"get", "3"}).out, "on\n");
    EXPECT_EQ(run({"--json", "get"}).out, R"({"serial":"VBOARD01","byte":4,"on":[3]})"
                                          "\n");
    EXPECT_EQ(run({"toggle", "1", "3"}).out, "relays on: 1\n");
    EXPECT_EQ(run({"pulse", "2", "1ms"}).out, "relays on: 1\n");
    EXPECT_EQ(run({"set", "1", "8"}).out, "relays on: 1 8\n");
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0xFF, 0xFB, 0xFE, 0xFC, 0xFE, 0x7E}));
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
