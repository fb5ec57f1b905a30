#include "topics.h"

#include "config.h"
#include "control/utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

using Json = nlohmann::ordered_json;

// Board ids in unique ids, entity ids and device identifiers carry this word,
// whatever the topic prefix: it names the kind of device, not the topics.
constexpr std::string_view kIdWord = "relayboard";
constexpr std::string_view kModel = "FT232R eight-relay board";
// The bridge's name: its device's model, and the origin of every discovery object.
constexpr std::string_view kBridgeWord = "relaymqtt";
// Home Assistant's QoS for the topics of a discovery object.
constexpr int kDiscoveryQos = 1;

// A discovery object as text. Its strings are valid UTF-8 (a serial number
// passes DisplayText, the config's values are checked), and a byte that is
// not would be replaced, never thrown about on the worker thread.
std::string Dump(const Json& object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Whether the bytes are UTF-8 as MQTT wants it: well formed, no surrogates,
// no overlong forms, nothing above U+10FFFF, no U+0000.
bool IsUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Character character = DecodeUtf8(text, at);
        if (character.length == 0 || character.code == 0) {
            return false;
        }
        at += character.length;
    }
    return true;
}

// The bridge's device in Home Assistant carries its node, whose dots a
// discovery topic may not hold.
std::string NodeKey(std::string node)
{
    std::replace(node.begin(), node.end(), '.', '_');
    return node;
}

}  // namespace

bool IsTopicIdCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::string TopicId(std::string_view serial)
{
    std::string id;
    std::copy_if(serial.begin(), serial.end(), std::back_inserter(id), IsTopicIdCharacter);
    return id;
}

std::string DisplayText(std::string_view text, std::size_t longest)
{
    std::string shown;
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size() && count < longest; ++count) {
        const Utf8Character character = DecodeUtf8(text, at);
        if (character.length == 0 || IsControlCharacter(character.code)) {
            shown += '?';
            at += character.length == 0 ? 1 : character.length;
        } else {
            shown += text.substr(at, character.length);
            at += character.length;
        }
    }
    return shown;
}

std::string EntitySlug(std::string_view text)
{
    std::string slug;
    bool gap = false;
    for (const char c : text) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
            if (gap && !slug.empty()) {
                slug += '_';
            }
            slug += lower;
            gap = false;
        } else {
            gap = true;
        }
    }
    return slug;
}

Topics::Topics(const Config& config)
    : m_topicPrefix(config.topicPrefix), m_discoveryPrefix(config.discoveryPrefix), m_node(config.node)
{
}

std::string Topics::BridgeAvailability() const
{
    return m_topicPrefix + "/bridge/" + m_node + "/availability";
}

std::string Topics::Availability(const std::string& id) const
{
    return m_topicPrefix + '/' + id + "/availability";
}

std::string Topics::State(const std::string& id, int relay) const
{
    return m_topicPrefix + '/' + id + "/relay/" + std::to_string(relay) + "/state";
}

std::string Topics::Command(const std::string& id, int relay) const
{
    return m_topicPrefix + '/' + id + "/relay/" + std::to_string(relay) + "/set";
}

std::string Topics::Discovery(const std::string& id, int relay) const
{
    return m_discoveryPrefix + "/switch/" + std::string(kIdWord) + '_' + id + '_' + std::to_string(relay) + "/config";
}

std::string Topics::BoardCommandFilter(const std::string& id) const
{
    return m_topicPrefix + '/' + id + "/relay/+/set";
}

std::string Topics::HomeAssistantStatus() const
{
    return m_discoveryPrefix + "/status";
}

std::string Topics::BridgeClaim() const
{
    return m_topicPrefix + "/bridge/" + m_node + "/instance";
}

std::string Topics::BridgeKey() const
{
    return std::string(kBridgeWord) + '_' + NodeKey(m_node);
}

std::string Topics::BridgeDiscovery() const
{
    return m_discoveryPrefix + "/binary_sensor/" + BridgeKey() + "/config";
}

std::string Topics::BridgeDiscoveryObject() const
{
    const Json object{
        {"name", "Connection"},
        {"unique_id", BridgeKey()},
        {"default_entity_id", "binary_sensor." + EntitySlug(BridgeKey())},
        // Its own availability: the last will turns it off when the bridge is gone.
        {"state_topic", BridgeAvailability()},
        {"payload_on", kOnline},
        {"payload_off", kOffline},
        {"device_class", "connectivity"},
        {"entity_category", "diagnostic"},
        {"qos", kDiscoveryQos},
        {"device",
         {{"identifiers", Json::array({BridgeKey()})},
          {"name", "Relay bridge " + m_node},
          {"model", kBridgeWord},
          {"sw_version", RELAYMQTT_VERSION}}},
        {"origin", {{"name", kBridgeWord}, {"sw_version", RELAYMQTT_VERSION}}},
    };
    return Dump(object);
}

std::string Topics::DiscoveryObject(const std::string& id, const std::string& serial, int relay,
                                    const std::string& boardName, const std::string& relayName) const
{
    const std::string entity = std::string(kIdWord) + '_' + id + '_' + std::to_string(relay);
    const Json object{
        {"name", relayName.empty() ? "Relay " + std::to_string(relay) : relayName},
        {"unique_id", entity},
        {"default_entity_id", "switch." + EntitySlug(entity)},
        {"command_topic", Command(id, relay)},
        {"state_topic", State(id, relay)},
        {"payload_on", kOn},
        {"payload_off", kOff},
        {"state_on", kOn},
        {"state_off", kOff},
        // Commands reach the bridge, and states Home Assistant, at the QoS
        // the bridge itself uses.
        {"qos", kDiscoveryQos},
        // Available only while both the bridge and the board are.
        {"availability", Json::array({Json{{"topic", BridgeAvailability()}}, Json{{"topic", Availability(id)}}})},
        {"availability_mode", "all"},
        {"device",
         {{"identifiers", Json::array({std::string(kIdWord) + '_' + id})},
          {"name", boardName.empty() ? "Relay board " + id : boardName},
          {"model", kModel},
          {"serial_number", DisplayText(serial)},
          {"via_device", BridgeKey()}}},
        {"origin", {{"name", kBridgeWord}, {"sw_version", RELAYMQTT_VERSION}}},
    };
    return Dump(object);
}

CommandTarget ParseCommandTopic(std::string_view topic, std::string_view topicPrefix)
{
    // topic prefix / id / relay / N / set, as the subscription matched it.
    CommandTarget target;
    if (topic.size() <= topicPrefix.size() || topic.substr(0, topicPrefix.size()) != topicPrefix ||
        topic[topicPrefix.size()] != '/') {
        target.fault = "not a command topic";
        return target;
    }
    std::string_view rest = topic.substr(topicPrefix.size() + 1);
    const std::size_t idEnd = rest.find('/');
    const std::string_view id = rest.substr(0, idEnd);
    rest = idEnd == std::string_view::npos ? std::string_view() : rest.substr(idEnd + 1);
    constexpr std::string_view kRelay = "relay/";
    constexpr std::string_view kSet = "/set";
    if (rest.size() <= kRelay.size() + kSet.size() || rest.substr(0, kRelay.size()) != kRelay ||
        rest.substr(rest.size() - kSet.size()) != kSet) {
        target.fault = "not a command topic";
        return target;
    }
    if (id.empty() || !std::all_of(id.begin(), id.end(), IsTopicIdCharacter)) {
        target.fault = "no board has that id";
        return target;
    }
    const std::string_view relay = rest.substr(kRelay.size(), rest.size() - kRelay.size() - kSet.size());
    if (relay.size() != 1 || relay[0] < '1' || relay[0] > '8') {
        target.fault = "no relay " + Loggable(relay, 8) + " on a board: relays are 1 to 8";
        return target;
    }
    target.id = std::string(id);
    target.relay = relay[0] - '0';
    return target;
}

CommandPayload ParseCommandPayload(std::string_view payload)
{
    CommandPayload command;
    if (payload.empty()) {
        command.fault = "empty payload";
    } else if (payload.size() > kLongestCommand) {
        command.fault = "payload of " + std::to_string(payload.size()) + " bytes, longer than any command";
    } else if (!IsUtf8(payload)) {
        command.fault = "payload is not valid UTF-8";
    } else if (payload == kOn || payload == kOff) {
        command.on = payload == kOn;
    } else {
        command.fault = "payload '" + Loggable(payload) + "' is neither ON nor OFF";
    }
    return command;
}
