#include "board_access.h"

#include <algorithm>
#include <iterator>
#include <thread>

namespace {

// How long a refusal the device list does not put down to another holder is
// tried again, and how often. Long enough to outlast the few milliseconds in
// which a holder lets go and the next one takes the board; short enough that
// a board refused for good is reported at once.
constexpr std::chrono::milliseconds kUnexplainedGrace{250};
constexpr std::chrono::milliseconds kUnexplainedRetryInterval{10};

// Whether the driver's list shows the board held by a program. A driver may
// list a device another program holds without its serial number: such a one
// may be the board.
bool HeldElsewhere(Module1& driver, const BoardChoice& choice)
{
    std::vector<DeviceEntry> devices;
    if (ListDevices(driver, devices)) {
        return false;
    }
    return std::any_of(devices.begin(), devices.end(), [&](const DeviceEntry& device) {
        const bool same = choice.serial.empty() ? device.index == choice.index : device.serial == choice.serial;
        return device.inUse && (same || device.serial.empty());
    });
}

// Whether the list shows a device under this serial number that is no relay
// board. A list that cannot be read shows nothing: the open tells then.
bool ListedAsAnotherChip(Module1& driver, const std::string& serial)
{
    std::vector<DeviceEntry> devices;
    if (ListDevices(driver, devices)) {
        return false;
    }
    return std::any_of(devices.begin(), devices.end(),
                       [&](const DeviceEntry& device) { return device.serial == serial && !device.MayBeRelayBoard(); });
}

}  // namespace

std::vector<DeviceEntry> RelayBoards(const std::vector<DeviceEntry>& devices)
{
    std::vector<DeviceEntry> boards;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(boards),
                 [](const DeviceEntry& device) { return device.MayBeRelayBoard(); });
    return boards;
}

std::string BoardChoice::Name() const
{
    return serial.empty() ? "device " + std::to_string(index) : serial;
}

OpenResult OpenWaiting(Module1& driver, RelayBoard& board, const BoardChoice& choice, std::chrono::microseconds wait)
{
    using Clock = std::chrono::steady_clock;
    if (!choice.serial.empty() && !choice.listed && ListedAsAnotherChip(driver, choice.serial)) {
        return {OpenOutcome::NotFound,
                {"FT_GetDeviceInfoDetail", d2xx::FT_OK, "it lists " + choice.serial + " as a chip of another type"}};
    }
    const auto deadline = Clock::now() + wait;
    // Since when the refusals have come while the list shows the board free.
    bool unexplained = false;
    Clock::time_point unexplainedSince{};
    for (;;) {
        StepResult failed = choice.serial.empty() ? board.OpenByIndex(choice.index) : board.OpenBySerial(choice.serial);
        if (!failed) {
            return {OpenOutcome::Opened, {}};
        }
        if (failed->status == d2xx::FT_DEVICE_NOT_FOUND && !choice.serial.empty()) {
            return {OpenOutcome::NotFound, *failed};
        }
        if (failed->status != d2xx::FT_DEVICE_NOT_OPENED) {
            return {OpenOutcome::Failed, *failed};
        }
        const auto now = Clock::now();
        if (!HeldElsewhere(driver, choice)) {
            // Free by the time the list was read: the holder may just have
            // let go, or the board refuses for another reason.
            if (!unexplained) {
                unexplained = true;
                unexplainedSince = now;
            } else if (now - unexplainedSince >= kUnexplainedGrace) {
                return {OpenOutcome::Failed, *failed};
            }
            std::this_thread::sleep_for(kUnexplainedRetryInterval);
            continue;
        }
        unexplained = false;
        if (now >= deadline) {
            return {OpenOutcome::Busy, *failed};
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kBusyRetryInterval, deadline - now));
    }
}

StepResult ReadRelays(RelayBoard& board, const RelayRules& rules, std::uint8_t& relays)
{
    std::uint8_t lines = 0;
    if (StepResult failed = board.ReadLines(lines)) {
        return failed;
    }
    relays = RelaysFromWire(lines, rules);
    return std::nullopt;
}

StepResult WritePlan(RelayBoard& board, const RelayPlan& plan, const RelayRules& rules)
{
    for (const PlannedWrite& write : plan.writes) {
        if (write.pauseBefore.count() > 0) {
            std::this_thread::sleep_for(write.pauseBefore);
        }
        if (StepResult failed = board.WriteLines(WireByte(write.relays, rules))) {
            return failed;
        }
    }
    return std::nullopt;
}

RelayChangeResult ChangeRelays(RelayBoard& board, RelayChange change, std::uint8_t named, const RelayRules& rules)
{
    RelayChangeResult result;
    // The whole state is given: without groups, what it was changes nothing.
    std::uint8_t current = named;
    if (change != RelayChange::Exactly || !rules.interlocks.empty()) {
        result.failed = ReadRelays(board, rules, current);
        if (result.failed) {
            return result;
        }
    }
    result.before = current;
    result.plan = PlanRelayChange(current, change, named, rules);
    if (!result.plan.refused()) {
        result.failed = WritePlan(board, result.plan, rules);
    }
    return result;
}
