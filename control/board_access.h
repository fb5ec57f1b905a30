// What the faces that switch relays for scripts and home automation share:
// finding the relay boards among the attached devices, opening one that
// another program may hold for a moment, and changing relays by reading the
// lines back, so that a relay nobody named keeps its state.
#pragma once

#include "relay_board.h"
#include "relay_panel.h"
#include "relay_rules.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The devices that may be relay boards, in the driver's order.
std::vector<DeviceEntry> RelayBoards(const std::vector<DeviceEntry>& devices);

// A board to open: by serial number, or, for one its driver lists without a
// serial number, by index.
struct BoardChoice {
    std::string serial;
    int index = -1;
    // Taken from the device list among the relay boards: its type is known.
    // A serial number from elsewhere is looked up in the list before the open.
    bool listed = false;

    std::string Name() const;
};

// How often a board another program holds is tried again.
inline constexpr std::chrono::milliseconds kBusyRetryInterval{100};

enum class OpenOutcome {
    Opened,
    NotFound,  // no relay board with that serial number
    Busy,      // another program held it until the wait ran out
    Failed,    // refused for another reason
};

struct OpenResult {
    OpenOutcome outcome = OpenOutcome::Opened;
    StepFailure failure;  // the last refusal, unless opened
};

// Opens the chosen board, waiting up to `wait` while another program holds
// it. A serial number the list shows on an FTDI chip of another type is not
// opened at all (NotFound): that chip carries no relay board, and setting its
// lines would drive whatever it does carry. The driver answers
// FT_DEVICE_NOT_OPENED both for a board in use and for other troubles (no
// permission), so the device list decides: a board listed as held, or a
// device held elsewhere and listed without a serial number, is waited for. A
// refusal while the list shows the board free is tried again at once for a
// short while, since the holder may have let go between the open and the look
// at the list; one that persists is reported without waiting.
OpenResult OpenWaiting(Module1& driver, RelayBoard& board, const BoardChoice& choice, std::chrono::microseconds wait);

// The relays of an open board that is set up, its lines read through the rules.
[[nodiscard]] StepResult ReadRelays(RelayBoard& board, const RelayRules& rules, std::uint8_t& relays);

// Carries a plan out: each byte through the rules onto the wire, after its
// pause. The first refused write ends it.
[[nodiscard]] StepResult WritePlan(RelayBoard& board, const RelayPlan& plan, const RelayRules& rules);

struct RelayChangeResult {
    StepResult failed;        // a driver step refused
    RelayPlan plan;           // refused by the rules, or what was written
    std::uint8_t before = 0;  // the relays before the change, as read
};

// On an open board that is set up: the relays read, the change planned under
// the rules (PlanRelayChange) and, unless the rules refuse it, written. A
// change to exactly the named relays on a board without interlock groups
// needs no read.
[[nodiscard]] RelayChangeResult ChangeRelays(RelayBoard& board, RelayChange change, std::uint8_t named,
                                             const RelayRules& rules);
