// relayctl's command line, read into a request before anything reaches the
// driver: a wrong word is reported with the usage, and the board is never
// opened for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct Request {
    enum class Command { On, Off, Toggle, Set, Get, Pulse, List, Help, Version };
    Command command = Command::Help;
    std::uint8_t relays = 0;                // the relays named by number, as a byte; off with none: all
    std::vector<std::string> relayNames;    // the relays named by name, looked up on the board
    bool relayNamed = false;                // whether any relay was named
    std::chrono::microseconds duration{0};  // pulse
    std::optional<std::string> serial;      // -s: a serial number or a board's name
    std::optional<std::string> boardsFile;  // --boards
    std::chrono::microseconds wait = std::chrono::seconds(5);
    bool json = false;
};

// The request, or why the command line is wrong (one line, no usage).
struct ParsedCommandLine {
    std::optional<Request> request;
    std::string reason;
};

ParsedCommandLine ParseCommandLine(std::span<const std::string_view> args);

// A pulse's length: a decimal number and a unit (ms, s, min, h), from 1 ms to
// 24 h; nothing when the word is not one.
std::optional<std::chrono::microseconds> ParseDuration(std::string_view word);

// The short usage shown after a wrong command line, and the whole help.
extern const std::string_view kUsage;
extern const std::string_view kHelp;
