#include "boards_file.h"

#include "utf8.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace {

constexpr std::string_view kBlanks = " \t";
// A serial number as the chip's EEPROM holds it: at most 15 bytes.
constexpr std::size_t kLongestSerial = 15;
// Larger than any boards file a person writes.
constexpr std::size_t kLargestFile = std::size_t{1024} * 1024;

std::string_view Trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Text from the file made fit for a one-line refusal.
std::string Shown(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    return Loggable(text, kLongest);
}

// Whether the (well-formed UTF-8) text holds a control character.
bool HoldsControl(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Character character = DecodeUtf8(text, at);
        if (character.length == 0) {
            return false;
        }
        if (IsControlCharacter(character.code)) {
            return true;
        }
        at += character.length;
    }
    return false;
}

// Why a name of a board or relay is refused, or nothing.
std::string NameFault(std::string_view name)
{
    if (name.empty()) {
        return "needs a name";
    }
    if (name.size() > kLongestName) {
        return "a name is at most " + std::to_string(kLongestName) + " bytes long";
    }
    if (HoldsControl(name)) {
        return "a name holds no control character";
    }
    if (name.find_first_not_of("0123456789") == std::string_view::npos) {
        return "the name '" + std::string(name) + "' would read as a relay number";
    }
    if (name.front() == '-') {
        return "the name '" + Shown(name) + "' would read as an option";
    }
    return {};
}

// Why a serial number in a section line is refused, or nothing.
std::string SerialFault(std::string_view serial)
{
    if (serial.empty()) {
        return "[board ...] needs the board's serial number";
    }
    if (serial.size() > kLongestSerial) {
        return "the serial number '" + Shown(serial) + "' is longer than 15 bytes";
    }
    if (std::any_of(serial.begin(), serial.end(), [](char c) { return c <= ' ' || c > '~' || c == ']'; })) {
        return "the serial number '" + Shown(serial) + "' holds a blank or a character outside printable ASCII";
    }
    return {};
}

// A pause: whole milliseconds ("500ms") or seconds ("2s"), up to the longest;
// as many digits as the user writes, leading zeros too.
std::optional<std::chrono::milliseconds> ParsePause(std::string_view word)
{
    std::uint64_t unit = 0;
    if (word.ends_with("ms")) {
        unit = 1;
        word.remove_suffix(2);
    } else if (word.ends_with("s")) {
        unit = 1000;
        word.remove_suffix(1);
    } else {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char* const end = word.data() + word.size();
    const auto [stop, fault] = std::from_chars(word.data(), end, value);
    // A number too large to count is too long a pause as well.
    const auto longest = static_cast<std::uint64_t>(kLongestPause.count());
    if (fault != std::errc() || stop != end || value > longest / unit) {
        return std::nullopt;
    }
    return std::chrono::milliseconds{static_cast<std::int64_t>(value * unit)};
}

// The words of a value, split at blanks.
std::vector<std::string_view> Words(std::string_view value)
{
    std::vector<std::string_view> words;
    while (!(value = Trimmed(value)).empty()) {
        const std::size_t end = value.find_first_of(kBlanks);
        words.push_back(value.substr(0, end));
        value = end == std::string_view::npos ? std::string_view() : value.substr(end);
    }
    return words;
}

class Parser {
public:
    explicit Parser(const std::string& file) : m_file(file) {}

    ParsedBoards Parse(std::string_view text)
    {
        while (!text.empty()) {
            ++m_line;
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
            if (line.ends_with('\r')) {
                line.remove_suffix(1);
            }
            if (!IsWellFormedUtf8(line)) {
                return Refused("not valid UTF-8");
            }
            line = Trimmed(line);
            if (line.empty() || line.front() == '#') {
                continue;
            }
            const std::string fault = line.front() == '[' ? Section(line) : Key(line);
            if (!fault.empty()) {
                return Refused(fault);
            }
        }
        return CombineBoardsFiles({m_boards});
    }

private:
    ParsedBoards Refused(std::string reason) const { return {std::nullopt, {{m_file, m_line}, std::move(reason)}}; }

    std::string Section(std::string_view line)
    {
        constexpr std::string_view kBoard = "board";
        if (!line.ends_with(']')) {
            return "a section line ends with ']'";
        }
        const std::string_view inside = Trimmed(line.substr(1, line.size() - 2));
        const std::size_t blank = inside.find_first_of(kBlanks);
        if (inside.substr(0, blank) != kBoard) {
            return "unknown section '" + Shown(line) + "': sections are [board SERIAL]";
        }
        const std::string_view serial =
            blank == std::string_view::npos ? std::string_view() : Trimmed(inside.substr(blank));
        if (std::string fault = SerialFault(serial); !fault.empty()) {
            return fault;
        }
        for (const BoardEntry& board : m_boards.boards) {
            if (board.serial == serial) {
                return "board " + std::string(serial) + " given again (first at line " +
                       std::to_string(board.section.line) + ")";
            }
        }
        BoardEntry& board = m_boards.boards.emplace_back();
        board.serial = std::string(serial);
        board.section = {m_file, m_line};
        m_seen.clear();
        m_groupLines.clear();
        return {};
    }

    std::string Key(std::string_view line)
    {
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return "expected 'key = value' or '[board SERIAL]', not '" + Shown(line) + "'";
        }
        const std::string key(Trimmed(line.substr(0, equals)));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        if (m_boards.boards.empty()) {
            return "'" + Shown(key) + "' before any [board SERIAL] section";
        }
        BoardEntry& board = m_boards.boards.back();
        if (key != "interlock") {
            if (const auto seen = m_seen.find(key); seen != m_seen.end()) {
                return "'" + Shown(key) + "' given again for board " + board.serial + " (first at line " +
                       std::to_string(seen->second) + ")";
            }
        }
        std::string fault;
        if (key == "name") {
            fault = NameFault(value);
            board.name = std::string(value);
            board.named = {m_file, m_line};
        } else if (key.starts_with("relay.")) {
            fault = RelayName(board, key, value);
        } else if (key == "interlock") {
            fault = Interlock(board, value);
        } else if (key == "active_low") {
            if (value != "yes" && value != "no") {
                fault = "active_low takes yes or no, not '" + Shown(value) + "'";
            }
            board.rules.activeLow = value == "yes";
        } else if (key == "on_attach") {
            if (value == "keep") {
                board.onAttach = AttachPolicy::Keep;
            } else if (value == "off") {
                board.onAttach = AttachPolicy::Off;
            } else if (value == "restore") {
                board.onAttach = AttachPolicy::Restore;
            } else {
                fault = "on_attach takes keep, off or restore, not '" + Shown(value) + "'";
            }
        } else {
            fault = "unknown key '" + Shown(key) + "'";
        }
        m_seen.emplace(key, m_line);
        return fault;
    }

    std::string RelayName(BoardEntry& board, const std::string& key, std::string_view value)
    {
        const std::string_view number = std::string_view(key).substr(std::string_view("relay.").size());
        const RelayNumber relay = ParseRelayNumber(number);
        if (relay.fault == RelayNumber::Fault::NotANumber) {
            return "unknown key '" + Shown(key) + "'";
        }
        if (relay.fault == RelayNumber::Fault::OutOfRange) {
            return "no relay " + Shown(number) + ": the relays are 1 to 8";
        }
        if (std::string fault = NameFault(value); !fault.empty()) {
            return fault;
        }
        if (const int other = board.RelayNamed(value); other != 0) {
            return "relay " + std::to_string(other) + " of board " + board.serial + " is named '" + std::string(value) +
                   "' already";
        }
        board.relayNames.at(static_cast<std::size_t>(relay.relay - 1)) = std::string(value);
        return {};
    }

    // Relay numbers, two or more, then "pause DURATION" if wanted.
    std::string Interlock(BoardEntry& board, std::string_view value)
    {
        const std::vector<std::string_view> words = Words(value);
        InterlockGroup group;
        std::size_t at = 0;
        for (; at < words.size() && words[at] != "pause"; ++at) {
            const RelayNumber relay = ParseRelayNumber(words[at]);
            if (relay.fault == RelayNumber::Fault::NotANumber) {
                return "interlock takes relay numbers, then 'pause' and a pause, not '" + Shown(words[at]) + "'";
            }
            if (relay.fault == RelayNumber::Fault::OutOfRange) {
                return "no relay " + Shown(words[at]) + ": the relays are 1 to 8";
            }
            const std::uint8_t weight = RelayWeight(relay.relay);
            if ((group.relays & weight) != 0) {
                return "relay " + std::to_string(relay.relay) + " named twice in one interlock group";
            }
            for (std::size_t other = 0; other < board.rules.interlocks.size(); ++other) {
                if ((board.rules.interlocks[other].relays & weight) != 0) {
                    return "relay " + std::to_string(relay.relay) + " is in the interlock group of line " +
                           std::to_string(m_groupLines.at(other)) + " already";
                }
            }
            group.relays = static_cast<std::uint8_t>(group.relays | weight);
        }
        if (RelaysIn(group.relays).size() < 2) {
            return "an interlock group needs two relays or more";
        }
        if (at < words.size()) {
            const std::optional<std::chrono::milliseconds> pause =
                at + 2 == words.size() ? ParsePause(words[at + 1]) : std::nullopt;
            if (!pause) {
                return "'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms";
            }
            group.pause = *pause;
        }
        board.rules.interlocks.push_back(group);
        m_groupLines.push_back(m_line);
        return {};
    }

    const std::string& m_file;
    int m_line = 0;
    BoardsFile m_boards;
    std::map<std::string, int> m_seen;  // the current board's keys and their lines
    std::vector<int> m_groupLines;      // the line of each of the current board's interlock groups
};

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

}  // namespace

int BoardEntry::RelayNamed(std::string_view relayName) const
{
    for (std::size_t at = 0; at < relayNames.size(); ++at) {
        if (!relayNames.at(at).empty() && relayNames.at(at) == relayName) {
            return static_cast<int>(at) + 1;
        }
    }
    return 0;
}

const BoardEntry* BoardsFile::BySerial(std::string_view serial) const
{
    const auto found =
        std::find_if(boards.begin(), boards.end(), [&](const BoardEntry& board) { return board.serial == serial; });
    return found == boards.end() ? nullptr : &*found;
}

const BoardEntry* BoardsFile::ByName(std::string_view name) const
{
    const auto found = std::find_if(boards.begin(), boards.end(),
                                    [&](const BoardEntry& board) { return !board.name.empty() && board.name == name; });
    return found == boards.end() ? nullptr : &*found;
}

std::string BoardsFileError::Describe() const
{
    return place.file + (place.line > 0 ? ":" + std::to_string(place.line) : "") + ": " + reason;
}

ParsedBoards ParseBoardsFile(std::string_view text, const std::string& file)
{
    return Parser(file).Parse(text);
}

ParsedBoards CombineBoardsFiles(const std::vector<BoardsFile>& files)
{
    BoardsFile combined;
    for (const BoardsFile& file : files) {
        for (const BoardEntry& board : file.boards) {
            const auto same = std::find_if(combined.boards.begin(), combined.boards.end(),
                                           [&](const BoardEntry& other) { return other.serial == board.serial; });
            if (same != combined.boards.end()) {
                *same = board;
            } else {
                combined.boards.push_back(board);
            }
        }
    }
    // A board's name may be neither another board's name nor another board's
    // serial number: -s NAME must pick one board.
    for (std::size_t at = 0; at < combined.boards.size(); ++at) {
        const BoardEntry& board = combined.boards[at];
        if (board.name.empty()) {
            continue;
        }
        for (std::size_t other = 0; other < combined.boards.size(); ++other) {
            const BoardEntry& them = combined.boards[other];
            std::string fault;
            if (other != at && them.serial == board.name) {
                fault = "the name '" + board.name + "' is the serial number of another board";
            } else if (other < at && them.name == board.name) {
                fault = "the name '" + board.name + "' is given to board " + them.serial + " already (" +
                        them.named.file + ":" + std::to_string(them.named.line) + ")";
            }
            if (!fault.empty()) {
                return {std::nullopt, {board.named, fault}};
            }
        }
    }
    return {combined, {}};
}

#if defined(_WIN32)
// Windows keeps the environment in UTF-16: read from the process's own block
// (not the C runtime's copy, which misses later changes) and given as UTF-8,
// so that a user folder outside the ANSI code page is found.
std::optional<std::string> ProcessEnvironment(const char* name)
{
    const std::string_view narrow(name);
    const std::wstring wide(narrow.begin(), narrow.end());  // the names are plain ASCII
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    if (length == 0 || length >= size) {
        return std::nullopt;
    }
    value.resize(length);
    const std::u8string text = std::filesystem::path(value).u8string();
    return std::string(text.begin(), text.end());
}
#else
std::optional<std::string> ProcessEnvironment(const char* name)
{
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before any thread starts
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}
#endif

std::vector<std::filesystem::path> DefaultBoardsFiles(const EnvironmentLookup& environment)
{
    const std::filesystem::path inFolder = std::filesystem::path("relaypanel") / "boards.conf";
    std::vector<std::filesystem::path> files;
    // A variable that is unset, empty or not an absolute path names no folder.
    const auto folder = [&](const char* name) -> std::optional<std::filesystem::path> {
        const std::optional<std::string> value = environment(name);
        if (!value || value->empty()) {
            return std::nullopt;
        }
        // The value is UTF-8, which Windows' narrow paths would not take.
        std::filesystem::path path(std::u8string(value->begin(), value->end()));
        if (!path.is_absolute()) {
            return std::nullopt;
        }
        return path;
    };
#if defined(_WIN32)
    if (const auto system = folder("PROGRAMDATA")) {
        files.push_back(*system / inFolder);
    }
    if (const auto user = folder("APPDATA")) {
        files.push_back(*user / inFolder);
    }
#else
    files.emplace_back("/etc" / inFolder);
    if (const auto config = folder("XDG_CONFIG_HOME")) {
        files.push_back(*config / inFolder);
    } else if (const auto home = folder("HOME")) {
        files.push_back(*home / ".config" / inFolder);
    }
#endif
    return files;
}

ParsedBoards LoadBoardsFiles(const std::vector<std::filesystem::path>& files, bool named)
{
    std::vector<BoardsFile> parsed;
    for (const std::filesystem::path& path : files) {
        const std::u8string name = path.u8string();
        const std::string file(name.begin(), name.end());
        const auto refused = [&](std::string reason) {
            return ParsedBoards{std::nullopt, {{file, 0}, std::move(reason)}};
        };
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(path, error);
        // A default file that is not there is passed over, and so is one in a
        // folder this user may not enter (another user's home, inherited in
        // $HOME): there is no telling it is there. One that is there and
        // cannot be read is refused: it may hold interlock groups.
        if (!named &&
            (status.type() == std::filesystem::file_type::not_found || error == std::errc::permission_denied)) {
            continue;
        }
        if (std::filesystem::is_directory(status)) {
            return refused("cannot read: is a folder");
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return refused("cannot read: " + ErrnoText(errno));
        }
        std::ostringstream text;
        text << in.rdbuf();
        if (in.bad()) {
            return refused("cannot read: read failed");
        }
        if (text.view().size() > kLargestFile) {
            return refused("larger than 1 MiB: not a boards file");
        }
        ParsedBoards one = ParseBoardsFile(text.view(), file);
        if (!one.boards) {
            return one;
        }
        parsed.push_back(std::move(*one.boards));
    }
    return CombineBoardsFiles(parsed);
}
