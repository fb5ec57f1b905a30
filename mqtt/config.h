// The bridge's settings: the `key = value` lines of its config file, checked
// whole before anything connects or opens a board, with the password and the
// certificate authority read from the files the config names.
#pragma once

#include "control/boards_file.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kDefaultConfigFile = "/etc/relaypanel/relaymqtt.conf";

// The longest values the config takes, in bytes. Every text value is UTF-8
// without NUL, control characters or Unicode noncharacters (TextFault).
inline constexpr std::size_t kLongestHost = 253;       // a DNS name
inline constexpr std::size_t kLongestPath = 4095;      // PATH_MAX without its NUL
inline constexpr std::size_t kLongestUsername = 256;   // MQTT allows 65535
inline constexpr std::size_t kLongestPassword = 4096;  // MQTT allows 65535
inline constexpr std::size_t kLongestNode = 64;        // a host name, HOST_NAME_MAX
inline constexpr std::size_t kLongestPrefix = 256;     // each prefix; MQTT allows 65535 for a whole topic
inline constexpr std::size_t kLongestSerial = 64;      // FTDI's serial numbers have at most 16
// The largest files read, in bytes; only regular files are read.
inline constexpr std::size_t kLargestConfigFile = 64UL * 1024;
inline constexpr std::size_t kLargestPasswordFile = 64UL * 1024;
inline constexpr std::size_t kLargestCaFile = 1024UL * 1024;  // Debian's whole bundle is a fifth of it

struct Config {
    std::string host = "localhost";
    int port = 1883;
    std::string caFile;  // set: TLS, the broker's certificate verified against it
    std::string username;
    std::string passwordFile;
    std::string password;  // read from passwordFile; never logged
    std::string node;      // the host name, made safe for a topic, when the file names none
    std::string topicPrefix = "relayboard";
    std::string discoveryPrefix = "homeassistant";
    std::vector<std::string> boards;  // empty: every relay board the driver lists
    std::chrono::seconds pollInterval{5};
    std::chrono::seconds wait{5};
    // Not keys of this file: the boards file's sections, and the file of the
    // states kept for `on_attach = restore`, both set by the entry.
    BoardsFile boardsFile;
    std::filesystem::path savedStates;
};

// Why a config is refused: the file, the line (0 when the refusal is about the
// file as a whole) and the reason. One line as `Describe` gives it.
struct ConfigError {
    std::string file;
    int line = 0;
    std::string reason;

    std::string Describe() const;
};

struct ParsedConfig {
    std::optional<Config> config;
    ConfigError error;  // when config is empty
};

// The text of a config file, named `file` in reports; `hostName` is the
// default node. The password file and the CA file it names are read as their
// lines are parsed, so that a refusal names the line. A refusal's reason
// shows the values it quotes through Loggable.
ParsedConfig ParseConfig(std::string_view text, const std::string& file, std::string_view hostName);

// The config file at `path`, refused when missing, unreadable, not a regular
// file, larger than kLargestConfigFile, or writable by anyone but its owner
// (group or others) or owned by someone other than root or the user running
// the bridge; then parsed, and the password and CA files read.
ParsedConfig LoadConfig(const std::filesystem::path& path, std::string_view hostName);
