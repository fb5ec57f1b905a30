// The boards file, which relayctl and the MQTT bridge read alike: for each
// board, by serial number, a name, names of its relays, its interlock groups,
// whether it is active-low and what the bridge does when it appears. Checked
// whole where it is read; a refusal names the file and the line.
//
//   # comment
//   [board A50285BI]
//   name = garden
//   relay.3 = pump
//   interlock = 1 2 pause 500ms
//   active_low = yes
//   on_attach = restore
//
// Without any file every board has no names and no rules.
#pragma once

#include "relay_rules.h"

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the bridge does when a board appears (at its start and at every
// replug): leave the relays as it reads them, switch them all off, or put
// back the state last commanded.
enum class AttachPolicy { Keep, Off, Restore };

// The longest name of a board or relay, in bytes, and the longest pause.
inline constexpr std::size_t kLongestName = 64;
inline constexpr std::chrono::milliseconds kLongestPause{10'000};

// Where something was given: the file and its line.
struct FilePlace {
    std::string file;
    int line = 0;  // 0: the file as a whole
};

struct BoardEntry {
    std::string serial;
    std::string name;                       // empty: none
    std::array<std::string, 8> relayNames;  // relay n at n-1; empty: none
    RelayRules rules;
    AttachPolicy onAttach = AttachPolicy::Keep;
    FilePlace section;  // its [board ...] line
    FilePlace named;    // its name line, when it has a name

    // The relay with that name (1 to 8), or 0.
    int RelayNamed(std::string_view relayName) const;
};

struct BoardsFile {
    std::vector<BoardEntry> boards;

    const BoardEntry* BySerial(std::string_view serial) const;
    const BoardEntry* ByName(std::string_view name) const;
};

// Why a boards file is refused. One line as `Describe` gives it:
// "FILE:LINE: reason".
struct BoardsFileError {
    FilePlace place;
    std::string reason;

    std::string Describe() const;
};

struct ParsedBoards {
    std::optional<BoardsFile> boards;
    BoardsFileError error;  // when boards is empty
};

// The text of one boards file, named `file` in refusals.
ParsedBoards ParseBoardsFile(std::string_view text, const std::string& file);

// The files in the order they are read: a board given in a later file
// replaces the same serial number's section of an earlier one whole. Names
// are then checked across the boards of all of them.
ParsedBoards CombineBoardsFiles(const std::vector<BoardsFile>& files);

// Looks up an environment variable; nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::string> ProcessEnvironment(const char* name);

// The files read when none is named, in that order: the system's
// (/etc/relaypanel/boards.conf; on Windows %PROGRAMDATA%\relaypanel\boards.conf),
// then the user's ($XDG_CONFIG_HOME/relaypanel/boards.conf, by default under
// ~/.config; on Windows %APPDATA%\relaypanel\boards.conf).
std::vector<std::filesystem::path> DefaultBoardsFiles(const EnvironmentLookup& environment);

// Reads and combines the files. A default file that does not exist, or lies
// in a folder this user may not enter, is passed over; a file named by the
// user (`named`) must exist and be read.
ParsedBoards LoadBoardsFiles(const std::vector<std::filesystem::path>& files, bool named);
