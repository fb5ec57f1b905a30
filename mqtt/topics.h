// The bridge's topics and payloads: where each board's relays, states and
// availability live on the broker, the discovery objects Home Assistant
// builds its switches from, and the checks a command passes before it may
// reach a board. Plain functions, free of the broker and the driver.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct Config;

// The characters a board's serial number keeps in its topics and ids.
bool IsTopicIdCharacter(char c);
// The serial number with every character but A-Z a-z 0-9 _ - left out, so
// that no device string puts a wildcard, a level or a stray byte into a
// topic. Empty when nothing is left.
std::string TopicId(std::string_view serial);

// The payloads of a relay's command and state, and of availability.
inline constexpr std::string_view kOn = "ON";
inline constexpr std::string_view kOff = "OFF";
inline constexpr std::string_view kOnline = "online";
inline constexpr std::string_view kOffline = "offline";

// Topics of one bridge: its prefixes and its node come from the config.
class Topics {
public:
    explicit Topics(const Config& config);

    std::string BridgeAvailability() const;
    std::string Availability(const std::string& id) const;
    std::string State(const std::string& id, int relay) const;
    std::string Command(const std::string& id, int relay) const;
    std::string Discovery(const std::string& id, int relay) const;
    // What the bridge subscribes to: every relay's command topic, and Home
    // Assistant's status, whose `online` is its birth message.
    std::string CommandFilter() const;
    std::string HomeAssistantStatus() const;

    // The discovery object of relay `relay` (1 to 8) of the board with that
    // id; the names from the boards file, where it gives them, name the
    // entity and the device (the ids stay on the serial number and relay).
    std::string DiscoveryObject(const std::string& id, int relay, const std::string& boardName = {},
                                const std::string& relayName = {}) const;

    const std::string& topicPrefix() const { return m_topicPrefix; }

private:
    std::string m_topicPrefix;
    std::string m_discoveryPrefix;
    std::string m_node;
};

// A message on a command topic, taken apart: the board's id and the relay,
// or why it switches nothing.
struct CommandTarget {
    std::string id;
    int relay = 0;
    std::string fault;  // empty when id and relay are good
};
CommandTarget ParseCommandTopic(std::string_view topic, std::string_view topicPrefix);

// The longest payload worth reading as a command.
inline constexpr std::size_t kLongestCommand = 16;

// ON or OFF; anything else switches nothing, and `fault` says why.
struct CommandPayload {
    bool on = false;
    std::string fault;
};
CommandPayload ParseCommandPayload(std::string_view payload);

// Text from the broker made fit for one log line: control characters and
// bytes outside ASCII shown as '?', cut at `longest` characters.
std::string Loggable(std::string_view text, std::size_t longest = 80);
