// What may reach a topic, and the checks a command passes before it may
// switch a relay.
#include "mqtt/config.h"
#include "mqtt/topics.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

TEST(TopicId, KeepsOnlyLettersDigitsUnderscoreAndHyphen)
{
    EXPECT_EQ(TopicId("A1"), "A1");
    EXPECT_EQ(TopicId("ab/+#_-9 \x01\xC3\xA9."), "ab_-9");
    EXPECT_EQ(TopicId("/+#"), "");
    EXPECT_EQ(TopicId("AZaz09@[`{/:"), "AZaz09") << "the ends of each range, and the bytes just outside";
}

TEST(DisplayText, KeepsCharactersAndShowsControlsAndBrokenBytesAsQuestionMarks)
{
    EXPECT_EQ(DisplayText("A/b+#1 \xC3\xA9\xE2\x82\xAC"), "A/b+#1 \xC3\xA9\xE2\x82\xAC");
    // An escape sequence, DEL, a C1 control (U+009B), a lone continuation
    // byte, a character cut short, an overlong '/', a surrogate: a '?' for
    // each control and for each byte of what is not a character.
    EXPECT_EQ(DisplayText("\x1B[2J\x7F\xC2\x9B\x80\xE2\x82"), "?[2J?????");
    EXPECT_EQ(DisplayText("\xC0\xAF\xED\xA0\x80x"), "?????x");
    EXPECT_EQ(DisplayText(std::string("a\0b", 3)), "a?b");
    // A character of four bytes, the last there is, and one above it.
    EXPECT_EQ(DisplayText("\xF0\x9F\x98\x80\xF4\x8F\xBF\xBD"), "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBD");
    EXPECT_EQ(DisplayText("\xF4\x90\x80\x80"), "????");
    EXPECT_EQ(DisplayText("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
}

TEST(EntitySlug, LowerCaseLettersAndDigitsWithSingleUnderscores)
{
    EXPECT_EQ(EntitySlug("relayboard_A1_3"), "relayboard_a1_3");
    EXPECT_EQ(EntitySlug("relayboard_-x__Y-_8"), "relayboard_x_y_8");
    EXPECT_EQ(EntitySlug("_relaymqtt_pi-4.lan_"), "relaymqtt_pi_4_lan");
}

TEST(DiscoveryObject, CarriesAnySerialNumberAsValidJsonAndAsksForTheEntityIdWithItsDomain)
{
    Config config;
    config.node = "pi-4.lan";
    const Topics topics(config);
    const std::string text = topics.DiscoveryObject("B-2", "B-2\x1B]0;x\x07\xFF", 3);
    const auto object = nlohmann::json::parse(text);
    EXPECT_EQ(object.at("default_entity_id"), "switch.relayboard_b_2_3");
    EXPECT_EQ(object.at("device").at("serial_number"), "B-2?]0;x??");
    EXPECT_EQ(object.at("device").at("via_device"), "relaymqtt_pi-4_lan");
    // Home Assistant shows the serial number on one line: a long one is cut.
    EXPECT_EQ(
        nlohmann::json::parse(topics.DiscoveryObject("S", std::string(80, 'S'), 1)).at("device").at("serial_number"),
        std::string(64, 'S'));
    EXPECT_EQ(topics.BridgeDiscovery(), "homeassistant/binary_sensor/relaymqtt_pi-4_lan/config");
    const auto bridge = nlohmann::json::parse(topics.BridgeDiscoveryObject());
    EXPECT_EQ(bridge.at("device").at("identifiers").at(0), "relaymqtt_pi-4_lan");
    EXPECT_EQ(bridge.at("default_entity_id"), "binary_sensor.relaymqtt_pi_4_lan");

    // Bytes that are not UTF-8 from anywhere else never throw on the worker
    // thread, where nothing would catch it.
    config.topicPrefix = "relay\xFF";
    const Topics broken(config);
    EXPECT_EQ(nlohmann::json::parse(broken.DiscoveryObject("B2", "B2", 1)).at("command_topic"),
              "relay\xEF\xBF\xBD/B2/relay/1/set");
}

TEST(CommandTopic, NamesABoardIdAndARelayFrom1To8)
{
    const CommandTarget good = ParseCommandTopic("home/relays/B2/relay/3/set", "home/relays");
    EXPECT_EQ(good.fault, "");
    EXPECT_EQ(good.id, "B2");
    EXPECT_EQ(good.relay, 3);
    EXPECT_EQ(ParseCommandTopic("relayboard/B2/relay/8/set", "relayboard").relay, 8);

    for (const char* relay : {"0", "9", "10", "03", "x", "-1"}) {
        const CommandTarget bad = ParseCommandTopic(std::string("relayboard/B2/relay/") + relay + "/set", "relayboard");
        EXPECT_EQ(bad.fault, std::string("no relay ") + relay + " on a board: relays are 1 to 8");
    }
    EXPECT_EQ(ParseCommandTopic("relayboard/B.2/relay/3/set", "relayboard").fault, "no board has that id");
    EXPECT_EQ(ParseCommandTopic("relayboard/B2/relay/3/state", "relayboard").fault, "not a command topic");
    EXPECT_EQ(ParseCommandTopic("relayboardx/B2/relay/3/set", "relayboard").fault, "not a command topic");
}

TEST(CommandPayload, OnlyOnAndOffSwitch)
{
    EXPECT_TRUE(ParseCommandPayload("ON").on);
    EXPECT_EQ(ParseCommandPayload("ON").fault, "");
    EXPECT_FALSE(ParseCommandPayload("OFF").on);
    EXPECT_EQ(ParseCommandPayload("OFF").fault, "");

    EXPECT_EQ(ParseCommandPayload("on").fault, "payload 'on' is neither ON nor OFF");
    EXPECT_EQ(ParseCommandPayload("ON\n").fault, "payload 'ON?' is neither ON nor OFF");
    EXPECT_EQ(ParseCommandPayload("").fault, "empty payload");
    EXPECT_EQ(ParseCommandPayload(std::string(17, 'O')).fault, "payload of 17 bytes, longer than any command");
    // Cut short, overlong, a surrogate, a NUL, a lone continuation byte.
    for (const std::string& bytes : {std::string("O\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                                     std::string("O\0N", 3), std::string("O\x80")}) {
        EXPECT_EQ(ParseCommandPayload(bytes).fault, "payload is not valid UTF-8") << bytes;
    }
    EXPECT_EQ(ParseCommandPayload("\xC3\xA9").fault, "payload '?"
                                                     "?' is neither ON nor OFF");
    EXPECT_EQ(ParseCommandPayload("\xFF\xFE").fault, "payload is not valid UTF-8");
}

}  // namespace
