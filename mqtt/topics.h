// The bridge's topics and payloads: where each board's relays, states and
// availability live on the broker, the discovery objects Home Assistant
// builds its switches from, and the checks a command passes before it may
// reach a board. Plain functions, free of the broker and the driver.
#pragma once

#include "text.h"

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

// Text from a device (a serial number) made fit to show in Home Assistant:
// well-formed UTF-8 kept, every control character and every byte that is not
// part of a well-formed character shown as '?', cut at `longest` characters.
// The result is valid UTF-8, so JSON can always carry it.
std::string DisplayText(std::string_view text, std::size_t longest = 64);

// The part of an entity id after its domain, as Home Assistant makes one: a
// lower-case letter or digit kept, every run of anything else one '_', none
// at either end.
std::string EntitySlug(std::string_view text);

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
    // What the bridge subscribes to: the command topics of each of its own
    // boards, and Home Assistant's status, whose `online` is its birth message.
    std::string BoardCommandFilter(const std::string& id) const;
    std::string HomeAssistantStatus() const;
    // Where each connection of the bridge leaves its own mark, retained: one
    // found there from another client tells of a second bridge on this node.
    std::string BridgeClaim() const;

    // The discovery object of relay `relay` (1 to 8) of the board with that
    // id and serial number; the names from the boards file, where it gives
    // them, name the entity and the device (the ids stay on the serial
    // number and relay).
    std::string DiscoveryObject(const std::string& id, const std::string& serial, int relay,
                                const std::string& boardName = {}, const std::string& relayName = {}) const;
    // The bridge as a device of its own in Home Assistant, the one the boards
    // are connected through: a connectivity sensor on its availability.
    std::string BridgeDiscovery() const;
    std::string BridgeDiscoveryObject() const;

    const std::string& topicPrefix() const { return m_topicPrefix; }

private:
    // The bridge's device identifier, also the unique id of its sensor.
    std::string BridgeKey() const;

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
