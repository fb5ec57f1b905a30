// The rules a boards file may set for a board, beside the relay arithmetic
// they build on: interlock groups, of which at most one relay is ever on, with
// a pause between one going off and another coming on; and active-low lines,
// where a relay pulls in while its line is low. Plain functions, shared by
// relayctl and the MQTT bridge through the board access.
#pragma once

#include "relay_panel.h"

#include <chrono>
#include <cstdint>
#include <vector>

// Relays of which at most one may be on at any time, as for a motor wired to
// an "up" and a "down" relay.
struct InterlockGroup {
    std::uint8_t relays = 0;  // two or more
    // Waited between switching the others of the group off and one of them on.
    std::chrono::milliseconds pause{0};
};

struct RelayRules {
    std::vector<InterlockGroup> interlocks;  // no relay in two groups
    bool activeLow = false;                  // a relay is on while its line is low
};

// The byte on the wire for a relay state, and the relay state a wire byte
// shows: inverted on an active-low board, the same otherwise.
std::uint8_t WireByte(std::uint8_t relays, const RelayRules& rules);
std::uint8_t RelaysFromWire(std::uint8_t wire, const RelayRules& rules);

// One byte of relay states to write, after waiting `pauseBefore`.
struct PlannedWrite {
    std::uint8_t relays = 0;
    std::chrono::milliseconds pauseBefore{0};
};

// How a change is carried out under the rules, or why it is refused.
struct RelayPlan {
    enum class Refusal {
        None,
        TwoAsked,       // the command asks for two relays of a group to be on
        AlreadyBroken,  // two of a group are on already and the command leaves them so
    };
    Refusal refusal = Refusal::None;
    std::uint8_t group = 0;            // the group's relays, when refused
    std::vector<PlannedWrite> writes;  // in order; none when refused
    std::uint8_t relays = 0;           // the state the last write leaves

    bool refused() const { return refusal != Refusal::None; }
};

// The writes that take the relays from `current` through the change. A relay
// of an interlock group that the command switches on turns the others of its
// group off: when any of them is on, a first write switches off every relay
// that goes off, then, after the longest pause of the groups concerned, a
// second write switches on what goes on. No byte planned ever has two relays
// of a group on; a change that would need one is refused, with no write.
RelayPlan PlanRelayChange(std::uint8_t current, RelayChange change, std::uint8_t named, const RelayRules& rules);
