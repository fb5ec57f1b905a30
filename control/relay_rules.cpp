#include "relay_rules.h"

#include <algorithm>
#include <bit>

namespace {

bool TwoOrMoreOf(std::uint8_t relays, const InterlockGroup& group)
{
    return std::popcount(static_cast<unsigned>(relays & group.relays)) >= 2;
}

}  // namespace

std::uint8_t WireByte(std::uint8_t relays, const RelayRules& rules)
{
    return rules.activeLow ? static_cast<std::uint8_t>(~relays) : relays;
}

std::uint8_t RelaysFromWire(std::uint8_t wire, const RelayRules& rules)
{
    return rules.activeLow ? static_cast<std::uint8_t>(~wire) : wire;
}

RelayPlan PlanRelayChange(std::uint8_t current, RelayChange change, std::uint8_t named, const RelayRules& rules)
{
    RelayPlan plan;
    // The relays the command asks to be on: a toggle asks for those it finds off.
    std::uint8_t asked = 0;
    switch (change) {
    case RelayChange::On:
    case RelayChange::Exactly:
        asked = named;
        break;
    case RelayChange::Toggle:
        asked = static_cast<std::uint8_t>(named & ~current);
        break;
    case RelayChange::Off:
        break;
    }
    for (const InterlockGroup& group : rules.interlocks) {
        if (TwoOrMoreOf(asked, group)) {
            plan.refusal = RelayPlan::Refusal::TwoAsked;
            plan.group = group.relays;
            return plan;
        }
    }
    std::uint8_t target = ApplyRelayChange(current, change, named);
    std::chrono::milliseconds pause{0};
    bool handover = false;
    for (const InterlockGroup& group : rules.interlocks) {
        if ((asked & group.relays) == 0) {
            continue;
        }
        const auto others = static_cast<std::uint8_t>(group.relays & ~asked);
        target = static_cast<std::uint8_t>(target & ~others);
        if ((current & others) != 0) {
            handover = true;
            pause = std::max(pause, group.pause);
        }
    }
    for (const InterlockGroup& group : rules.interlocks) {
        if (TwoOrMoreOf(target, group)) {
            plan.refusal = RelayPlan::Refusal::AlreadyBroken;
            plan.group = group.relays;
            return plan;
        }
    }
    if (handover) {
        // Everything that goes off, and nothing that comes on.
        plan.writes.push_back({static_cast<std::uint8_t>(current & target), {}});
    }
    plan.writes.push_back({target, handover ? pause : std::chrono::milliseconds{0}});
    plan.relays = target;
    return plan;
}
