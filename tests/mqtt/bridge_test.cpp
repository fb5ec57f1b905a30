// relaymqtt as Home Assistant meets it: a real broker, the bridge a real
// process on the virtual board posing as boards A1 and B2, and a client
// watching every topic.
#include "boards/virtual/state_file.h"
#include "bridge_harness.h"
#include "schema_check.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

namespace {

using namespace bridge_test;
using Json = nlohmann::json;

const std::vector<std::string> kSerials = {"A1", "B2"};
const std::string kBridgeAvailability = "relayboard/bridge/testnode/availability";
const std::string kBridgeDiscovery = "homeassistant/binary_sensor/relaymqtt_testnode/config";

std::string StateTopic(const std::string& serial, int relay)
{
    return "relayboard/" + serial + "/relay/" + std::to_string(relay) + "/state";
}
std::string CommandTopic(const std::string& serial, int relay)
{
    return "relayboard/" + serial + "/relay/" + std::to_string(relay) + "/set";
}
std::string DiscoveryTopic(const std::string& serial, int relay)
{
    return "homeassistant/switch/relayboard_" + serial + "_" + std::to_string(relay) + "/config";
}
std::string AvailabilityTopic(const std::string& serial)
{
    return "relayboard/" + serial + "/availability";
}

bool Has(const std::vector<Message>& received, const std::string& topic)
{
    return std::any_of(received.begin(), received.end(), [&](const Message& m) { return m.topic == topic; });
}

// Whether everything an announcement publishes has arrived: the bridge's
// discovery object and its online, and of both boards the 16 discovery
// objects, the 16 states and the availability.
bool Announced(const std::vector<Message>& received)
{
    if (!Has(received, kBridgeAvailability) || !Has(received, kBridgeDiscovery)) {
        return false;
    }
    for (const std::string& serial : kSerials) {
        if (!Has(received, AvailabilityTopic(serial))) {
            return false;
        }
        for (int relay = 1; relay <= 8; ++relay) {
            if (!Has(received, DiscoveryTopic(serial, relay)) || !Has(received, StateTopic(serial, relay))) {
                return false;
            }
        }
    }
    return true;
}

std::string TestName()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

class BridgeTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::path(MQTT_TEST_SCRATCH) / TestName();
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        m_boards.emplace(m_folder / "boards");
        m_broker.emplace(m_folder, Tls());
        m_watcher.emplace(m_broker->port(), Tls());
    }

    virtual const Certificates* Tls() { return nullptr; }

    std::string Config(const std::string& more = "", int wait = 1) const
    {
        return "host = 127.0.0.1\n"
               "port = " +
               std::to_string(m_broker->port()) +
               "\n"
               "node = testnode\n"
               "poll_interval = 1\n"
               "wait = " +
               std::to_string(wait) + "\n" + more;
    }

    // Config() with another poll interval (0: no read-back), or another port.
    std::string ConfigWith(const std::string& key, int value, const std::string& more = "") const
    {
        std::string text = Config(more);
        const std::size_t at = text.find("\n" + key + " = ") + 1;
        return text.replace(at, text.find('\n', at) - at, key + " = " + std::to_string(value));
    }

    void StartBridge(const std::string& config) { m_bridge.emplace(m_folder, config, *m_boards); }

    // The bridge started, and everything it announces arrived.
    void StartAnnounced(const std::string& config)
    {
        StartBridge(config);
        ASSERT_TRUE(m_watcher->WaitFor(Announced)) << m_bridge->Log();
    }

    std::string Log() const { return m_bridge ? m_bridge->Log() : std::string(); }

    // The test's broker replaced by one with these lines added to its config,
    // and the watcher on that one.
    void ReplaceBroker(const std::string& moreConfig)
    {
        m_watcher.reset();
        fs::create_directories(m_folder / "broker");
        m_broker.emplace(m_folder / "broker", moreConfig);
        m_watcher.emplace(m_broker->port());
    }

    // A sanitizer's report in any program the test ran (the bridge, relayctl)
    // fails the test, even where the program went on or was killed later;
    // so does a discovery config Home Assistant's schema does not take.
    void TearDown() override
    {
        if (m_watcher) {
            ExpectSchemaKept(m_watcher->Received());
        }
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_folder)) {
            if (entry.path().extension() == ".log") {
                std::ifstream file(entry.path());
                const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
                EXPECT_EQ(CountOf(text, "Sanitizer"), 0) << entry.path() << ":\n" << text;
            }
        }
    }

    // Every config message among `received` checked against Home
    // Assistant's schema; an empty one removes an entity and has none.
    static void ExpectSchemaKept(const std::vector<Message>& received)
    {
        static const DiscoverySchema schema(HOME_ASSISTANT_SCHEMA);
        for (const Message& message : received) {
            const std::string prefix = "homeassistant/";
            if (!message.topic.starts_with(prefix) || !message.topic.ends_with("/config") || message.payload.empty()) {
                continue;
            }
            const std::string component =
                message.topic.substr(prefix.size(), message.topic.find('/', prefix.size()) - prefix.size());
            const Json config = Json::parse(message.payload, nullptr, false);
            EXPECT_EQ(schema.Faults(component, config), std::vector<std::string>())
                << message.topic << ": " << message.payload;
        }
    }

    fs::path m_folder;
    std::optional<Boards> m_boards;
    std::optional<Broker> m_broker;
    std::optional<Watcher> m_watcher;
    std::optional<Bridge> m_bridge;
};

TEST_F(BridgeTest, AnnouncesEveryRelayOfBothBoardsRetainedForHomeAssistant)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    // A client that subscribes now gets all of it from the broker: retained.
    Watcher late(m_broker->port());
    ASSERT_TRUE(late.WaitFor([](const std::vector<Message>& received) {
        return Announced(received) &&
               std::all_of(received.begin(), received.end(), [](const Message& m) { return m.retained; });
    })) << Log();

    for (const std::string& serial : kSerials) {
        EXPECT_EQ(late.Last(AvailabilityTopic(serial)), "online");
        for (int relay = 1; relay <= 8; ++relay) {
            EXPECT_EQ(late.Last(StateTopic(serial, relay)), "OFF");
            const Json object = Json::parse(late.Last(DiscoveryTopic(serial, relay)));
            const std::string id = "relayboard_" + serial + "_" + std::to_string(relay);
            EXPECT_EQ(object.at("unique_id"), id);
            EXPECT_EQ(object.at("command_topic"), CommandTopic(serial, relay));
            EXPECT_EQ(object.at("state_topic"), StateTopic(serial, relay));
        }
    }
    // The entity id asked for carries the domain; the board is connected
    // through the bridge, which is a device of its own with its version.
    const Json expected = {
        {"name", "Relay 3"},
        {"unique_id", "relayboard_B2_3"},
        {"default_entity_id", "switch.relayboard_b2_3"},
        {"command_topic", "relayboard/B2/relay/3/set"},
        {"state_topic", "relayboard/B2/relay/3/state"},
        {"payload_on", "ON"},
        {"payload_off", "OFF"},
        {"state_on", "ON"},
        {"state_off", "OFF"},
        {"qos", 1},
        {"availability",
         {{{"topic", "relayboard/bridge/testnode/availability"}}, {{"topic", "relayboard/B2/availability"}}}},
        {"availability_mode", "all"},
        {"device",
         {{"identifiers", {"relayboard_B2"}},
          {"name", "Relay board B2"},
          {"model", "FT232R eight-relay board"},
          {"serial_number", "B2"},
          {"via_device", "relaymqtt_testnode"}}},
        {"origin", {{"name", "relaymqtt"}, {"sw_version", RELAYMQTT_VERSION}}},
    };
    EXPECT_EQ(Json::parse(late.Last(DiscoveryTopic("B2", 3))), expected);
    const Json bridge = {
        {"name", "Connection"},
        {"unique_id", "relaymqtt_testnode"},
        {"default_entity_id", "binary_sensor.relaymqtt_testnode"},
        {"state_topic", "relayboard/bridge/testnode/availability"},
        {"payload_on", "online"},
        {"payload_off", "offline"},
        {"device_class", "connectivity"},
        {"entity_category", "diagnostic"},
        {"qos", 1},
        {"device",
         {{"identifiers", {"relaymqtt_testnode"}},
          {"name", "Relay bridge testnode"},
          {"model", "relaymqtt"},
          {"sw_version", RELAYMQTT_VERSION}}},
        {"origin", {{"name", "relaymqtt"}, {"sw_version", RELAYMQTT_VERSION}}},
    };
    EXPECT_EQ(Json::parse(late.Last(kBridgeDiscovery)), bridge);
}

TEST_F(BridgeTest, SchemaCheckRefusesWhatHomeAssistantWouldNotTake)
{
    // The check TearDown makes of every config: each of these faults must be
    // named, or a config with one would pass it.
    const DiscoverySchema schema(HOME_ASSISTANT_SCHEMA);
    const Json good = {
        {"unique_id", "relayboard_B2_3"},
        {"default_entity_id", "switch.relayboard_b2_3"},
        {"command_topic", "relayboard/B2/relay/3/set"},
        {"qos", 1},
        {"device", {{"identifiers", {"relayboard_B2"}}, {"serial_number", "A/1#"}}},
        {"origin", {{"name", "relaymqtt"}}},
    };
    ASSERT_EQ(schema.Faults("switch", good), std::vector<std::string>());
    const std::vector<std::pair<Json, std::string>> faulty = {
        {{{"object_id", "relayboard_B2_3"}}, "object_id: deprecated"},
        {{{"frobnicate", 1}}, "frobnicate: unknown key"},
        {{{"cmd_t", "relayboard/B2/relay/3/set"}}, "cmd_t: unknown key"},
        {{{"qos", "1"}}, "qos: \"1\" is not of type integer"},
        {{{"qos", 3}}, "qos: 3 is not one of"},
        {{{"default_entity_id", "relayboard_b2_3"}}, "default_entity_id: \"relayboard_b2_3\" is not of type entity_id"},
        {{{"default_entity_id", "light.relayboard_b2_3"}}, "is not of type entity_id in the domain switch"},
        {{{"default_entity_id", "switch.relayboard_B2_3"}}, "is not of type entity_id"},
        {{{"command_topic", "relayboard/+/relay/3/set"}}, "command_topic: \"relayboard/+/relay/3/set\" is not of type"},
        {{{"availability_mode", "most"}}, "availability_mode: \"most\" is not one of"},
        {{{"device", {{"serial_number", "B2"}}}}, "device.: needs one of"},
        {{{"device", {{"identifiers", {"x"}}, {"sw", "1"}}}}, "device.sw: unknown key"},
        {{{"origin", Json::object()}}, "origin.name: required, missing"},
        {{{"command_topic", nullptr}}, "command_topic: null is not of type publish_topic"},
    };
    for (const auto& [change, fault] : faulty) {
        Json config = good;
        config.update(change);
        const std::vector<std::string> faults = schema.Faults("switch", config);
        EXPECT_TRUE(faults.size() == 1 && faults.front().find(fault) != std::string::npos)
            << change.dump() << ": " << testing::PrintToString(faults);
    }
    Json noTopic = good;
    noTopic.erase("command_topic");
    EXPECT_EQ(schema.Faults("switch", noTopic), std::vector<std::string>{"command_topic: required, missing"});
}

TEST_F(BridgeTest, OnForOneRelaySwitchesExactlyThatLineAndIsAnsweredRetained)
{
    ASSERT_EQ(m_boards->Relayctl({"-s", "B2", "set", "1", "8"}), 0);
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));

    m_watcher->Publish(CommandTopic("B2", 3), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 3), "ON")) << Log();
    EXPECT_EQ(m_boards->Lines("B2"), 0x85);
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    Watcher late(m_broker->port());
    EXPECT_TRUE(late.WaitFor([](const std::vector<Message>& received) {
        return std::any_of(received.begin(), received.end(), [](const Message& m) {
            return m.topic == StateTopic("B2", 3) && m.payload == "ON" && m.retained;
        });
    }));

    m_watcher->Publish(CommandTopic("B2", 8), "OFF");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 8), "OFF")) << Log();
    EXPECT_EQ(m_boards->Lines("B2"), 0x05);
}

TEST_F(BridgeTest, CommandsInABurstAreAllCarriedOutInTheOrderTheyCame)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_watcher->Forget();
    for (int relay = 1; relay <= 8; ++relay) {
        m_watcher->Publish(CommandTopic("B2", relay), "ON");
    }
    m_watcher->Publish(CommandTopic("B2", 1), "OFF");
    ASSERT_TRUE(m_watcher->WaitFor([](const std::vector<Message>& received) {
        return std::count_if(received.begin(), received.end(), [](const Message& m) {
                   return m.topic.starts_with("relayboard/B2/relay/") && m.topic.ends_with("/state");
               }) == 9;
    })) << Log();
    EXPECT_EQ(m_boards->Lines("B2"), 0xFE);
    EXPECT_EQ(m_watcher->Last(StateTopic("B2", 1)), "OFF");
}

TEST_F(BridgeTest, WithoutReadBackEveryCommandIsAnsweredAtOnceAndTheBridgeIdles)
{
    ASSERT_EQ(m_boards->Relayctl({"-s", "B2", "set", "3"}), 0);
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(ConfigWith("poll_interval", 0)));
    m_watcher->Forget();
    // OFF for a relay that is off, ON twice for one that is on: nothing
    // changes, and each is answered.
    m_watcher->Publish(CommandTopic("B2", 1), "OFF");
    m_watcher->Publish(CommandTopic("B2", 3), "ON");
    m_watcher->Publish(CommandTopic("B2", 3), "ON");
    EXPECT_TRUE(m_watcher->WaitFor(
        [](const std::vector<Message>& received) {
            return std::count_if(received.begin(), received.end(),
                                 [](const Message& m) { return m.topic.ends_with("/state"); }) == 3;
        },
        2s))
        << Log();
    EXPECT_EQ(m_boards->Lines("B2"), 0x04);
    EXPECT_EQ(m_watcher->Last(StateTopic("B2", 1)), "OFF");
    EXPECT_EQ(m_watcher->On(StateTopic("B2", 3)).size(), 2U) << Log();

    // Nothing reads the boards now: a change made by relayctl stays unseen,
    // and the bridge uses next to no processor time.
    m_watcher->Forget();
    const auto before = ProcessorTime(m_bridge->process().pid());
    EXPECT_EQ(m_boards->Relayctl({"-s", "A1", "on", "7"}), 0);
    std::this_thread::sleep_for(2s);
    const auto used = ProcessorTime(m_bridge->process().pid()) - before;
    EXPECT_LT(used, 200ms) << used.count() << " ms in 2 s";
    EXPECT_TRUE(m_watcher->Received().empty()) << m_watcher->Received().front().topic;
}

TEST_F(BridgeTest, CommandThatFindsItsBoardUnpluggedOrCannotWriteShowsTheBoardOffline)
{
    // The bridge's first write fails; no read-back, so only commands find out.
    m_bridge.emplace(m_folder, ConfigWith("poll_interval", 0), *m_boards,
                     std::vector<std::string>{"VBOARD_FAIL_WRITE=1"});
    ASSERT_TRUE(m_watcher->WaitFor(Announced)) << Log();
    m_watcher->Forget();
    m_watcher->Publish(CommandTopic("A1", 1), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "offline")) << Log();
    EXPECT_TRUE(m_watcher->On(StateTopic("A1", 1)).empty());
    // The next write works: the board is back, with the state.
    m_watcher->Publish(CommandTopic("A1", 1), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "online")) << Log();
    EXPECT_EQ(m_watcher->Last(StateTopic("A1", 1)), "ON");
    EXPECT_EQ(m_boards->Lines("A1"), 0x01);

    m_boards->SetUnplugged({"B2"});
    m_watcher->Publish(CommandTopic("B2", 2), "ON");
    EXPECT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("B2"), "offline")) << Log();
    EXPECT_EQ(CountOf(Log(), "relay 2 of board B2 ON: not switched: the board is not attached"), 1) << Log();
}

// A close the driver refuses after a read-back leaves the board in doubt:
// it is shown offline, with the reason in the log.
TEST_F(BridgeTest, BoardWhoseCloseIsRefusedAfterAReadIsShownOffline)
{
    m_bridge.emplace(m_folder, Config(), *m_boards, std::vector<std::string>{"VBOARD_FAIL=FT_Close"});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "offline")) << Log();
    EXPECT_NE(Log().find("FT_Close"), std::string::npos) << Log();
}

TEST_F(BridgeTest, CommandSentWhileTheBridgeWasAwayIsNotCarriedOut)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_bridge->process().Signal(SIGTERM);
    ASSERT_EQ(m_bridge->process().Wait(5s), 0);
    m_watcher->Publish(CommandTopic("A1", 1), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(CommandTopic("A1", 1), "ON"));

    m_bridge.reset();
    m_watcher->Forget();
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_watcher->Publish(CommandTopic("B2", 1), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 1), "ON")) << Log();
    EXPECT_EQ(m_boards->Lines("A1"), 0x00) << Log();
    // The mark the last run left on the broker is no other bridge's.
    EXPECT_EQ(CountOf(Log(), "took over"), 0) << Log();
}

TEST_F(BridgeTest, ChangeMadeByRelayctlShowsWithinOnePollAndNothingElseIsPublished)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    // What the start sends may still be on its way on a loaded machine: the
    // watcher forgets once a quarter second has brought nothing new.
    for (std::size_t before = 0; m_watcher->Received().size() != before;) {
        before = m_watcher->Received().size();
        std::this_thread::sleep_for(250ms);
    }
    m_watcher->Forget();
    ASSERT_EQ(m_boards->Relayctl({"-s", "A1", "on", "7"}), 0);
    // Polled every second.
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 7), "ON", 2500ms)) << Log();
    // A few polls more publish nothing: nothing else changed.
    std::this_thread::sleep_for(2500ms);
    const std::vector<Message> received = m_watcher->Received();
    std::string topics;
    for (const Message& message : received) {
        topics += message.topic + ' ';
    }
    ASSERT_EQ(received.size(), 1U) << topics;
}

TEST_F(BridgeTest, CommandsThatAreNotGoodSwitchNothingAndAreEachLoggedOnce)
{
    // Kept on the broker since before the bridge started: never carried out.
    m_watcher->Publish(CommandTopic("A1", 1), "ON", true);
    ASSERT_TRUE(m_watcher->WaitForLast(CommandTopic("A1", 1), "ON"));
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));

    const std::vector<std::pair<std::string, std::string>> bad = {
        {CommandTopic("A1", 2), "on"},
        {CommandTopic("A1", 2), ""},
        {CommandTopic("A1", 2), "ONONONONONONONONONON"},
        {CommandTopic("A1", 2), "\xFF\xFE"},
        {CommandTopic("A1", 0), "ON"},
        {CommandTopic("A1", 9), "ON"},
        // Another bridge's board: not this one's business.
        {CommandTopic("Z9", 1), "ON"},
    };
    for (const auto& [topic, payload] : bad) {
        m_watcher->Publish(topic, payload);
    }
    // Commands are carried out in order: once this one is answered, every
    // one above has been dealt with.
    m_watcher->Publish(CommandTopic("B2", 8), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 8), "ON")) << Log();

    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    EXPECT_EQ(m_boards->Lines("B2"), 0x80);
    EXPECT_TRUE(m_watcher->On(StateTopic("A1", 1)).size() == 1 && m_watcher->On(StateTopic("A1", 2)).size() == 1);
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/1/set: a retained command"), 1) << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/2/set: payload 'on' is neither ON nor OFF"), 1) << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/2/set: empty payload"), 1) << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/2/set: payload of 20 bytes, longer than any command"), 1)
        << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/2/set: payload is not valid UTF-8"), 1) << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/0/set: no relay 0 on a board"), 1) << log;
    EXPECT_EQ(CountOf(log, "ignored relayboard/A1/relay/9/set: no relay 9 on a board"), 1) << log;
    EXPECT_EQ(CountOf(log, "Z9"), 0) << log;
}

TEST_F(BridgeTest, CommandForAnotherHostsBoardLeavesThisBridgeSilent)
{
    // This host: boards A1 and B2, node testnode. Another host on the same
    // broker: board C3, node otherhost.
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    const Boards otherBoards(m_folder / "other-boards", "C3");
    fs::create_directories(m_folder / "other");
    std::string otherConfig = Config();
    otherConfig.replace(otherConfig.find("testnode"), 8, "otherhost");
    const Bridge other(m_folder / "other", otherConfig, otherBoards);
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("C3"), "online")) << other.Log();

    m_watcher->Publish(CommandTopic("C3", 2), "ON");
    m_watcher->Publish(CommandTopic("A1", 4), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("C3", 2), "ON")) << other.Log();
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 4), "ON")) << Log();
    EXPECT_EQ(otherBoards.Lines("C3"), 0x02);
    EXPECT_EQ(m_boards->Lines("A1"), 0x08);
    EXPECT_EQ(CountOf(Log(), "C3"), 0) << Log();
    EXPECT_EQ(CountOf(other.Log(), "A1"), 0) << other.Log();
}

TEST_F(BridgeTest, BoardHeldByAnotherProgramStaysOnlineAndACommandWaitsForIt)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config("", 5)));
    m_watcher->Forget();
    // relayctl holds A1 for the whole pulse, across a poll or two.
    Child pulse({RELAYCTL_PROGRAM, "-s", "A1", "pulse", "1", "3s"}, m_boards->Environment(), m_folder / "pulse.log");
    std::this_thread::sleep_for(1500ms);
    m_watcher->Publish(CommandTopic("A1", 2), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 2), "ON", 5s)) << Log();
    EXPECT_EQ(pulse.Wait(5s), 0);
    EXPECT_EQ(m_boards->Lines("A1"), 0x02);
    EXPECT_TRUE(m_watcher->On(AvailabilityTopic("A1")).empty()) << Log();
}

TEST_F(BridgeTest, AnnouncementWhileAnotherProgramHoldsABoardShowsItOnline)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    Child pulse({RELAYCTL_PROGRAM, "-s", "A1", "pulse", "1", "3s"}, m_boards->Environment(), m_folder / "pulse.log");
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (m_boards->Lines("A1") != 0x01) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the pulse did not start";
        std::this_thread::sleep_for(20ms);
    }
    m_watcher->Forget();
    m_watcher->Publish("homeassistant/status", "online");
    EXPECT_TRUE(m_watcher->WaitFor(Announced, 2s)) << Log();
    EXPECT_EQ(m_watcher->Last(AvailabilityTopic("A1")), "online");
    EXPECT_EQ(pulse.Wait(5s), 0);
}

TEST_F(BridgeTest, BrokerRestartedGetsEverythingAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_watcher->Publish(CommandTopic("B2", 4), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 4), "ON")) << Log();

    // Without persistence the broker forgets every retained message.
    m_broker->Stop();
    m_broker->Start();
    ASSERT_TRUE(m_bridge->WaitForLog("connected to", 2, 10s)) << Log();
    EXPECT_EQ(CountOf(Log(), "lost the connection to"), 1) << Log();
    Watcher late(m_broker->port());
    ASSERT_TRUE(late.WaitFor(Announced)) << Log();
    EXPECT_EQ(late.Last(StateTopic("B2", 4)), "ON");
    EXPECT_EQ(late.Last(kBridgeAvailability), "online");
    // The new connection subscribed to the boards' commands again.
    late.Publish(CommandTopic("A1", 5), "ON");
    EXPECT_TRUE(late.WaitForLast(StateTopic("A1", 5), "ON")) << Log();
}

TEST_F(BridgeTest, BridgeKilledIsShownOfflineByTheBroker)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_bridge->process().Signal(SIGKILL);
    m_bridge->process().Wait(5s);
    EXPECT_TRUE(m_watcher->WaitForLast(kBridgeAvailability, "offline")) << Log();
    // Kept by the broker, at QoS 1: a Home Assistant that starts now sees it.
    Watcher late(m_broker->port());
    EXPECT_TRUE(late.WaitFor([](const std::vector<Message>& received) {
        return std::any_of(received.begin(), received.end(), [](const Message& m) {
            return m.topic == kBridgeAvailability && m.payload == "offline" && m.retained && m.qos == 1;
        });
    }));
}

TEST_F(BridgeTest, SigtermPublishesOfflineAndEndsWithStatusZero)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_bridge->process().Signal(SIGTERM);
    EXPECT_EQ(m_bridge->process().Wait(5s), 0);
    // After a clean disconnect the broker drops the will: this is the bridge's own.
    EXPECT_TRUE(m_watcher->WaitForLast(kBridgeAvailability, "offline")) << Log();
    EXPECT_EQ(CountOf(Log(), "published offline"), 1) << Log();
}

TEST_F(BridgeTest, SigtermWhileWaitingToReconnectEndsAtOnce)
{
    m_broker->Stop();
    const auto started = std::chrono::steady_clock::now();
    StartBridge(Config());
    // Boards found without a connection are subscribed to at the next one:
    // no failure to tell.
    ASSERT_TRUE(m_bridge->WaitForLog("found board B2", 1, 1400ms)) << Log();
    // Past the first attempts, into a wait of two seconds before the next.
    std::this_thread::sleep_until(started + 1500ms);
    m_bridge->process().Signal(SIGTERM);
    EXPECT_EQ(m_bridge->process().Wait(700ms), 0) << Log();
    EXPECT_EQ(CountOf(Log(), "cannot subscribe"), 0) << Log();
}

TEST_F(BridgeTest, SigtermWhileConnectingToAHostThatDoesNotAnswerEndsAtOnce)
{
    const SilentPort silent;
    StartBridge(ConfigWith("port", silent.port()));
    ASSERT_TRUE(m_bridge->WaitForLog("connecting to")) << Log();
    std::this_thread::sleep_for(500ms);
    m_bridge->process().Signal(SIGTERM);
    EXPECT_EQ(m_bridge->process().Wait(700ms), 0) << Log();
    // Still in its first connect when stopped.
    EXPECT_EQ(CountOf(Log(), "cannot reach"), 0) << Log();
}

TEST_F(BridgeTest, MessagesAndSubscriptionsAreAtQos1)
{
    ReplaceBroker("log_type error\nlog_type warning\nlog_type notice\nlog_type information\nlog_type subscribe\n");
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    for (const Message& message : m_watcher->Received()) {
        EXPECT_EQ(message.qos, 1) << message.topic;
    }
    // The broker logs each subscription: client, QoS asked for, filter.
    const fs::path log = m_folder / "broker" / "mosquitto.log";
    std::string text;
    for (auto deadline = std::chrono::steady_clock::now() + 2s;
         CountOf(text, "relaymqtt-testnode 1 ") < 4 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(20ms);
        std::ifstream file(log);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    // Each board's commands, and nobody else's.
    EXPECT_EQ(CountOf(text, "relaymqtt-testnode 1 relayboard/A1/relay/+/set\n"), 1) << text;
    EXPECT_EQ(CountOf(text, "relaymqtt-testnode 1 relayboard/B2/relay/+/set\n"), 1) << text;
    EXPECT_EQ(CountOf(text, "relaymqtt-testnode 1 homeassistant/status\n"), 1) << text;
    EXPECT_EQ(CountOf(text, "relaymqtt-testnode 1 relayboard/+"), 0) << text;
    // A keep-alive of 30 s: a bridge gone silent has its last will published
    // within 45 s.
    EXPECT_NE(text.find(" as relaymqtt-testnode (p2, c1, k30"), std::string::npos) << text;
}

TEST_F(BridgeTest, UserNameWithoutPasswordIsSentToTheBroker)
{
    // Anonymous clients may only read: the bridge's messages get through as
    // its user alone.
    std::ofstream(m_folder / "acl") << "topic read #\nuser " << kUser << "\ntopic readwrite #\n";
    ReplaceBroker("acl_file " + (m_folder / "acl").string() + "\n");
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config(std::string("username = ") + kUser + "\n")));
    EXPECT_EQ(m_watcher->Last(kBridgeAvailability), "online");
}

TEST_F(BridgeTest, BirthMessageOfHomeAssistantGetsEverythingAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_watcher->Forget();
    m_watcher->Publish("homeassistant/status", "online");
    EXPECT_TRUE(m_watcher->WaitFor(Announced)) << Log();
}

TEST_F(BridgeTest, BoardUnpluggedGoesOfflineAndComesBackOnlineWithItsStates)
{
    ASSERT_EQ(m_boards->Relayctl({"-s", "B2", "set", "2", "5"}), 0);
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    m_watcher->Forget();
    m_boards->SetUnplugged({"B2"});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("B2"), "offline", 3s)) << Log();

    m_watcher->Forget();
    m_boards->SetUnplugged({});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("B2"), "online", 3s)) << Log();
    const std::vector<Message> received = m_watcher->Received();
    for (int relay = 1; relay <= 8; ++relay) {
        const std::vector<Message> state = m_watcher->On(StateTopic("B2", relay));
        ASSERT_EQ(state.size(), 1U) << relay;
        EXPECT_EQ(state.front().payload, relay == 2 || relay == 5 ? "ON" : "OFF") << relay;
    }
    // The states come before the board is shown available.
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().topic, AvailabilityTopic("B2"));
    // A1 was there throughout.
    EXPECT_TRUE(m_watcher->On(AvailabilityTopic("A1")).empty());
}

TEST_F(BridgeTest, BoardPluggedInAfterTheStartIsAnnouncedWhole)
{
    m_boards->SetUnplugged({"B2"});
    StartBridge(Config());
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "online")) << Log();
    ASSERT_FALSE(Has(m_watcher->Received(), AvailabilityTopic("B2")));
    m_boards->SetUnplugged({});
    EXPECT_TRUE(m_watcher->WaitFor(Announced, 3s)) << Log();
    EXPECT_EQ(m_watcher->Last(AvailabilityTopic("B2")), "online");
    // Its commands are subscribed to as it appears.
    m_watcher->Publish(CommandTopic("B2", 7), "ON");
    EXPECT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 7), "ON")) << Log();
}

TEST_F(BridgeTest, ConfigRefusedWithStatusTwoBeforeConnectingOrOpeningABoard)
{
    struct Case {
        std::string name;
        std::string text;
        fs::perms perms;
        std::string error;  // after "relaymqtt: FILE"
    };
    const std::vector<Case> cases = {
        {"unknown-key", Config("frobnicate = 1\n"), fs::perms(0644), ":6: unknown key 'frobnicate'"},
        {"missing-password", Config("username = u\npassword_file = /nonexistent/password\n"), fs::perms(0644),
         ":7: cannot read the password file /nonexistent/password: No such file or directory"},
        {"world-writable", Config(), fs::perms(0666), ": may be written by anyone: take that away (chmod go-w)"},
        {"missing", "", fs::perms::none, ": cannot read: No such file or directory"},
    };
    for (const Case& c : cases) {
        const fs::path file = m_folder / (c.name + ".conf");
        if (!c.text.empty()) {
            std::ofstream(file) << c.text;
            fs::permissions(file, c.perms);
        }
        const fs::path output = m_folder / (c.name + ".log");
        EXPECT_EQ(bridge_test::Run({RELAYMQTT_PROGRAM, "--config", file.string()}, m_boards->Environment(), output), 2)
            << c.name;
        std::ifstream log(output);
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "relaymqtt: " + file.string() + c.error + "\n");
    }
    EXPECT_TRUE(m_watcher->On(kBridgeAvailability).empty());
    // No board was opened: the virtual board makes its file at the first open.
    EXPECT_TRUE(fs::is_empty(m_boards->folder()));
}

TEST_F(BridgeTest, SerialNumbersReachTopicsOnlyFilteredAndNeverTwoBoardsOneId)
{
    // "A/1#" keeps the id A1; the board named A1 would share it, and "+/."
    // keeps nothing: both are left out.
    m_boards.emplace(m_folder / "odd-boards", "A/1#,A1,+/.,B2");
    StartBridge(Config());
    ASSERT_TRUE(m_bridge->WaitForLog("board 'A1' skipped: another board has the id A1")) << Log();
    ASSERT_TRUE(m_bridge->WaitForLog("board '+/.' skipped: its serial number has no letter, digit")) << Log();
    ASSERT_TRUE(m_watcher->WaitFor(Announced)) << Log();
    m_watcher->Publish(CommandTopic("A1", 6), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 6), "ON")) << Log();
    EXPECT_EQ(m_boards->Lines("A/1#"), 0x20);
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    // The serial number as it is only where Home Assistant shows it.
    for (const Message& message : m_watcher->Received()) {
        EXPECT_EQ(message.topic.find_first_of("#+."), std::string::npos) << message.topic;
        if (message.topic.ends_with("/config")) {
            continue;
        }
        EXPECT_EQ(message.payload.find("A/1#"), std::string::npos) << message.payload;
    }
    const Json device = Json::parse(m_watcher->Last(DiscoveryTopic("A1", 6))).at("device");
    EXPECT_EQ(device.at("serial_number"), "A/1#");
    EXPECT_EQ(device.at("name"), "Relay board A1");
    // The list is read every second: each board is said found, or skipped, once.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(CountOf(Log(), "found board A1\n"), 1) << Log();
    EXPECT_EQ(CountOf(Log(), "found board B2\n"), 1) << Log();
    EXPECT_EQ(CountOf(Log(), "skipped: another board has the id A1\n"), 1) << Log();

    // Boards named in the config: only those.
    m_bridge->process().Signal(SIGTERM);
    ASSERT_EQ(m_bridge->process().Wait(5s), 0);
    m_bridge.reset();
    fs::remove(m_folder / "bridge.log");
    m_boards.emplace(m_folder / "boards");
    StartBridge(Config("boards = B2\n"));
    ASSERT_TRUE(m_bridge->WaitForLog("board B2 online")) << Log();
    EXPECT_EQ(CountOf(Log(), "board A1"), 0) << Log();
}

TEST_F(BridgeTest, DriverLibraryMissingIsReportedAndEndsWithStatusOne)
{
    const fs::path output = m_folder / "no-driver.log";
    std::ofstream(m_folder / "relaymqtt.conf") << Config();
    fs::permissions(m_folder / "relaymqtt.conf", fs::perms(0644));
    std::vector<std::string> environment = m_boards->Environment();
    environment.push_back("LD_LIBRARY_PATH=" + (m_folder / "no-driver").string());
    EXPECT_EQ(
        bridge_test::Run({RELAYMQTT_PROGRAM, "--config", (m_folder / "relaymqtt.conf").string()}, environment, output),
        1);
    std::ifstream log(output);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(CountOf(text, "cannot load the driver library libftd2xx.so"), 1) << text;
}

// Apart, as it waits out the delays up to the longest.
class BridgeReconnect : public BridgeTest {};

// The delays the bridge logged before its attempts to connect, from the
// line holding `after` on.
std::vector<int> Delays(const std::string& log, const std::string& after)
{
    std::vector<int> delays;
    const std::string said = "; trying again in ";
    for (std::size_t at = log.find(said, log.find(after)); at != std::string::npos; at = log.find(said, at + 1)) {
        delays.push_back(std::stoi(log.substr(at + said.size())));
    }
    return delays;
}

TEST_F(BridgeReconnect, DelayDoublesUpToHalfAMinuteAndStartsAgainAfterAConnection)
{
    m_broker->Stop();
    StartBridge(Config());
    ASSERT_TRUE(m_bridge->WaitForLog("; trying again in 2 s")) << Log();
    m_broker->Start();
    ASSERT_TRUE(m_bridge->WaitForLog("connected to", 1, 5s)) << Log();
    const int before = CountOf(Log(), "; trying again in ");
    m_broker->Stop();
    ASSERT_TRUE(m_bridge->WaitForLog("; trying again in ", before + 6, 40s)) << Log();
    EXPECT_EQ(Delays(Log(), "connected to"), (std::vector<int>{1, 2, 4, 8, 16, 30})) << Log();
    // The library's reason depends on what the bridge was doing when the
    // broker went: a lost connection or a broken pipe.
    EXPECT_EQ(CountOf(Log(), "lost the connection to 127.0.0.1:" + std::to_string(m_broker->port()) + " ("), 1)
        << Log();
}

// Apart, as it watches two bridges for 20 s.
class BridgeClash : public BridgeTest {};

TEST_F(BridgeClash, TwoBridgesOnOneNodeNameTheClashAndStopFighting)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(Config()));
    // A second bridge, on boards of its own, given the same node by mistake.
    const Boards otherBoards(m_folder / "other-boards", "C3");
    fs::create_directories(m_folder / "other");
    const auto started = std::chrono::steady_clock::now();
    const Bridge other(m_folder / "other", Config(), otherBoards);

    // Each is thrown off by the other once, and names the clash when it is
    // back, with what to change in its config.
    const std::string clash = "another client with the same node 'testnode' took over the connection to 127.0.0.1:" +
                              std::to_string(m_broker->port()) + "; give each bridge its own node in ";
    EXPECT_TRUE(m_bridge->WaitForLog(clash + (m_folder / "relaymqtt.conf").string() + "\n", 1, 5s)) << Log();
    EXPECT_TRUE(other.WaitForLog(clash + (m_folder / "other" / "relaymqtt.conf").string() + "\n", 1, 5s))
        << other.Log();
    // The first one, thrown off again, waits a minute.
    EXPECT_TRUE(m_bridge->WaitForLog("another client with the same node 'testnode' holds it; trying again in 60 s"))
        << Log();

    // From the second one's start on, for 20 s: the four connections above,
    // not one a second.
    std::this_thread::sleep_until(started + 20s);
    std::ifstream file(m_folder / "mosquitto.log");
    const std::string broker((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_LE(CountOf(broker, " as relaymqtt-testnode ("), 4) << broker;
    EXPECT_EQ(CountOf(Log(), "took over the connection"), 1) << Log();
}

// The bridge with a boards file where a user's is looked for, its kept states
// in the test's folder, and the virtual board logging every byte any process
// writes to the relays.
class BridgeWithBoardsFile : public BridgeTest {
protected:
    void StartWithBoards(const std::string& boards, const std::vector<std::string>& more = {})
    {
        fs::create_directories(m_folder / "config" / "relaypanel");
        std::ofstream(m_folder / "config" / "relaypanel" / "boards.conf") << boards;
        std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + (m_folder / "config").string(),
                                                "XDG_STATE_HOME=" + (m_folder / "state").string(),
                                                "VBOARD_WRITE_LOG=" + (m_folder / "written.log").string()};
        environment.insert(environment.end(), more.begin(), more.end());
        m_bridge.emplace(m_folder, Config(), *m_boards, environment);
        ASSERT_TRUE(m_watcher->WaitFor(Announced)) << Log();
    }

    void StopBridge()
    {
        m_bridge->process().Signal(SIGTERM);
        ASSERT_EQ(m_bridge->process().Wait(5s), 0);
        m_bridge.reset();
    }

    // The bytes written to that board's lines, oldest first.
    std::vector<int> Written(const std::string& serial) const
    {
        std::vector<int> bytes;
        std::ifstream log(m_folder / "written.log");
        for (std::string board, byte; log >> board >> byte;) {
            if (board == serial) {
                bytes.push_back(std::stoi(byte, nullptr, 16));
            }
        }
        return bytes;
    }

    // The board's file as a chip just plugged in leaves it.
    void ResetLines(const std::string& serial, const std::string& lines) const
    {
        std::ofstream(vboard::StateFileOf(m_boards->folder(), serial), std::ios::trunc) << lines << '\n';
    }
};

TEST_F(BridgeWithBoardsFile, NamesAreTheEntitiesAndTheDevicesWhileTheIdsStayOnSerialNumberAndRelay)
{
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board B2]\nname = garden\nrelay.3 = pump\n"));
    const Json pump = Json::parse(m_watcher->Last(DiscoveryTopic("B2", 3)));
    EXPECT_EQ(pump.at("name"), "pump");
    EXPECT_EQ(pump.at("unique_id"), "relayboard_B2_3");
    EXPECT_EQ(pump.at("default_entity_id"), "switch.relayboard_b2_3");
    EXPECT_EQ(pump.at("command_topic"), CommandTopic("B2", 3));
    EXPECT_EQ(pump.at("device").at("name"), "garden");
    EXPECT_EQ(pump.at("device").at("identifiers"), Json::array({"relayboard_B2"}));
    const Json four = Json::parse(m_watcher->Last(DiscoveryTopic("B2", 4)));
    EXPECT_EQ(four.at("name"), "Relay 4");
    EXPECT_EQ(four.at("device").at("name"), "garden");
    const Json other = Json::parse(m_watcher->Last(DiscoveryTopic("A1", 3)));
    EXPECT_EQ(other.at("name"), "Relay 3");
    EXPECT_EQ(other.at("device").at("name"), "Relay board A1");
}

// Relays 1 and 2 of B2 drive a motor up and down; A1 is active-low.
TEST_F(BridgeWithBoardsFile, CommandsKeepTheInterlockOnTheWireAndAnActiveLowBoardReadsBackWhatWasAsked)
{
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board B2]\ninterlock = 1 2 pause 100ms\n"
                                            "[board A1]\nactive_low = yes\non_attach = off\n",
                                            {"VBOARD_ACTIVE_LOW=A1"}));
    for (const auto& [relay, payload] : std::vector<std::pair<int, std::string>>{{2, "ON"}, {1, "ON"}, {2, "ON"}}) {
        m_watcher->Publish(CommandTopic("B2", relay), payload);
        ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", relay), payload)) << Log();
        EXPECT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 3 - relay), "OFF")) << "the other off, and published";
    }
    EXPECT_EQ(Written("B2"), (std::vector<int>{0x02, 0x00, 0x01, 0x00, 0x02}));
    for (const int byte : Written("B2")) {
        EXPECT_NE(byte & 0x03, 0x03) << byte;
    }

    // Both switched on by a program that reads no boards file: a command
    // that would leave them so switches nothing and is answered.
    ASSERT_EQ(m_boards->Relayctl({"--boards", "/dev/null", "-s", "B2", "set", "1", "2"}), 0);
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 1), "ON", 3s)) << Log();
    m_watcher->Forget();
    m_watcher->Publish(CommandTopic("B2", 3), "ON");
    ASSERT_TRUE(m_bridge->WaitForLog("relay 3 of board B2 ON: not switched: relays 1 2 are an interlock group"))
        << Log();
    EXPECT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 3), "OFF")) << Log();
    EXPECT_EQ(m_boards->Lines("B2"), 0x03);

    // All off when it appeared: every line high; relay 3 on is its line low,
    // and reads back on.
    EXPECT_EQ(Written("A1"), std::vector<int>{0xFF});
    m_watcher->Publish(CommandTopic("A1", 3), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 3), "ON")) << Log();
    EXPECT_EQ(m_boards->Lines("A1"), 0xFB);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(m_watcher->Last(StateTopic("A1", 3)), "ON") << "a poll reads it back as on";
    EXPECT_NE(m_watcher->Last(StateTopic("A1", 4)), "ON") << "and the others as off";
}

// A1 is switched off when it appears, B2 gets back what was last commanded,
// and C3, which the file does not name, is never written to.
TEST_F(BridgeWithBoardsFile, AttachPolicyIsAppliedAtStartAndReplugOnlyOnBoardsTheFileNamesAndPublished)
{
    m_boards.emplace(m_folder / "boards", "A1,B2,C3");
    ASSERT_EQ(m_boards->Relayctl({"-s", "A1", "set", "1", "3"}), 0);
    ASSERT_EQ(m_boards->Relayctl({"-s", "B2", "set", "2"}), 0);
    ASSERT_EQ(m_boards->Relayctl({"-s", "C3", "set", "4"}), 0);
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board A1]\non_attach = off\n"
                                            "[board B2]\non_attach = restore\n"));
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    EXPECT_EQ(m_watcher->Last(StateTopic("A1", 1)), "OFF");
    EXPECT_EQ(m_boards->Lines("B2"), 0x02) << "nothing kept to restore yet";
    EXPECT_TRUE(m_bridge->WaitForLog("board B2 attached: no commanded state kept yet")) << Log();
    m_watcher->Publish(CommandTopic("B2", 5), "ON");
    ASSERT_TRUE(m_watcher->WaitForLast(StateTopic("B2", 5), "ON")) << Log();

    // Unplugged; the chips come back with their lines reset.
    m_boards->SetUnplugged({"A1", "B2"});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "offline", 3s)) << Log();
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("B2"), "offline", 3s)) << Log();
    ResetLines("A1", "FF");
    ResetLines("B2", "00");
    m_boards->SetUnplugged({});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "online", 3s)) << Log();
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("B2"), "online", 3s)) << Log();
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    EXPECT_EQ(m_boards->Lines("B2"), 0x12);
    EXPECT_EQ(m_watcher->Last(StateTopic("A1", 8)), "OFF");
    EXPECT_EQ(m_watcher->Last(StateTopic("B2", 2)), "ON");
    EXPECT_EQ(m_watcher->Last(StateTopic("B2", 5)), "ON");
    EXPECT_EQ(CountOf(Log(), "board A1 attached: all relays off"), 2) << Log();

    // A host's restart: the bridge starts again on relays dropped.
    ASSERT_NO_FATAL_FAILURE(StopBridge());
    ResetLines("B2", "00");
    m_watcher->Forget();
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board A1]\non_attach = off\n"
                                            "[board B2]\non_attach = restore\n"));
    EXPECT_EQ(m_boards->Lines("B2"), 0x12);
    EXPECT_EQ(m_watcher->Last(StateTopic("B2", 5)), "ON");
    EXPECT_EQ(m_boards->Lines("C3"), 0x08);
    EXPECT_TRUE(Written("C3").empty()) << "a board the file does not name is never written to unasked";

    // A kept state that an interlock group added since would break is not
    // restored, and the log says why.
    ASSERT_NO_FATAL_FAILURE(StopBridge());
    ResetLines("B2", "00");
    const std::size_t writes = Written("B2").size();
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board B2]\non_attach = restore\ninterlock = 2 5\n"));
    EXPECT_TRUE(m_bridge->WaitForLog("board B2 attached: not switched: relays 2 5 are an interlock group and more "
                                     "than one of them would be on"))
        << Log();
    EXPECT_EQ(Written("B2").size(), writes);
    EXPECT_EQ(m_boards->Lines("B2"), 0x00);
}

// A board another program holds when the bridge starts is shown online
// unread; its policy waits for the first open.
TEST_F(BridgeWithBoardsFile, AttachPolicyOfABoardHeldAtTheStartIsAppliedWhenItIsFirstOpened)
{
    ASSERT_EQ(m_boards->Relayctl({"-s", "A1", "set", "1", "3"}), 0);
    Child pulse({RELAYCTL_PROGRAM, "-s", "A1", "pulse", "2", "2s"}, m_boards->Environment(), m_folder / "pulse.log");
    for (int tries = 0; m_boards->Lines("A1") != 0x07 && tries < 100; ++tries) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(m_boards->Lines("A1"), 0x07) << "the pulse holds the board";
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board A1]\non_attach = off\n"));
    EXPECT_GE(CountOf(Log(), "board A1 is in use by another program"), 1) << Log();
    EXPECT_EQ(pulse.Wait(5s), 0);
    ASSERT_TRUE(m_bridge->WaitForLog("board A1 attached: all relays off", 1, 3s)) << Log();
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    EXPECT_TRUE(m_watcher->WaitForLast(StateTopic("A1", 3), "OFF")) << Log();
}

// The bridge's second write fails: the one that switches A1 off when it
// comes back from an unplug, while A1 is still shown offline. The policy is
// tried again at the next poll.
TEST_F(BridgeWithBoardsFile, AnAttachPolicyWhoseWriteFailsIsTriedAgainAtTheNextOpen)
{
    ASSERT_NO_FATAL_FAILURE(StartWithBoards("[board A1]\non_attach = off\n", {"VBOARD_FAIL_WRITE=2"}));
    m_boards->SetUnplugged({"A1"});
    ASSERT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "offline", 3s)) << Log();
    ResetLines("A1", "FF");
    m_boards->SetUnplugged({});
    ASSERT_TRUE(m_bridge->WaitForLog("board A1 attached: all relays off", 2, 4s)) << Log();
    EXPECT_EQ(m_boards->Lines("A1"), 0x00);
    EXPECT_TRUE(m_watcher->WaitForLast(AvailabilityTopic("A1"), "online")) << Log();
}

TEST_F(BridgeWithBoardsFile, MalformedBoardsFileIsRefusedWithItsLineAndStatusTwo)
{
    const fs::path config = m_folder / "relaymqtt.conf";
    std::ofstream(config) << Config();
    fs::permissions(config, fs::perms(0644));
    const fs::path boards = m_folder / "boards.conf";
    std::ofstream(boards) << "[board A1]\ninterlock = 1 9\n";
    for (const std::vector<std::string>& option :
         {std::vector<std::string>{"--boards", boards.string()}, {"--boards=" + boards.string()}}) {
        std::vector<std::string> command = {RELAYMQTT_PROGRAM, "--config", config.string()};
        command.insert(command.end(), option.begin(), option.end());
        const fs::path output = m_folder / (option.size() == 1 ? "refused-equals.log" : "refused.log");
        EXPECT_EQ(bridge_test::Run(command, m_boards->Environment(), output), 2);
        std::ifstream log(output);
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "relaymqtt: " + boards.string() + ":2: no relay 9: the relays are 1 to 8\n");
    }
    EXPECT_TRUE(fs::is_empty(m_boards->folder())) << "no board opened";
    EXPECT_TRUE(m_watcher->On(kBridgeAvailability).empty());
}

class BridgeTls : public BridgeTest {
protected:
    const Certificates* Tls() override { return &MakeCertificates(fs::path(MQTT_TEST_SCRATCH) / "certificates"); }

    std::string TlsConfig(const fs::path& ca, const std::string& password)
    {
        const fs::path file = m_folder / "password";
        std::ofstream(file) << password << '\n';
        return Config("ca_file = " + ca.string() + "\nusername = " + kUser + "\npassword_file = " + file.string() +
                      "\n");
    }
};

TEST_F(BridgeTls, ConnectsWithTheCaFileAndThePasswordFile)
{
    ASSERT_NO_FATAL_FAILURE(StartAnnounced(TlsConfig(Tls()->ca, kPassword)));
    EXPECT_EQ(m_watcher->Last(kBridgeAvailability), "online");
    EXPECT_EQ(CountOf(Log(), kPassword), 0) << Log();
}

TEST_F(BridgeTls, WrongPasswordIsReportedAndTriedAgain)
{
    StartBridge(TlsConfig(Tls()->ca, "not-the-password"));
    EXPECT_TRUE(m_bridge->WaitForLog("refused the connection: Connection Refused: not authorised", 2, 6s)) << Log();
    EXPECT_EQ(CountOf(Log(), "not-the-password"), 0) << Log();
}

TEST_F(BridgeTls, CertificateFromAnotherCaIsRefusedAndTriedAgain)
{
    StartBridge(TlsConfig(Tls()->otherCa, kPassword));
    // The library gives up on the first failure or the second: the bridge
    // starts it again.
    EXPECT_TRUE(m_bridge->WaitForLog("certificate verify failed", 3, 8s)) << Log();
    EXPECT_EQ(CountOf(Log(), "connected to"), 0) << Log();
    EXPECT_TRUE(m_watcher->On(kBridgeAvailability).empty());
}

}  // namespace
