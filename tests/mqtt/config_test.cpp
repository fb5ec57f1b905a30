// The bridge's config file: what it takes, and that each refusal names the
// line and the reason before anything connects.
#include "mqtt/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

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
    const fs::path ca = Write("ca.crt", "certificate");
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

}  // namespace
