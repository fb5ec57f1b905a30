// Text from outside: what is fit to become an MQTT string, at the edges of
// each range, and the filter every log line goes through.
#include "mqtt/config.h"
#include "mqtt/text.h"
#include "mqtt/topics.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

using namespace std::string_literals;

TEST(TextFault, TakesUtf8WithoutControlsAndNamesTheFirstFault)
{
    // The edges of what is taken: ASCII's last printable, U+00A0 after the
    // C1 controls, U+FDCF and U+FDF0 around the noncharacters, U+FFFD,
    // U+10FFFD, and the longest forms.
    for (const std::string& good : {""s, "~"s, "\xC2\xA0"s, "\xEF\xB7\x8F"s, "\xEF\xB7\xB0"s, "\xEF\xBF\xBD"s,
                                    "\xF4\x8F\xBF\xBD"s, "J\xC3\xBCrgen \xF0\x9F\x94\x8C"s}) {
        EXPECT_EQ(TextFault(good), "") << good;
    }
    struct Case {
        std::string text;
        std::string fault;
    };
    const std::vector<Case> cases = {
        {"a\0b"s, "holds a NUL byte"},
        {"\x01", "holds a control character"},
        {"\x1F", "holds a control character"},
        {"\x7F", "holds a control character"},
        {"\xC2\x80", "holds a control character"},
        {"\xC2\x9F", "holds a control character"},
        {"\xEF\xB7\x90", "holds a Unicode noncharacter"},      // U+FDD0
        {"\xEF\xB7\xAF", "holds a Unicode noncharacter"},      // U+FDEF
        {"\xEF\xBF\xBF", "holds a Unicode noncharacter"},      // U+FFFF
        {"\xF4\x8F\xBF\xBE", "holds a Unicode noncharacter"},  // U+10FFFE
        {"\xC3", "is not valid UTF-8"},                        // cut short
        {"\xC3(", "is not valid UTF-8"},                       // not a continuation
        {"\xC0\x80", "is not valid UTF-8"},                    // an overlong NUL
        {"\xE0\x9F\xBF", "is not valid UTF-8"},                // overlong
        {"\xED\xA0\x80", "is not valid UTF-8"},                // a surrogate
        {"\xF4\x90\x80\x80", "is not valid UTF-8"},            // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", "is not valid UTF-8"},        // five bytes
        {"\x80", "is not valid UTF-8"},                        // a lone continuation
        {"ok\x1B\xFF", "holds a control character"},           // the first fault is named
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextFault(c.text), c.fault) << c.text;
    }
}

TEST(Loggable, ShowsControlsAndNonAsciiAsQuestionMarksAndCutsLongText)
{
    EXPECT_EQ(Loggable("relay/A1 set~"), "relay/A1 set~");
    EXPECT_EQ(Loggable("\x1B[2J\r\n\x7F\0\xC3\xA9"s), "?[2J" + std::string(6, '?'));
    EXPECT_EQ(Loggable(std::string(81, 'x')), std::string(80, 'x') + "...");
    EXPECT_EQ(Loggable(std::string(80, 'x')), std::string(80, 'x'));
    EXPECT_EQ(Loggable("abc\x01", 3), "abc...");
}

// The board worker builds discovery objects from text it did not make: one
// that is not UTF-8 is shown as U+FFFD, never thrown.
TEST(DiscoveryObject, TextThatIsNotUtf8IsReplacedNotThrown)
{
    const Topics topics{Config{}};
    std::string object;
    ASSERT_NO_THROW(object = topics.DiscoveryObject("A\xFF", "A\xFF", 1));
    const nlohmann::json parsed = nlohmann::json::parse(object);
    EXPECT_EQ(parsed.at("command_topic"), "relayboard/A\xEF\xBF\xBD/relay/1/set");
}

}  // namespace
