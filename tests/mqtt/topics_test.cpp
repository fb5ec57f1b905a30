// What may reach a topic, and the checks a command passes before it may
// switch a relay.
#include "mqtt/config.h"
#include "mqtt/topics.h"

#include <gtest/gtest.h>

namespace {

TEST(TopicId, KeepsOnlyLettersDigitsUnderscoreAndHyphen)
{
    EXPECT_EQ(TopicId("A1"), "A1");
    EXPECT_EQ(TopicId("ab/+#_-9 \x01\xC3\xA9."), "ab_-9");
    EXPECT_EQ(TopicId("/+#"), "");
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
    // Cut short, overlong, a surrogate, a NUL.
    for (const std::string& bytes :
         {std::string("O\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("O\0N", 3)}) {
        EXPECT_EQ(ParseCommandPayload(bytes).fault, "payload is not valid UTF-8") << bytes;
    }
    EXPECT_EQ(ParseCommandPayload("\xC3\xA9").fault, "payload '?"
                                                     "?' is neither ON nor OFF");
    EXPECT_EQ(ParseCommandPayload("\xFF\xFE").fault, "payload is not valid UTF-8");
}

}  // namespace
