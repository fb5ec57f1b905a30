#include "relayctl.h"

#include "command_line.h"
#include "console_services.h"
#include "control/board_access.h"
#include "control/relay_board.h"
#include "control/relay_panel.h"
#include "held_interruptions.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
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

std::string Serials(const std::vector<DeviceEntry>& devices)
{
    std::string serials;
    for (const DeviceEntry& device : devices) {
        serials += (serials.empty() ? "" : ", ") + (device.serial.empty() ? "(unknown)" : Printable(device.serial));
    }
    return serials.empty() ? "none" : serials;
}

// The result line of a state of the lines.
std::string StateLine(std::uint8_t lines)
{
    if (lines == 0) {
        return "all relays off";
    }
    std::string line = "relays on:";
    for (const int relay : RelaysIn(lines)) {
        line += ' ' + std::to_string(relay);
    }
    return line;
}

class Relayctl {
public:
    Relayctl(const Request& request, std::ostream& out, std::ostream& err)
        : m_request(request), m_out(out), m_err(err), m_services(err), m_driver(m_services)
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
                list.push_back({{"serial", board.serial}, {"description", board.description}, {"in_use", board.inUse}});
            }
            Print(Json{{"boards", list}});
            return kRelayctlDone;
        }
        for (const DeviceEntry& board : boards) {
            m_out << (board.serial.empty() ? "-" : Printable(board.serial)) << '\t' << Printable(board.description)
                  << (board.inUse ? "\tin use" : "") << '\n';
        }
        return kRelayctlDone;
    }

    // Every command but list: the board chosen and opened, the lines read
    // where the command keeps relays it does not name, written, and closed.
    int Switch()
    {
        BoardChoice choice;
        if (const int status = Choose(choice); status != kRelayctlDone) {
            return status;
        }
        RelayBoard board(m_driver);
        if (const int status = Open(board, choice); status != kRelayctlDone) {
            return status;
        }
        if (StepResult failed = board.SetUp()) {
            return Failed(*failed);
        }
        std::uint8_t lines = 0;
        switch (m_request.command) {
        case Command::Set:
        case Command::Off:
            if (m_request.command == Command::Off && m_request.relayNamed) {
                if (StepResult failed = ChangeRelays(board, RelayChange::Off, m_request.relays, lines)) {
                    return Failed(*failed);
                }
                break;
            }
            // The whole byte is given: nothing to read back.
            lines = m_request.command == Command::Set ? m_request.relays : 0;
            if (StepResult failed = board.WriteLines(lines)) {
                return Failed(*failed);
            }
            break;
        case Command::On:
        case Command::Toggle: {
            const RelayChange change = m_request.command == Command::On ? RelayChange::On : RelayChange::Toggle;
            if (StepResult failed = ChangeRelays(board, change, m_request.relays, lines)) {
                return Failed(*failed);
            }
            break;
        }
        case Command::Pulse:
        case Command::Get:
        default:
            if (StepResult failed = board.ReadLines(lines)) {
                return Failed(*failed);
            }
            if (m_request.command == Command::Pulse) {
                if (const int status = Pulse(board, lines); status != kRelayctlDone) {
                    return status;
                }
            }
            break;
        }
        if (StepResult failed = board.Close()) {
            return Failed(*failed);
        }
        PrintState(choice, lines);
        return kRelayctlDone;
    }

    // The relay on, the wait, and the lines as they were, with the board held
    // throughout; an interruption cuts the wait short but not the putting back.
    int Pulse(RelayBoard& board, std::uint8_t lines)
    {
        const int relay = RelaysIn(m_request.relays).front();
        if ((lines & m_request.relays) != 0) {
            m_err << "relayctl: relay " << relay << " is on already; it stays on\n";
            return kRelayctlDone;
        }
        HeldInterruptions interruptions;
        if (StepResult failed = board.WriteLines(ApplyRelayChange(lines, RelayChange::On, m_request.relays))) {
            return Failed(*failed);
        }
        const bool interrupted = interruptions.WaitFor(m_request.duration);
        if (StepResult failed = board.WriteLines(lines)) {
            Failed(*failed);
            m_err << "relayctl: relay " << relay << " may still be on\n";
            interruptions.EndIfInterrupted();
            return kRelayctlFailed;
        }
        if (interrupted) {
            // The process's end lets go of the board.
            m_err << "relayctl: interrupted; relay " << relay << " is off again\n";
        }
        interruptions.EndIfInterrupted();
        return kRelayctlDone;
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
    // does not guess which one is the relay board and opens none.
    int Choose(BoardChoice& choice)
    {
        if (m_request.serial) {
            choice.serial = *m_request.serial;
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
            m_err << "relayctl: " << boards.size() << " relay boards are attached (" << Serials(boards)
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
                return UnknownSerial(*m_request.serial);
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
            present = Serials(RelayBoards(devices));
        }
        m_err << "relayctl: no relay board with serial number '" << Printable(serial) << "'; attached: " << present
              << '\n';
        return kRelayctlFailed;
    }

    void PrintState(const BoardChoice& choice, std::uint8_t lines)
    {
        const bool oneRelay = m_request.command == Command::Get && m_request.relayNamed;
        const bool on = (lines & m_request.relays) != 0;
        if (!m_request.json) {
            m_out << (oneRelay ? (on ? "on" : "off") : StateLine(lines)) << '\n';
            return;
        }
        Json state{{"serial", choice.serial.empty() ? Json() : Json(choice.serial)}};
        if (oneRelay) {
            state["relay"] = RelaysIn(m_request.relays).front();
            state["state"] = on ? "on" : "off";
        } else {
            state["byte"] = lines;
            state["on"] = RelaysIn(lines);
        }
        Print(state);
    }

    // Strings from a device need not be valid UTF-8: a byte that is not is
    // shown as U+FFFD rather than failing the run.
    void Print(const Json& json) { m_out << json.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n'; }

    const Request& m_request;
    std::ostream& m_out;
    std::ostream& m_err;
    ConsoleServices m_services;
    Module1 m_driver;
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
        return Relayctl(request, out, err).Run();
    }
}
