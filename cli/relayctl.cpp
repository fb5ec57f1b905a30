#include "relayctl.h"

#include "command_line.h"
#include "console_services.h"
#include "control/board_access.h"
#include "control/boards_file.h"
#include "control/relay_board.h"
#include "control/relay_panel.h"
#include "control/relay_rules.h"
#include "held_interruptions.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using Command = Request::Command;

// A string from a device, safe to print on a terminal: control characters
// become '?'.
std::string Printable(std::string_view text)
{
    std::string printable(text);
    std::replace_if(
        printable.begin(), printable.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; },
        '?');
    return printable;
}

// The serial numbers of the boards, each with its name from the boards file.
std::string Serials(const std::vector<DeviceEntry>& devices, const BoardsFile& boards)
{
    std::string serials;
    for (const DeviceEntry& device : devices) {
        serials += (serials.empty() ? "" : ", ") + (device.serial.empty() ? "(unknown)" : Printable(device.serial));
        if (const BoardEntry* entry = boards.BySerial(device.serial); entry != nullptr && !entry->name.empty()) {
            serials += " (" + entry->name + ")";
        }
    }
    return serials.empty() ? "none" : serials;
}

// The name the boards file gives a relay of the board; empty when none.
std::string RelayName(const BoardEntry* entry, int relay)
{
    return entry == nullptr ? std::string() : entry->relayNames.at(static_cast<std::size_t>(relay - 1));
}

// A relay as a person reads it: its number, and its name where it has one.
std::string RelayLabel(const BoardEntry* entry, int relay)
{
    const std::string name = RelayName(entry, relay);
    return std::to_string(relay) + (name.empty() ? "" : " (" + name + ")");
}

// The result line of a state of the relays.
std::string StateLine(std::uint8_t relays, const BoardEntry* entry)
{
    if (relays == 0) {
        return "all relays off";
    }
    std::string line = "relays on:";
    for (const int relay : RelaysIn(relays)) {
        line += ' ' + RelayLabel(entry, relay);
    }
    return line;
}

// The relays of a group: "1 (up) and 2 (down)", "5, 6 and 7".
std::string GroupText(std::uint8_t group, const BoardEntry* entry)
{
    const std::vector<int> relays = RelaysIn(group);
    std::string text;
    for (std::size_t at = 0; at < relays.size(); ++at) {
        text += (at == 0 ? "" : at + 1 == relays.size() ? " and " : ", ") + RelayLabel(entry, relays[at]);
    }
    return text;
}

class Relayctl {
public:
    Relayctl(const Request& request, const BoardsFile& boards, std::ostream& out, std::ostream& err)
        : m_request(request), m_boards(boards), m_out(out), m_err(err), m_services(err), m_driver(m_services),
          m_relays(request.relays)
    {
    }

    int Run()
    {
        try {
            return m_request.command == Command::List ? List() : Switch();
        } catch (const ProgramEnded&) {
            // The binding reported a missing library or function already.
            return kRelayctlFailed;
        }
    }

private:
    int Failed(const StepFailure& failure)
    {
        m_err << "relayctl: " << failure.step << " failed: ";
        if (!failure.detail.empty()) {
            m_err << failure.detail << '\n';
        } else if (const std::string_view name = d2xx::StatusName(failure.status); !name.empty()) {
            m_err << name << '\n';
        } else {
            m_err << "status " << failure.status << '\n';
        }
        return kRelayctlFailed;
    }

    int List()
    {
        std::vector<DeviceEntry> devices;
        if (StepResult failed = ListDevices(m_driver, devices)) {
            return Failed(*failed);
        }
        const std::vector<DeviceEntry> boards = RelayBoards(devices);
        // stdout stays empty, as a script that loops over the lines expects;
        // a person reading the terminal is told.
        if (boards.empty()) {
            NoBoard(devices);
        }
        if (m_request.json) {
            Json list = Json::array();
            for (const DeviceEntry& board : boards) {
                Json item{{"serial", board.serial}, {"description", board.description}, {"in_use", board.inUse}};
                if (const std::string name = BoardName(board.serial); !name.empty()) {
                    item["name"] = name;
                }
                list.push_back(item);
            }
            Print(Json{{"boards", list}});
            return kRelayctlDone;
        }
        for (const DeviceEntry& board : boards) {
            const std::string name = BoardName(board.serial);
            m_out << (board.serial.empty() ? "-" : Printable(board.serial)) << '\t' << Printable(board.description)
                  << (board.inUse ? "\tin use" : "") << (name.empty() ? "" : "\tname=" + name) << '\n';
        }
        return kRelayctlDone;
    }

    // Every command but list: the board chosen and opened, the relays read
    // where the command keeps relays it does not name or an interlock group
    // needs them, the change planned under the board's rules, written, and
    // the board closed.
    int Switch()
    {
        if (const int status = KnownRelayNames(); status != kRelayctlDone) {
            return status;
        }
        BoardChoice choice;
        if (const int status = Choose(choice); status != kRelayctlDone) {
            return status;
        }
        m_entry = choice.serial.empty() ? nullptr : m_boards.BySerial(choice.serial);
        const RelayRules rules = m_entry == nullptr ? RelayRules{} : m_entry->rules;
        if (const int status = NameRelays(choice); status != kRelayctlDone) {
            return status;
        }
        const Command command = m_request.command;
        // Two of a group asked for at once: refused before the board is opened.
        if (command == Command::On || command == Command::Set) {
            const RelayPlan asked = PlanRelayChange(0, RelayChange::On, m_relays, rules);
            if (asked.refusal == RelayPlan::Refusal::TwoAsked) {
                return Refused(choice, asked);
            }
        }
        RelayBoard board(m_driver);
        if (const int status = Open(board, choice); status != kRelayctlDone) {
            return status;
        }
        if (StepResult failed = board.SetUp()) {
            return Failed(*failed);
        }
        std::uint8_t relays = 0;
        if (command == Command::Get || command == Command::Pulse) {
            if (StepResult failed = ReadRelays(board, rules, relays)) {
                return Failed(*failed);
            }
            if (command == Command::Pulse) {
                if (const int status = Pulse(board, choice, rules, relays); status != kRelayctlDone) {
                    return status;
                }
            }
        } else {
            RelayChange change = RelayChange::Exactly;
            std::uint8_t named = m_relays;
            if (command == Command::On) {
                change = RelayChange::On;
            } else if (command == Command::Toggle) {
                change = RelayChange::Toggle;
            } else if (command == Command::Off) {
                // Off without relays writes the whole state: all off.
                change = m_request.relayNamed ? RelayChange::Off : RelayChange::Exactly;
                named = m_request.relayNamed ? m_relays : 0;
            }
            const RelayChangeResult result = ChangeRelays(board, change, named, rules);
            if (result.failed) {
                return Failed(*result.failed);
            }
            if (result.plan.refused()) {
                return Refused(choice, result.plan);
            }
            relays = result.plan.relays;
        }
        if (StepResult failed = board.Close()) {
            return Failed(*failed);
        }
        PrintState(choice, relays);
        return kRelayctlDone;
    }

    // The relay on, the wait, and the relay off again, with the board held
    // throughout; an interruption cuts the wait short but not the switching
    // off. `relays` comes in as read and goes out as left.
    int Pulse(RelayBoard& board, const BoardChoice& choice, const RelayRules& rules, std::uint8_t& relays)
    {
        const int relay = RelaysIn(m_relays).front();
        if ((relays & m_relays) != 0) {
            m_err << "relayctl: relay " << RelayLabel(m_entry, relay) << " is on already; it stays on\n";
            return kRelayctlDone;
        }
        const RelayPlan on = PlanRelayChange(relays, RelayChange::On, m_relays, rules);
        if (on.refused()) {
            return Refused(choice, on);
        }
        HeldInterruptions interruptions;
        if (StepResult failed = WritePlan(board, on, rules)) {
            return Failed(*failed);
        }
        const bool interrupted = interruptions.WaitFor(m_request.duration);
        const RelayPlan off = PlanRelayChange(on.relays, RelayChange::Off, m_relays, rules);
        if (StepResult failed = WritePlan(board, off, rules)) {
            Failed(*failed);
            m_err << "relayctl: relay " << RelayLabel(m_entry, relay) << " may still be on\n";
            interruptions.EndIfInterrupted();
            return kRelayctlFailed;
        }
        if (interrupted) {
            // The process's end lets go of the board.
            m_err << "relayctl: interrupted; relay " << RelayLabel(m_entry, relay) << " is off again\n";
        }
        interruptions.EndIfInterrupted();
        relays = off.relays;
        return kRelayctlDone;
    }

    // A change an interlock group refuses: nothing was written.
    int Refused(const BoardChoice& choice, const RelayPlan& plan)
    {
        m_err << "relayctl: relays " << GroupText(plan.group, m_entry) << " of board " << BoardText(choice.serial)
              << " are an interlock group: ";
        if (plan.refusal == RelayPlan::Refusal::TwoAsked) {
            m_err << "at most one of them may be on\n";
        } else {
            m_err << "more than one of them is on; switch them off first\n";
        }
        return kRelayctlUsage;
    }

    // Relay names that no board of the boards file gives are refused before
    // the driver is called, as a word that is no relay number was.
    int KnownRelayNames()
    {
        std::vector<std::string> named;
        for (const BoardEntry& entry : m_boards.boards) {
            for (const std::string& name : entry.relayNames) {
                if (!name.empty() && std::find(named.begin(), named.end(), name) == named.end()) {
                    named.push_back(name);
                }
            }
        }
        for (const std::string& word : m_request.relayNames) {
            if (std::find(named.begin(), named.end(), word) != named.end()) {
                continue;
            }
            if (named.empty()) {
                m_err << "relayctl: not a relay number: '" << Printable(word) << "'\n" << kUsage;
            } else {
                m_err << "relayctl: no relay is named '" << Printable(word) << "'; the boards file names "
                      << Joined(named) << '\n';
            }
            return kRelayctlUsage;
        }
        return kRelayctlDone;
    }

    // The relay names looked up on the chosen board.
    int NameRelays(const BoardChoice& choice)
    {
        for (const std::string& word : m_request.relayNames) {
            const int relay = m_entry == nullptr ? 0 : m_entry->RelayNamed(word);
            if (relay == 0) {
                m_err << "relayctl: board " << BoardText(choice.serial) << " has no relay named '" << Printable(word)
                      << "'; its relays: 1 to 8" << NamedRelays() << '\n';
                return kRelayctlUsage;
            }
            m_relays = static_cast<std::uint8_t>(m_relays | RelayWeight(relay));
        }
        return kRelayctlDone;
    }

    // ", pump (3), lights (4)": the chosen board's relay names.
    std::string NamedRelays() const
    {
        std::string text;
        for (int relay = 1; relay <= 8; ++relay) {
            if (const std::string name = RelayName(m_entry, relay); !name.empty()) {
                text += ", " + name + " (" + std::to_string(relay) + ")";
            }
        }
        return text;
    }

    static std::string Joined(const std::vector<std::string>& names)
    {
        std::string text;
        for (const std::string& name : names) {
            text += (text.empty() ? "" : ", ") + name;
        }
        return text;
    }

    // The name the boards file gives the board with that serial number; empty when none.
    std::string BoardName(const std::string& serial) const
    {
        const BoardEntry* entry = serial.empty() ? nullptr : m_boards.BySerial(serial);
        return entry == nullptr ? std::string() : entry->name;
    }

    // "A1 (garden)", or the serial number alone.
    std::string BoardText(const std::string& serial) const
    {
        const std::string name = BoardName(serial);
        return Printable(serial) + (name.empty() ? "" : " (" + name + ")");
    }

    // The line that says no relay board is attached, naming the other FTDI
    // devices that are.
    void NoBoard(const std::vector<DeviceEntry>& devices)
    {
        m_err << "relayctl: no relay board found";
        if (!devices.empty()) {
            m_err << " (" << devices.size() << " other FTDI device" << (devices.size() == 1 ? "" : "s")
                  << " attached, none an FT232R)";
        }
        m_err << '\n';
    }

    // Without -s exactly one board may be attached: with several, relayctl
    // does not guess which one is the relay board and opens none. -s takes a
    // board's name from the boards file, or else a serial number; a name that
    // is also the serial number of another board attached is refused.
    int Choose(BoardChoice& choice)
    {
        if (m_request.serial) {
            choice.serial = *m_request.serial;
            const BoardEntry* named = m_boards.ByName(*m_request.serial);
            if (named == nullptr) {
                return kRelayctlDone;
            }
            choice.serial = named->serial;
            std::vector<DeviceEntry> devices;
            if (StepResult failed = ListDevices(m_driver, devices)) {
                return Failed(*failed);
            }
            const std::vector<DeviceEntry> boards = RelayBoards(devices);
            if (std::any_of(boards.begin(), boards.end(), [&](const DeviceEntry& board) {
                    return board.serial == named->name && board.serial != named->serial;
                })) {
                m_err << "relayctl: '" << named->name << "' is the name of board " << Printable(named->serial)
                      << " in the boards file and the serial number of another board attached ("
                      << Serials(boards, m_boards) << "): name it by its serial number\n";
                return kRelayctlUsage;
            }
            return kRelayctlDone;
        }
        std::vector<DeviceEntry> devices;
        if (StepResult failed = ListDevices(m_driver, devices)) {
            return Failed(*failed);
        }
        const std::vector<DeviceEntry> boards = RelayBoards(devices);
        if (boards.empty()) {
            NoBoard(devices);
            return kRelayctlFailed;
        }
        if (boards.size() > 1) {
            m_err << "relayctl: " << boards.size() << " relay boards are attached (" << Serials(boards, m_boards)
                  << "): name one with -s\n";
            return kRelayctlUsage;
        }
        choice.serial = boards.front().serial;
        choice.index = boards.front().index;
        choice.listed = true;
        return kRelayctlDone;
    }

    // Opens the chosen board; while another program holds it, tries again
    // until --wait runs out.
    int Open(RelayBoard& board, const BoardChoice& choice)
    {
        const OpenResult opened = OpenWaiting(m_driver, board, choice, m_request.wait);
        switch (opened.outcome) {
        case OpenOutcome::Opened:
            return kRelayctlDone;
        case OpenOutcome::NotFound:
            if (m_request.serial) {
                return UnknownSerial(choice.serial);
            }
            return Failed(opened.failure);
        case OpenOutcome::Busy: {
            const auto waited = std::chrono::duration<double>(m_request.wait).count();
            m_err << "relayctl: board " << Printable(choice.Name()) << " in use by another program";
            if (waited > 0) {
                m_err << "; gave up after " << waited << " s";
            }
            m_err << " (" << opened.failure.step << ": " << d2xx::StatusName(opened.failure.status) << ")\n";
            return kRelayctlFailed;
        }
        case OpenOutcome::Failed:
        default:
            return Failed(opened.failure);
        }
    }

    int UnknownSerial(const std::string& serial)
    {
        std::vector<DeviceEntry> devices;
        std::string present = "unknown";
        if (!ListDevices(m_driver, devices)) {
            present = Serials(RelayBoards(devices), m_boards);
        }
        m_err << "relayctl: no relay board with serial number '" << BoardText(serial) << "'; attached: " << present
              << '\n';
        return kRelayctlFailed;
    }

    // The relays as the command left them; names where the boards file gives them.
    void PrintState(const BoardChoice& choice, std::uint8_t relays)
    {
        const bool oneRelay = m_request.command == Command::Get && m_request.relayNamed;
        const bool on = (relays & m_relays) != 0;
        if (!m_request.json) {
            m_out << (oneRelay ? (on ? "on" : "off") : StateLine(relays, m_entry)) << '\n';
            return;
        }
        Json state{{"serial", choice.serial.empty() ? Json() : Json(choice.serial)}};
        if (const std::string name = BoardName(choice.serial); !name.empty()) {
            state["name"] = name;
        }
        if (oneRelay) {
            const int relay = RelaysIn(m_relays).front();
            state["relay"] = relay;
            if (const std::string name = RelayName(m_entry, relay); !name.empty()) {
                state["relay_name"] = name;
            }
            state["state"] = on ? "on" : "off";
        } else {
            state["byte"] = relays;
            state["on"] = RelaysIn(relays);
            Json names = Json::object();
            for (int relay = 1; relay <= 8; ++relay) {
                if (const std::string name = RelayName(m_entry, relay); !name.empty()) {
                    names[std::to_string(relay)] = name;
                }
            }
            if (!names.empty()) {
                state["relay_names"] = names;
            }
        }
        Print(state);
    }

    // Strings from a device need not be valid UTF-8: a byte that is not is
    // shown as U+FFFD rather than failing the run.
    void Print(const Json& json) { m_out << json.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n'; }

    const Request& m_request;
    const BoardsFile& m_boards;
    std::ostream& m_out;
    std::ostream& m_err;
    ConsoleServices m_services;
    Module1 m_driver;
    std::uint8_t m_relays;                // the named relays, names looked up
    const BoardEntry* m_entry = nullptr;  // the chosen board's section of the boards file
};

}  // namespace

int RunRelayctl(std::span<const std::string_view> args, std::ostream& out, std::ostream& err)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.request) {
        err << "relayctl: " << parsed.reason << '\n' << kUsage;
        return kRelayctlUsage;
    }
    const Request& request = *parsed.request;
    switch (request.command) {
    case Command::Help:
        out << kUsage << '\n' << kHelp;
        return kRelayctlDone;
    case Command::Version:
        out << "relayctl " << RELAYCTL_VERSION << '\n';
        return kRelayctlDone;
    default:
        break;
    }
    // The boards file: the one --boards names, or the system's and the user's where they exist.
    const std::vector<std::filesystem::path> files = request.boardsFile
                                                         ? std::vector<std::filesystem::path>{*request.boardsFile}
                                                         : DefaultBoardsFiles(ProcessEnvironment);
    const ParsedBoards boards = LoadBoardsFiles(files, request.boardsFile.has_value());
    if (!boards.boards) {
        err << "relayctl: " << Printable(boards.error.Describe()) << '\n';
        return kRelayctlUsage;
    }
    return Relayctl(request, *boards.boards, out, err).Run();
}
