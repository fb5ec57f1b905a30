#include "command_line.h"

#include "control/relay_panel.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

const std::string_view kUsage = "usage: relayctl [-s BOARD] [--wait SECONDS] [--json] [--boards FILE] COMMAND\n"
                                "  on RELAY...  off [RELAY...]  toggle RELAY...  set RELAY...\n"
                                "  get [RELAY]  pulse RELAY DURATION  list\n"
                                "       relayctl --help | --version\n";

const std::string_view kHelp = "Switches the eight relays of a USB relay board on an FTDI FT232R chip.\n"
                               "\n"
                               "Commands:\n"
                               "  on RELAY...           the named relays (1 to 8, or their names in the\n"
                               "                        boards file) on, the others as they are\n"
                               "  off [RELAY...]        the named relays off, the others as they are;\n"
                               "                        with no relay, all relays off\n"
                               "  toggle RELAY...       the named relays flipped, the others as they are\n"
                               "  set RELAY...          exactly the named relays on, all others off\n"
                               "  get [RELAY]           prints the relays that are on; for one relay, on or off\n"
                               "  pulse RELAY DURATION  the relay on for DURATION (1ms to 24h, e.g. 500ms, 2s,\n"
                               "                        1.5min, 1h), then off again; a relay that is on\n"
                               "                        already stays on. Ctrl+C or a kill puts it back too\n"
                               "  list                  one line per board: serial number, description,\n"
                               "                        \"in use\" where another program holds it, and\n"
                               "                        name=NAME where the boards file names it\n"
                               "\n"
                               "Options:\n"
                               "  -s, --serial BOARD    the board with this serial number (see list) or name;\n"
                               "                        needed when more than one board is attached\n"
                               "  --wait SECONDS        how long to wait while another program holds the\n"
                               "                        board (default 5; 0 does not wait)\n"
                               "  --json                one JSON object on stdout instead of the line\n"
                               "  --boards FILE         the boards file (relaypanel-boards(5)) to read\n"
                               "                        instead of /etc/relaypanel/boards.conf and the\n"
                               "                        user's ~/.config/relaypanel/boards.conf: names,\n"
                               "                        interlock groups, active-low boards\n"
                               "\n"
                               "on, off with relays, toggle, get and pulse read the relays back from the\n"
                               "board and change only the named ones; set and off without relays write the\n"
                               "whole state. Each run opens the board, sets 300 baud and asynchronous\n"
                               "bit-bang mode on all eight lines, and closes it; the relays stay as left.\n"
                               "The driver library (libftd2xx.so, FTD2XX.DLL on Windows) is bound by name\n"
                               "as the relay panel binds it.\n"
                               "\n"
                               "Exit status: 0 done; 1 the board or its driver failed, no board was found,\n"
                               "or it stayed in use; 2 the command line was wrong, a name is unknown or\n"
                               "ambiguous, the boards file is malformed, several boards are attached and\n"
                               "none was named, or an interlock group refuses the command (nothing is\n"
                               "written then).\n";

namespace {

using std::chrono::microseconds;

constexpr std::int64_t kMillisecond = 1000;
constexpr std::int64_t kSecond = 1000 * kMillisecond;
constexpr microseconds kLongest = std::chrono::hours(24);
constexpr std::size_t kAnyNumber = std::numeric_limits<std::size_t>::max();  // a relay may come twice

// A decimal number ("2", "1.5") of units of that many microseconds; digits
// past the microsecond are dropped. Nothing for anything else, or above a day.
std::optional<microseconds> ParseAmount(std::string_view number, std::int64_t unit)
{
    const std::size_t point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : number.substr(point + 1);
    const auto digits = [](std::string_view text) {
        return text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (whole.empty() || !digits(whole) || !digits(fraction) || (point != std::string_view::npos && fraction.empty()) ||
        whole.size() > 9) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char digit : whole) {
        value = value * 10 + (digit - '0');
    }
    value *= unit;
    std::int64_t scale = unit;
    for (const char digit : fraction) {
        scale /= 10;
        value += (digit - '0') * scale;
    }
    if (value > kLongest.count()) {
        return std::nullopt;
    }
    return microseconds(value);
}

struct Parser {
    explicit Parser(std::span<const std::string_view> words) : args(words) {}

    std::span<const std::string_view> args;
    std::size_t next = 0;
    Request request;
    std::string reason;
    std::optional<std::string_view> command;
    std::vector<std::string_view> operands;

    bool Fail(std::string text)
    {
        reason = std::move(text);
        return false;
    }

    // The value of an option: after '=' in the same word, or the next word.
    std::optional<std::string_view> Value(std::string_view word, std::string_view name, std::size_t equals)
    {
        if (equals != std::string_view::npos) {
            return word.substr(equals + 1);
        }
        if (next >= args.size()) {
            Fail(std::string(name) + " needs a value");
            return std::nullopt;
        }
        return args[next++];
    }

    bool Option(std::string_view word)
    {
        const std::size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        if (name == "--json" && equals == std::string_view::npos) {
            request.json = true;
            return true;
        }
        if (name == "-s" || name == "--serial") {
            const auto serial = Value(word, name, equals);
            if (!serial) {
                return Fail(std::string(name) + " needs a serial number (see relayctl list)");
            }
            if (serial->empty()) {
                return Fail(std::string(name) + " needs a serial number, not an empty word");
            }
            request.serial = std::string(*serial);
            return true;
        }
        if (name == "--boards") {
            const auto file = Value(word, name, equals);
            if (!file) {
                return false;
            }
            if (file->empty()) {
                return Fail("--boards needs a file, not an empty word");
            }
            request.boardsFile = std::string(*file);
            return true;
        }
        if (name == "--wait") {
            const auto seconds = Value(word, name, equals);
            if (!seconds) {
                return false;
            }
            const auto wait = ParseAmount(*seconds, kSecond);
            if (!wait) {
                return Fail("--wait takes seconds from 0 to 86400, not '" + std::string(*seconds) + "'");
            }
            request.wait = *wait;
            return true;
        }
        return Fail("unknown option: " + std::string(word));
    }

    // The relay numbers among the operands, as a byte; the other words are
    // names, for the board's section of the boards file.
    bool Relays(std::span<const std::string_view> words)
    {
        std::vector<int> relays;
        for (const std::string_view word : words) {
            const RelayNumber parsed = ParseRelayNumber(word);
            if (parsed.fault == RelayNumber::Fault::NotANumber) {
                request.relayNames.emplace_back(word);
                continue;
            }
            if (parsed.fault == RelayNumber::Fault::OutOfRange) {
                return Fail("no relay " + std::string(word) + ": the relays are 1 to 8");
            }
            relays.push_back(parsed.relay);
        }
        request.relays = RelaySetByte(relays);
        request.relayNamed = !relays.empty() || !request.relayNames.empty();
        return true;
    }

    bool Command()
    {
        using C = Request::Command;
        struct Word {
            std::string_view name;
            C command;
            std::size_t least;  // relays (pulse: words) it needs at least
            std::size_t most;
        };
        constexpr std::array<Word, 7> kCommands = {{{"on", C::On, 1, kAnyNumber},
                                                    {"off", C::Off, 0, kAnyNumber},
                                                    {"toggle", C::Toggle, 1, kAnyNumber},
                                                    {"set", C::Set, 1, kAnyNumber},
                                                    {"get", C::Get, 0, 1},
                                                    {"pulse", C::Pulse, 2, 2},
                                                    {"list", C::List, 0, 0}}};
        const std::string name(*command);
        const auto* word = std::find_if(kCommands.begin(), kCommands.end(),
                                        [&](const Word& candidate) { return candidate.name == name; });
        if (word == kCommands.end()) {
            return Fail("unknown command: " + name);
        }
        request.command = word->command;
        if (word->command == C::Pulse && operands.size() != 2) {
            return Fail("pulse takes one relay and a duration, e.g. pulse 3 500ms");
        }
        if (operands.size() < word->least) {
            return Fail(name + " needs at least one relay (1 to 8)");
        }
        if (operands.size() > word->most) {
            return Fail(word->most == 0 ? name + " takes nothing after it" : name + " takes at most one relay");
        }
        if (word->command == C::List && request.serial) {
            return Fail("list shows every board; it takes no -s");
        }
        if (word->command == C::Pulse) {
            const auto duration = ParseDuration(operands[1]);
            if (!duration) {
                return Fail("not a duration from 1ms to 24h: '" + std::string(operands[1]) +
                            "' (a number and a unit: ms, s, min or h)");
            }
            request.duration = *duration;
            return Relays(std::span(operands).first(1));
        }
        return Relays(operands);
    }

    bool Parse()
    {
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) {
            request.command = args[0] == "--help" ? Request::Command::Help : Request::Command::Version;
            return true;
        }
        bool optionsEnded = false;
        while (next < args.size()) {
            const std::string_view word = args[next++];
            if (!optionsEnded && word == "--") {
                optionsEnded = true;
            } else if (!optionsEnded && word.size() > 1 && word.front() == '-') {
                if (word == "--help" || word == "--version") {
                    return Fail(std::string(word) + " stands alone");
                }
                if (!Option(word)) {
                    return false;
                }
            } else if (!command) {
                command = word;
            } else {
                operands.push_back(word);
            }
        }
        if (!command) {
            return Fail("no command");
        }
        return Command();
    }
};

}  // namespace

std::optional<microseconds> ParseDuration(std::string_view word)
{
    struct Unit {
        std::string_view suffix;
        std::int64_t microseconds;
    };
    // "ms" before "s", which it ends with.
    constexpr std::array<Unit, 4> kUnits = {
        {{"ms", kMillisecond}, {"min", 60 * kSecond}, {"s", kSecond}, {"h", 3600 * kSecond}}};
    for (const Unit& unit : kUnits) {
        if (word.size() > unit.suffix.size() && word.ends_with(unit.suffix)) {
            const auto amount = ParseAmount(word.substr(0, word.size() - unit.suffix.size()), unit.microseconds);
            if (!amount || *amount < std::chrono::milliseconds(1)) {
                return std::nullopt;
            }
            return amount;
        }
    }
    return std::nullopt;
}

ParsedCommandLine ParseCommandLine(std::span<const std::string_view> args)
{
    Parser parser(args);
    if (!parser.Parse()) {
        return {std::nullopt, parser.reason};
    }
    return {parser.request, {}};
}
