#include "relayctl.h"

#include "console_services.h"
#include "control/relay_panel.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kUsage = "usage: relayctl set RELAY...\n"
                                    "       relayctl off\n"
                                    "       relayctl --help | --version\n";

constexpr std::string_view kHelp = "Switches the eight relays of a USB relay board on an FTDI FT232R chip.\n"
                                   "\n"
                                   "  set RELAY...   relays RELAY... (numbers 1 to 8) on, all others off\n"
                                   "  off            all relays off\n"
                                   "\n"
                                   "Each run opens device 0, sets 300 baud and asynchronous bit-bang mode on\n"
                                   "all eight lines, writes one byte and closes the device. That byte is the\n"
                                   "whole state of the board: a relay not named is switched off. relayctl\n"
                                   "cannot read the relays back; it reports only what it wrote.\n"
                                   "\n"
                                   "The driver library (libftd2xx.so, FTD2XX.DLL on Windows) is bound by name\n"
                                   "as the relay panel binds it.\n"
                                   "\n"
                                   "Exit status: 0 done, 1 the board or its driver failed, 2 the command line\n"
                                   "was wrong (the board is not opened then).\n";

// What the command line asks for; the relays are checked already.
struct Request {
    enum class Kind { Set, Off, Help, Version, Invalid };
    Kind kind = Kind::Invalid;
    std::uint8_t relays = 0;  // Set: the byte to land
    std::string reason;       // Invalid: why, in one line
};

Request Invalid(std::string reason)
{
    return {Request::Kind::Invalid, 0, std::move(reason)};
}

Request ParseArguments(std::span<const std::string_view> args)
{
    if (args.empty()) {
        return Invalid("no command");
    }
    const std::string_view command = args.front();
    const auto rest = args.subspan(1);
    if (command == "--help" || command == "--version") {
        if (!rest.empty()) {
            return Invalid(std::string(command) + " takes nothing after it");
        }
        return {command == "--help" ? Request::Kind::Help : Request::Kind::Version, 0, {}};
    }
    if (command == "off") {
        if (!rest.empty()) {
            return Invalid("off takes no relay; set names the relays to keep on");
        }
        return {Request::Kind::Off, 0, {}};
    }
    if (command != "set") {
        return Invalid("unknown command: " + std::string(command));
    }
    if (rest.empty()) {
        return Invalid("set needs at least one relay (1 to 8)");
    }
    std::vector<int> relays;
    for (const std::string_view word : rest) {
        const RelayNumber parsed = ParseRelayNumber(word);
        if (parsed.fault == RelayNumber::Fault::NotANumber) {
            return Invalid("not a relay number: '" + std::string(word) + "'");
        }
        if (parsed.fault == RelayNumber::Fault::OutOfRange) {
            return Invalid("no relay " + std::string(word) + ": the relays are 1 to 8");
        }
        relays.push_back(parsed.relay);
    }
    return {Request::Kind::Set, RelaySetByte(relays), {}};
}

// The result line for the byte that reached the board.
std::string ResultLine(std::uint8_t byte)
{
    if (byte == 0) {
        return "all relays off";
    }
    std::string line = "relays on:";
    for (int relay = 1; relay <= 8; ++relay) {
        if ((byte & RelayWeight(relay)) != 0) {
            line += ' ' + std::to_string(relay);
        }
    }
    return line;
}

// The panel's own steps, as the window's buttons would run them: set-up, the
// boxes and the write, then the close.
std::uint8_t Drive(const Request& request, ConsoleServices& services, RelayPanel& panel)
{
    panel.InitInterface();
    if (request.kind == Request::Kind::Set) {
        for (int relay = 1; relay <= 8; ++relay) {
            if ((request.relays & RelayWeight(relay)) != 0) {
                services.TickBox(relay);
            }
        }
        panel.SendState();
    } else {
        panel.ReleaseAll();
    }
    const std::uint8_t written = panel.outFrame().front();
    panel.CloseDevice();
    return written;
}

}  // namespace

int RunRelayctl(std::span<const std::string_view> args, std::ostream& out, std::ostream& err)
{
    const Request request = ParseArguments(args);
    switch (request.kind) {
    case Request::Kind::Invalid:
        err << "relayctl: " << request.reason << '\n' << kUsage;
        return kRelayctlUsage;
    case Request::Kind::Help:
        out << kUsage << '\n' << kHelp;
        return kRelayctlDone;
    case Request::Kind::Version:
        out << "relayctl " << RELAYCTL_VERSION << '\n';
        return kRelayctlDone;
    case Request::Kind::Set:
    case Request::Kind::Off:
        break;
    }

    ConsoleServices services(err);
    RelayPanel panel(services);
    services.Attach(panel);
    std::uint8_t written = 0;
    try {
        written = Drive(request, services, panel);
    } catch (const ProgramEnded&) {
        return kRelayctlFailed;
    }
    // A refused close was reported; the relays were written, but the run failed.
    if (services.failed()) {
        return kRelayctlFailed;
    }
    out << ResultLine(written) << '\n';
    return kRelayctlDone;
}
