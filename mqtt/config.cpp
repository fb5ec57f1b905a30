#include "config.h"

#include "topics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr std::string_view kBlanks = " \t\r";
// The longest poll interval and wait: a day.
constexpr long kLongestSeconds = 86400;

std::string_view Trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::optional<long> WholeNumber(std::string_view text, long lowest, long highest)
{
    long value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || stop != end || error != std::errc() || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

// A topic prefix: one or more topic levels, no wildcard, no empty level.
std::string PrefixFault(std::string_view prefix)
{
    if (prefix.find_first_of("+#") != std::string_view::npos) {
        return "holds a wildcard ('+' or '#')";
    }
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos) {
        return "has an empty topic level";
    }
    if (std::any_of(prefix.begin(), prefix.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return "holds a control character";
    }
    return {};
}

// The node: the characters of a serial number's id, and dots, as in a host name.
bool IsNodeCharacter(char c)
{
    return IsTopicIdCharacter(c) || c == '.';
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

// The whole of a small file, or why it cannot be read.
std::optional<std::string> ReadFile(const std::string& path, std::string& reason)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        reason = "is a folder";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = ErrnoText(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        reason = "read failed";
        return std::nullopt;
    }
    return text.str();
}

class Parser {
public:
    Parser(const std::string& file, std::string_view hostName) : m_file(file)
    {
        m_config.node = std::string(hostName);
        m_config.node.erase(
            std::remove_if(m_config.node.begin(), m_config.node.end(), [](char c) { return !IsNodeCharacter(c); }),
            m_config.node.end());
        if (m_config.node.empty()) {
            m_config.node = "relaymqtt";
        }
    }

    ParsedConfig Parse(std::string_view text)
    {
        int number = 0;
        while (!text.empty()) {
            ++number;
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
            line = Trimmed(line.substr(0, line.find('#')));
            if (line.empty()) {
                continue;
            }
            const std::size_t equals = line.find('=');
            if (equals == std::string_view::npos) {
                return Refused(number, "expected 'key = value', not '" + Loggable(line) + "'");
            }
            const std::string key(Trimmed(line.substr(0, equals)));
            const std::string_view value = Trimmed(line.substr(equals + 1));
            if (const auto seen = m_seen.find(key); seen != m_seen.end()) {
                return Refused(number,
                               "'" + key + "' given again (first at line " + std::to_string(seen->second) + ")");
            }
            if (std::string fault = Set(key, value); !fault.empty()) {
                return Refused(number, fault);
            }
            m_seen.emplace(key, number);
        }
        if (!m_config.passwordFile.empty() && m_config.username.empty()) {
            return Refused(m_seen.at("password_file"), "password_file needs a username");
        }
        return {m_config, {}};
    }

private:
    ParsedConfig Refused(int line, std::string reason) { return {std::nullopt, {m_file, line, std::move(reason)}}; }

    // Takes one key's value; the reason it is refused, or nothing.
    std::string Set(const std::string& key, std::string_view value)
    {
        const std::string text(value);
        if (key == "host") {
            if (value.empty() || value.find_first_of(" \t") != std::string_view::npos) {
                return "host needs a host name or address";
            }
            m_config.host = text;
        } else if (key == "port") {
            const auto port = WholeNumber(value, 1, 65535);
            if (!port) {
                return "port takes a number from 1 to 65535, not '" + Loggable(value) + "'";
            }
            m_config.port = static_cast<int>(*port);
        } else if (key == "ca_file") {
            if (!value.empty()) {
                std::string reason;
                if (!ReadFile(text, reason)) {
                    return "cannot read the CA file " + text + ": " + reason;
                }
            }
            m_config.caFile = text;
        } else if (key == "username") {
            m_config.username = text;
        } else if (key == "password_file") {
            if (!value.empty()) {
                std::string reason;
                const auto password = ReadFile(text, reason);
                if (!password) {
                    return "cannot read the password file " + text + ": " + reason;
                }
                m_config.password = *password;
                // An editor's newline at the end is not part of the password.
                if (!m_config.password.empty() && m_config.password.back() == '\n') {
                    m_config.password.pop_back();
                    if (!m_config.password.empty() && m_config.password.back() == '\r') {
                        m_config.password.pop_back();
                    }
                }
                if (m_config.password.empty()) {
                    return "the password file " + text + " is empty";
                }
            }
            m_config.passwordFile = text;
        } else if (key == "node") {
            if (value.empty() || !std::all_of(value.begin(), value.end(), IsNodeCharacter)) {
                return "node takes letters, digits, '_', '-' and '.', not '" + Loggable(value) + "'";
            }
            m_config.node = text;
        } else if (key == "topic_prefix" || key == "discovery_prefix") {
            if (value.empty()) {
                return key + " needs a topic";
            }
            if (const std::string fault = PrefixFault(value); !fault.empty()) {
                return key + " '" + Loggable(value) + "' " + fault;
            }
            (key == "topic_prefix" ? m_config.topicPrefix : m_config.discoveryPrefix) = text;
        } else if (key == "boards") {
            return SetBoards(value);
        } else if (key == "poll_interval" || key == "wait") {
            const auto seconds = WholeNumber(value, 0, kLongestSeconds);
            if (!seconds) {
                return key + " takes whole seconds from 0 to " + std::to_string(kLongestSeconds) + ", not '" +
                       Loggable(value) + "'";
            }
            (key == "wait" ? m_config.wait : m_config.pollInterval) = std::chrono::seconds(*seconds);
        } else {
            return "unknown key '" + Loggable(key) + "'";
        }
        return {};
    }

    // Serial numbers separated by blanks, each one that keeps an id of its
    // own in the topics.
    std::string SetBoards(std::string_view value)
    {
        std::map<std::string, std::string> ids;
        while (!(value = Trimmed(value)).empty()) {
            const std::size_t end = value.find_first_of(" \t");
            const std::string serial(value.substr(0, end));
            value = end == std::string_view::npos ? std::string_view() : value.substr(end);
            const std::string id = TopicId(serial);
            if (id.empty()) {
                return "board '" + Loggable(serial) + "' has no letter, digit, '_' or '-' to name it in topics";
            }
            if (const auto [other, added] = ids.emplace(id, serial); !added) {
                if (other->second == serial) {
                    return "board '" + Loggable(serial) + "' named twice";
                }
                return "boards '" + Loggable(other->second) + "' and '" + Loggable(serial) + "' would share the id " +
                       id + " in topics";
            }
            m_config.boards.push_back(serial);
        }
        return {};
    }

    const std::string& m_file;
    Config m_config;
    std::map<std::string, int> m_seen;  // key and the line it was given on
};

}  // namespace

std::string ConfigError::Describe() const
{
    return file + (line > 0 ? ":" + std::to_string(line) : "") + ": " + reason;
}

ParsedConfig ParseConfig(std::string_view text, const std::string& file, std::string_view hostName)
{
    return Parser(file, hostName).Parse(text);
}

ParsedConfig LoadConfig(const std::filesystem::path& path, std::string_view hostName)
{
    const std::string file = path.string();
    const auto refused = [&](std::string reason) { return ParsedConfig{std::nullopt, {file, 0, std::move(reason)}}; };
    struct stat status {};
    if (stat(file.c_str(), &status) != 0) {
        return refused("cannot read: " + ErrnoText(errno));
    }
    // Whoever may write the config decides which broker gets the password and
    // which boards are switched.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refused(std::string("may be written by ") + ((status.st_mode & S_IWOTH) != 0 ? "anyone" : "its group") +
                       ": take that away (chmod go-w)");
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return refused("belongs to user " + std::to_string(status.st_uid) + ", neither root nor the user running this");
    }
    std::string reason;
    const auto text = ReadFile(file, reason);
    if (!text) {
        return refused("cannot read: " + reason);
    }
    return ParseConfig(*text, file, hostName);
}
