// The config parser on any text and host name. A refusal names the file, a
// line of the text and a reason fit for the log. A config it takes holds
// only values MQTT and the bridge can use: every text UTF-8 without
// controls and within its length, numbers in their ranges, and every topic,
// filter, client id and user name one libmosquitto accepts; its discovery
// objects are built without throwing and name the topics the bridge uses.
#include "mqtt/config.h"
#include "mqtt/topics.h"
#include "properties.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <set>

using fuzz::Require;

namespace {

void RequireText(const std::string& value, std::size_t longest, std::string_view what)
{
    Require(fuzz::IsFitText(value), what, value);
    Require(value.size() <= longest, what, value);
}

void RequirePublishable(const std::string& topic)
{
    Require(mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) == MOSQ_ERR_SUCCESS &&
                mosquitto_pub_topic_check2(topic.c_str(), topic.size()) == MOSQ_ERR_SUCCESS,
            "libmosquitto takes every topic the bridge publishes to", topic);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string hostName = input.ConsumeRandomLengthString(80);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const ParsedConfig parsed = ParseConfig(text, "fuzz.conf", hostName);
    if (!parsed.config) {
        const ConfigError& error = parsed.error;
        const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
        Require(error.file == "fuzz.conf", "a refusal names the file", text);
        Require(error.line >= 1 && error.line <= lines, "a refusal names a line of the text", text);
        Require(!error.reason.empty() && fuzz::IsPrintableAscii(error.reason), "a refusal is printable ASCII", text);
        return 0;
    }
    const Config& config = *parsed.config;

    RequireText(config.host, kLongestHost, "the host is fit text within its length");
    Require(!config.host.empty() &&
                std::all_of(config.host.begin(), config.host.end(),
                            [](char c) { return fuzz::IsIdCharacter(c) || c == '.' || c == ':' || c == '%'; }),
            "the host holds only a host name's or an address's characters", config.host);
    Require(config.port >= 1 && config.port <= 65535, "the port is 1 to 65535", text);
    RequireText(config.caFile, kLongestPath, "the CA file's path is fit text within its length");
    RequireText(config.passwordFile, kLongestPath, "the password file's path is fit text within its length");
    RequireText(config.username, kLongestUsername, "the user name is fit text within its length");
    Require(mosquitto_validate_utf8(config.username.c_str(), static_cast<int>(config.username.size())) ==
                MOSQ_ERR_SUCCESS,
            "libmosquitto takes the user name", config.username);
    Require(config.password.size() <= kLongestPassword && config.password.find('\0') == std::string::npos,
            "the password has no NUL and is within its length", text);
    Require(config.passwordFile.empty() || !config.username.empty(), "a password file comes with a user name", text);
    Require(!config.node.empty() && config.node.size() <= kLongestNode &&
                std::all_of(config.node.begin(), config.node.end(),
                            [](char c) { return fuzz::IsIdCharacter(c) || c == '.'; }),
            "the node holds 1 to 64 of A-Z a-z 0-9 _ - .", config.node);
    const std::string clientId = "relaymqtt-" + config.node;
    Require(mosquitto_validate_utf8(clientId.c_str(), static_cast<int>(clientId.size())) == MOSQ_ERR_SUCCESS,
            "libmosquitto takes the client id", clientId);
    for (const std::string* prefix : {&config.topicPrefix, &config.discoveryPrefix}) {
        RequireText(*prefix, kLongestPrefix, "a prefix is fit text within its length");
        Require(!prefix->empty() && prefix->front() != '$', "a prefix is not empty and not a broker's own", *prefix);
    }
    Require(config.pollInterval.count() >= 0 && config.pollInterval.count() <= 86400 && config.wait.count() >= 0 &&
                config.wait.count() <= 86400,
            "the poll interval and the wait are 0 to 86400 s", text);

    std::set<std::string> ids;
    for (const std::string& serial : config.boards) {
        RequireText(serial, kLongestSerial, "a board's serial number is fit text within its length");
        const std::string id = TopicId(serial);
        Require(!id.empty() && ids.insert(id).second, "each board has an id of its own", serial);
    }
    if (ids.empty()) {
        ids.insert("A1");
    }

    const Topics topics(config);
    RequirePublishable(topics.BridgeAvailability());
    Require(mosquitto_sub_topic_check2(topics.HomeAssistantStatus().c_str(), topics.HomeAssistantStatus().size()) ==
                MOSQ_ERR_SUCCESS,
            "libmosquitto takes Home Assistant's status topic", topics.HomeAssistantStatus());
    RequirePublishable(topics.BridgeClaim());
    RequirePublishable(topics.BridgeDiscovery());
    for (const std::string& id : ids) {
        const std::string filter = topics.BoardCommandFilter(id);
        Require(mosquitto_sub_topic_check2(filter.c_str(), filter.size()) == MOSQ_ERR_SUCCESS,
                "libmosquitto takes each board's command filter", filter);
        RequirePublishable(topics.Availability(id));
        for (int relay = 1; relay <= 8; ++relay) {
            RequirePublishable(topics.State(id, relay));
            RequirePublishable(topics.Discovery(id, relay));
            const std::string command = topics.Command(id, relay);
            bool matches = false;
            Require(mosquitto_topic_matches_sub(filter.c_str(), command.c_str(), &matches) == MOSQ_ERR_SUCCESS &&
                        matches,
                    "every command topic matches its board's command filter", command);
            const CommandTarget target = ParseCommandTopic(command, config.topicPrefix);
            Require(target.fault.empty() && target.id == id && target.relay == relay,
                    "every command topic is taken back", command);
            // Would throw on text that is not UTF-8.
            const nlohmann::json object = nlohmann::json::parse(topics.DiscoveryObject(id, id, relay));
            Require(object.at("command_topic") == command && object.at("state_topic") == topics.State(id, relay),
                    "the discovery object names the relay's topics", command);
        }
    }
    return 0;
}
