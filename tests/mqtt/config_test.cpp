// The bridge's config file: what it takes, and that each refusal names the
// line and the reason before anything connects.
#include "mqtt/config.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

// What a CA file must at least look like: OpenSSL reads nothing else.
const std::string kPem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

class ConfigFile : public testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::path(testing::TempDir()) /
                   ("relaymqtt-config-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path Write(const std::string& name, const std::string& text, fs::perms perms = fs::perms(0644))
    {
        fs::path path = m_folder / name;
        std::ofstream(path, std::ios::binary) << text;
        fs::permissions(path, perms);
        return path;
    }

    static ParsedConfig Parse(const std::string& text) { return ParseConfig(text, "relaymqtt.conf", "host"); }

    fs::path m_folder;
};

TEST_F(ConfigFile, EmptyFileGivesTheDefaultsAndTheHostNameAsNode)
{
    const ParsedConfig parsed = ParseConfig("# nothing set\n\n", "relaymqtt.conf", "pi.home:lan");
    ASSERT_TRUE(parsed.config) << parsed.error.Describe();
    const Config& config = *parsed.config;
    EXPECT_EQ(config.host, "localhost");
    EXPECT_EQ(config.port, 1883);
    EXPECT_EQ(config.topicPrefix, "relayboard");
    EXPECT_EQ(config.discoveryPrefix, "homeassistant");
    EXPECT_EQ(config.pollInterval, std::chrono::seconds(5));
    EXPECT_EQ(config.wait, std::chrono::seconds(5));
    EXPECT_TRUE(config.boards.empty());
    // A character a topic must not carry is left out of the host name.
    EXPECT_EQ(config.node, "pi.homelan");
}

TEST_F(ConfigFile, TakesEveryKeyWithCommentsAndBlanks)
{
    const fs::path password = Write("password", "s3cret\r\n", fs::perms(0600));
    const fs::path ca = Write("ca.crt", kPem);
    const ParsedConfig parsed = Parse("host=broker.lan\n"
                                      "  port = 8883   # TLS\n"
                                      "ca_file = " +
                                      ca.string() +
                                      "\n"
                                      "username = bridge\n"
                                      "password_file = " +
                                      password.string() +
                                      "\n"
                                      "node = shed\n"
                                      "topic_prefix = home/relays\n"
                                      "discovery_prefix = ha\n"
                                      "boards = A1\tB-2  C_3\n"
                                      "poll_interval = 0\n"
                                      "wait = 12\n");
    ASSERT_TRUE(parsed.config) << parsed.error.Describe();
    const Config& config = *parsed.config;
    EXPECT_EQ(config.host, "broker.lan");
    EXPECT_EQ(config.port, 8883);
    EXPECT_EQ(config.caFile, ca.string());
    EXPECT_EQ(config.username, "bridge");
    // The line end an editor adds is not part of the password.
    EXPECT_EQ(config.password, "s3cret");
    EXPECT_EQ(config.node, "shed");
    EXPECT_EQ(config.topicPrefix, "home/relays");
    EXPECT_EQ(config.discoveryPrefix, "ha");
    EXPECT_EQ(config.boards, (std::vector<std::string>{"A1", "B-2", "C_3"}));
    EXPECT_EQ(config.pollInterval, std::chrono::seconds(0));
    EXPECT_EQ(config.wait, std::chrono::seconds(12));
}

TEST_F(ConfigFile, RefusalNamesTheFileTheLineAndTheReason)
{
    struct Case {
        std::string text;
        int line;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"host = a\n\nhots = b\n", 3, "unknown key 'hots'"},
        {"port = 1883\nport = 1884\n", 2, "'port' given again (first at line 1)"},
        {"port = 65536\n", 1, "port takes a number from 1 to 65535, not '65536'"},
        {"port = 18 83\n", 1, "port takes a number from 1 to 65535, not '18 83'"},
        {"port = 0\n", 1, "port takes a number from 1 to 65535, not '0'"},
        {"poll_interval = -1\n", 1, "poll_interval takes whole seconds from 0 to 86400, not '-1'"},
        {"topic_prefix = relay/+/x\n", 1, "topic_prefix 'relay/+/x' holds a wildcard ('+' or '#')"},
        {"topic_prefix = relayboard/\n", 1, "topic_prefix 'relayboard/' has an empty topic level"},
        {"boards = A.1 A1\n", 1, "boards 'A.1' and 'A1' would share the id A1 in topics"},
        {"boards = ...\n", 1, "board '...' has no letter, digit, '_' or '-' to name it in topics"},
        {"ca_file = " + (m_folder / "missing.crt").string() + "\n", 1,
         "cannot read the CA file " + (m_folder / "missing.crt").string() + ": No such file or directory"},
        {"username = u\npassword_file = " + m_folder.string() + "\n", 2,
         "cannot read the password file " + m_folder.string() + ": is a folder"},
        {"\npassword_file = " + Write("pw", "x\n").string() + "\n", 2, "password_file needs a username"},
        {"username = u\npassword_file = " + Write("empty", "\n").string() + "\n", 2,
         "the password file " + (m_folder / "empty").string() + " is empty"},
    };
    for (const Case& c : cases) {
        const ParsedConfig parsed = Parse(c.text);
        EXPECT_FALSE(parsed.config) << c.text;
        EXPECT_EQ(parsed.error.Describe(), "relaymqtt.conf:" + std::to_string(c.line) + ": " + c.reason) << c.text;
    }
}

TEST_F(ConfigFile, FileOthersMayWriteIsRefused)
{
    const fs::path mine = Write("mine.conf", "port = 1884\n", fs::perms(0644));
    const ParsedConfig loaded = LoadConfig(mine, "host");
    ASSERT_TRUE(loaded.config) << loaded.error.Describe();
    EXPECT_EQ(loaded.config->port, 1884);

    const fs::path everyone = Write("everyone.conf", "port = 1884\n", fs::perms(0666));
    EXPECT_EQ(LoadConfig(everyone, "host").error.Describe(),
              everyone.string() + ": may be written by anyone: take that away (chmod go-w)");
    const fs::path group = Write("group.conf", "port = 1884\n", fs::perms(0664));
    EXPECT_EQ(LoadConfig(group, "host").error.Describe(),
              group.string() + ": may be written by its group: take that away (chmod go-w)");
    EXPECT_EQ(LoadConfig(m_folder / "missing.conf", "host").error.Describe(),
              (m_folder / "missing.conf").string() + ": cannot read: No such file or directory");
}

// Every text value must be UTF-8 as MQTT wants it, without NUL, control
// characters or noncharacters, and within its length: refused at its line,
// never left for the broker connection to fail on. The value is quoted
// through the log's filter.
TEST_F(ConfigFile, ValueUnfitForMqttOrTooLongIsRefusedAtItsLine)
{
    const std::string longUser(kLongestUsername + 1, 'u');
    struct Case {
        std::string text;
        std::string reason;
    };
    const std::vector<Case> cases = {
        // A NUL would end the host name libmosquitto is given: "a".
        {"host = a\0b\n"s, "host takes a host name or an IP address (letters, digits, '.', '-', '_', ':' and '%'), "
                           "not 'a?b'"},
        {"host = " + std::string(kLongestHost + 1, 'h') + "\n", "host is longer than 253 bytes"},
        {"username = \xC3\x28\n", "username '?(' is not valid UTF-8"},
        {"username = a\0b\n"s, "username 'a?b' holds a NUL byte"},
        {"username = " + longUser + "\n", "username '" + longUser.substr(0, 80) + "...' is longer than 256 bytes"},
        {"topic_prefix = relay\xFF"
         "board\n",
         "topic_prefix 'relay?board' is not valid UTF-8"},
        {"topic_prefix = a\xC2\x85\n", "topic_prefix 'a?"
                                       "?' holds a control character"},
        {"topic_prefix = $SYS/relays\n",
         "topic_prefix '$SYS/relays' begins with '$', which brokers keep for their own topics"},
        {"topic_prefix = " + std::string(kLongestPrefix + 1, 'p') + "\n",
         "topic_prefix '" + std::string(80, 'p') + "...' is longer than 256 bytes"},
        {"discovery_prefix = home\x7F\n", "discovery_prefix 'home?' holds a control character"},
        {"discovery_prefix = ha\xED\xA0\x80\n", "discovery_prefix 'ha?"
                                                "?"
                                                "?' is not valid UTF-8"},
        {"discovery_prefix = ha\xEF\xBF\xBE\n", "discovery_prefix 'ha?"
                                                "?"
                                                "?' holds a Unicode noncharacter"},
        {"node = " + std::string(kLongestNode + 1, 'n') + "\n", "node is longer than 64 bytes"},
        {"boards = A1 B\xC3\n", "board 'B?' is not valid UTF-8"},
        {"boards = " + std::string(kLongestSerial + 1, 'S') + "\n",
         "board '" + std::string(kLongestSerial + 1, 'S') + "' is longer than 64 bytes"},
        {"wait = -0\n", "wait takes whole seconds from 0 to 86400, not '-0'"},
        {"poll_interval = +5\n", "poll_interval takes whole seconds from 0 to 86400, not '+5'"},
        // An escape sequence in a path never reaches the terminal.
        {"ca_file = /tmp/\x1B]0;title\x07\n", "ca_file '/tmp/?]0;title?' holds a control character"},
        {"password_file = /tmp/pass\x9B"
         "1m\n",
         "password_file '/tmp/pass?1m' is not valid UTF-8"},
        {"ca_file = /" + std::string(kLongestPath, 'c') + "\n",
         "ca_file '/" + std::string(79, 'c') + "...' is longer than 4095 bytes"},
    };
    for (const Case& c : cases) {
        const ParsedConfig parsed = Parse("port = 1883\n" + c.text);
        EXPECT_FALSE(parsed.config) << c.text;
        EXPECT_EQ(parsed.error.Describe(), "relaymqtt.conf:2: " + c.reason) << c.text;
    }
}

TEST_F(ConfigFile, TakesUtf8AndValuesAtTheirLongest)
{
    const std::string prefix = "h\xC3\xA4user/" + std::string(kLongestPrefix - 8, 'p');
    const std::string password(kLongestPassword, 'w');
    const fs::path passwordFile = Write("password", password + "\n", fs::perms(0600));
    const ParsedConfig parsed =
        Parse("host = " + std::string(kLongestHost, 'h') + "\nusername = J\xC3\xBCrgen \xF0\x9F\x94\x8C\n" +
              "password_file = " + passwordFile.string() + "\ntopic_prefix = " + prefix + "\nnode = " +
              std::string(kLongestNode, 'n') + "\nboards = " + std::string(kLongestSerial, 'S') + "\nwait = 0\n");
    ASSERT_TRUE(parsed.config) << parsed.error.Describe();
    EXPECT_EQ(parsed.config->topicPrefix.size(), kLongestPrefix);
    EXPECT_EQ(parsed.config->username, "J\xC3\xBCrgen \xF0\x9F\x94\x8C");
    EXPECT_EQ(parsed.config->password, password);
    EXPECT_EQ(parsed.config->wait, std::chrono::seconds(0));
}

// Only a regular file within its size is read; a FIFO, a device or a file
// too large is refused by the line that names it, and nothing waits.
TEST_F(ConfigFile, NamedFilesAreReadOnlyWhenRegularAndWithinTheirSize)
{
    const fs::path fifo = m_folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path pemAtLimit = Write("limit.crt", kPem + std::string(kLargestCaFile - kPem.size(), '\n'));
    const fs::path pemOverLimit = Write("over.crt", kPem + std::string(kLargestCaFile - kPem.size() + 1, '\n'));
    const fs::path missing = m_folder / "caf\xC3\xA9.crt";
    struct Case {
        std::string text;
        std::string reason;  // empty: taken
    };
    const std::vector<Case> cases = {
        {"ca_file = /dev/zero", "cannot read the CA file /dev/zero: is not a regular file"},
        {"ca_file = " + fifo.string(), "cannot read the CA file " + fifo.string() + ": is not a regular file"},
        {"ca_file = " + pemAtLimit.string(), ""},
        {"ca_file = " + pemOverLimit.string(),
         "cannot read the CA file " + pemOverLimit.string() + ": is larger than 1048576 bytes"},
        {"ca_file = " + Write("text.crt", "certificate\n").string(),
         "the CA file " + (m_folder / "text.crt").string() + " holds no certificate in PEM form"},
        {"ca_file = " + missing.string(), "cannot read the CA file " +
                                              (m_folder / "caf?"
                                                          "?.crt")
                                                  .string() +
                                              ": No such file or directory"},
        {"username = u\npassword_file = /dev/zero", "cannot read the password file /dev/zero: is not a regular file"},
        {"username = u\npassword_file = " + fifo.string(),
         "cannot read the password file " + fifo.string() + ": is not a regular file"},
        {"username = u\npassword_file = " + Write("huge", std::string(kLargestPasswordFile + 1, 'w')).string(),
         "cannot read the password file " + (m_folder / "huge").string() + ": is larger than 65536 bytes"},
        {"username = u\npassword_file = " + Write("long", std::string(kLongestPassword + 1, 'w') + "\n").string(),
         "the password in " + (m_folder / "long").string() + " is longer than 4096 bytes"},
        // libmosquitto takes the password as a C string: "pass" alone would go.
        {"username = u\npassword_file = " + Write("nul", "pass\0word\n"s).string(),
         "the password file " + (m_folder / "nul").string() + " holds a NUL byte"},
    };
    for (const Case& c : cases) {
        // Should a FIFO be opened to wait for a writer, the writer comes
        // once the case has failed.
        auto parsing = std::async(std::launch::async, [&] { return Parse(c.text + "\n"); });
        if (parsing.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << c.text << ": still reading after 5 s";
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        }
        const ParsedConfig parsed = parsing.get();
        if (c.reason.empty()) {
            EXPECT_TRUE(parsed.config) << parsed.error.Describe();
            continue;
        }
        const int line = static_cast<int>(std::count(c.text.begin(), c.text.end(), '\n')) + 1;
        EXPECT_EQ(parsed.error.Describe(), "relaymqtt.conf:" + std::to_string(line) + ": " + c.reason) << c.text;
    }

    // The config file itself.
    EXPECT_EQ(LoadConfig(fifo, "host").error.Describe(), fifo.string() + ": cannot read: is not a regular file");
    const fs::path atLimit = Write("limit.conf", "port = 1884\n#" + std::string(kLargestConfigFile - 14, '#') + "\n");
    ASSERT_EQ(fs::file_size(atLimit), kLargestConfigFile);
    EXPECT_TRUE(LoadConfig(atLimit, "host").config) << LoadConfig(atLimit, "host").error.Describe();
    const fs::path overLimit = Write("over.conf", std::string(kLargestConfigFile + 1, '#'));
    EXPECT_EQ(LoadConfig(overLimit, "host").error.Describe(),
              overLimit.string() + ": cannot read: is larger than 65536 bytes");
    // The file's name is shown filtered too.
    EXPECT_EQ(ParseConfig("hots = 1\n", "relay\x1B[2J.conf", "host").error.Describe(),
              "relay?[2J.conf:1: unknown key 'hots'");
}

}  // namespace
