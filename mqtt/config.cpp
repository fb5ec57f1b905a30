#include "config.h"

#include "text.h"
#include "topics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

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

// Digits alone: no sign, so that neither "-0" nor "+5" passes.
std::optional<long> WholeNumber(std::string_view text, long lowest, long highest)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end || error != std::errc() || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

// Why a text value is refused: not fit for MQTT (TextFault), or longer than
// `longest` bytes; empty when it is taken.
std::string ValueFault(std::string_view value, std::size_t longest)
{
    if (std::string fault = TextFault(value); !fault.empty()) {
        return fault;
    }
    if (value.size() > longest) {
        return "is longer than " + std::to_string(longest) + " bytes";
    }
    return {};
}

// A topic prefix: one or more topic levels, no wildcard, no empty level, not
// among the topics brokers keep for themselves.
std::string PrefixFault(std::string_view prefix)
{
    if (std::string fault = ValueFault(prefix, kLongestPrefix); !fault.empty()) {
        return fault;
    }
    if (prefix.find_first_of("+#") != std::string_view::npos) {
        return "holds a wildcard ('+' or '#')";
    }
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos) {
        return "has an empty topic level";
    }
    if (prefix.front() == '$') {
        return "begins with '$', which brokers keep for their own topics";
    }
    return {};
}

// A host name or an IP address as getaddrinfo takes it; '%' names an IPv6
// address's interface.
bool IsHostCharacter(char c)
{
    return IsTopicIdCharacter(c) || c == '.' || c == ':' || c == '%';
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

// The whole of a regular file of at most `largest` bytes, or why it is not
// read; `status` gets the status of the file read. A FIFO, a device or a
// folder is refused before it is opened: opening a FIFO waits for a writer,
// and reading a device may never end.
std::optional<std::string> ReadFile(const std::string& path, std::size_t largest, std::string& reason,
                                    struct stat* status = nullptr)
{
    const auto refused = [&](std::string why) {
        reason = std::move(why);
        return std::nullopt;
    };
    const auto fileFault = [&](const struct stat& file) -> std::string {
        if (S_ISDIR(file.st_mode)) {
            return "is a folder";
        }
        if (!S_ISREG(file.st_mode)) {
            return "is not a regular file";
        }
        return {};
    };
    struct stat before {};
    if (stat(path.c_str(), &before) != 0) {
        return refused(ErrnoText(errno));
    }
    if (std::string fault = fileFault(before); !fault.empty()) {
        return refused(fault);
    }
    // Not blocking: should the file have become a FIFO meanwhile, the open
    // does not wait, and fstat tells.
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0) {
        return refused(ErrnoText(errno));
    }
    struct stat opened {};
    std::string fault = fstat(descriptor, &opened) != 0 ? ErrnoText(errno) : fileFault(opened);
    std::string text;
    // Read until the end or past `largest`, whatever size the file's status
    // gives: a file may grow meanwhile, and those of /proc say 0.
    std::array<char, 4096> buffer{};
    while (fault.empty()) {
        const ssize_t count = read(descriptor, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            fault = ErrnoText(errno);
        } else if (count == 0) {
            break;
        } else if (text.size() + static_cast<std::size_t>(count) > largest) {
            fault = "is larger than " + std::to_string(largest) + " bytes";
        } else {
            text.append(buffer.data(), static_cast<std::size_t>(count));
        }
    }
    close(descriptor);
    if (!fault.empty()) {
        return refused(fault);
    }
    if (status != nullptr) {
        *status = opened;
    }
    return text;
}

class Parser {
public:
    Parser(const std::string& file, std::string_view hostName) : m_file(file)
    {
        m_config.node = std::string(hostName);
        m_config.node.erase(
            std::remove_if(m_config.node.begin(), m_config.node.end(), [](char c) { return !IsNodeCharacter(c); }),
            m_config.node.end());
        m_config.node.resize(std::min(m_config.node.size(), kLongestNode));
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
        // Quoted in a refusal.
        const auto quoted = [&] { return key + " '" + Loggable(value) + "' "; };
        if (key == "host") {
            if (value.empty() || value.find_first_of(" \t") != std::string_view::npos) {
                return "host needs a host name or address";
            }
            if (value.size() > kLongestHost) {
                return "host is longer than " + std::to_string(kLongestHost) + " bytes";
            }
            if (!std::all_of(value.begin(), value.end(), IsHostCharacter)) {
                return "host takes a host name or an IP address (letters, digits, '.', '-', '_', ':' and '%'), not '" +
                       Loggable(value) + "'";
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
                if (const std::string fault = ValueFault(value, kLongestPath); !fault.empty()) {
                    return quoted() + fault;
                }
                std::string reason;
                const auto certificates = ReadFile(text, kLargestCaFile, reason);
                if (!certificates) {
                    return "cannot read the CA file " + Shown(text) + ": " + reason;
                }
                // What OpenSSL reads from it at every connection.
                if (certificates->find("-----BEGIN ") == std::string::npos ||
                    certificates->find("CERTIFICATE-----") == std::string::npos) {
                    return "the CA file " + Shown(text) + " holds no certificate in PEM form";
                }
            }
            m_config.caFile = text;
        } else if (key == "username") {
            if (const std::string fault = ValueFault(value, kLongestUsername); !fault.empty()) {
                return quoted() + fault;
            }
            m_config.username = text;
        } else if (key == "password_file") {
            if (!value.empty()) {
                if (const std::string fault = ValueFault(value, kLongestPath); !fault.empty()) {
                    return quoted() + fault;
                }
                if (std::string fault = SetPassword(text); !fault.empty()) {
                    return fault;
                }
            }
            m_config.passwordFile = text;
        } else if (key == "node") {
            if (value.empty() || !std::all_of(value.begin(), value.end(), IsNodeCharacter)) {
                return "node takes letters, digits, '_', '-' and '.', not '" + Loggable(value) + "'";
            }
            if (value.size() > kLongestNode) {
                return "node is longer than " + std::to_string(kLongestNode) + " bytes";
            }
            m_config.node = text;
        } else if (key == "topic_prefix" || key == "discovery_prefix") {
            if (value.empty()) {
                return key + " needs a topic";
            }
            if (const std::string fault = PrefixFault(value); !fault.empty()) {
                return quoted() + fault;
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

    // Reads the password from the file at `path`.
    std::string SetPassword(const std::string& path)
    {
        std::string reason;
        auto password = ReadFile(path, kLargestPasswordFile, reason);
        if (!password) {
            return "cannot read the password file " + Shown(path) + ": " + reason;
        }
        // An editor's newline at the end is not part of the password.
        if (!password->empty() && password->back() == '\n') {
            password->pop_back();
            if (!password->empty() && password->back() == '\r') {
                password->pop_back();
            }
        }
        if (password->empty()) {
            return "the password file " + Shown(path) + " is empty";
        }
        // The library takes the password as a C string: a NUL would cut it.
        if (password->find('\0') != std::string::npos) {
            return "the password file " + Shown(path) + " holds a NUL byte";
        }
        if (password->size() > kLongestPassword) {
            return "the password in " + Shown(path) + " is longer than " + std::to_string(kLongestPassword) + " bytes";
        }
        m_config.password = std::move(*password);
        return {};
    }

    // A file's path as a refusal names it: whole, but filtered.
    static std::string Shown(const std::string& path) { return Loggable(path, kLongestPath); }

    // Serial numbers separated by blanks, each one that keeps an id of its
    // own in the topics.
    std::string SetBoards(std::string_view value)
    {
        std::map<std::string, std::string> ids;
        while (!(value = Trimmed(value)).empty()) {
            const std::size_t end = value.find_first_of(" \t");
            const std::string serial(value.substr(0, end));
            value = end == std::string_view::npos ? std::string_view() : value.substr(end);
            if (const std::string fault = ValueFault(serial, kLongestSerial); !fault.empty()) {
                return "board '" + Loggable(serial) + "' " + fault;
            }
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
    return Loggable(file, kLongestPath) + (line > 0 ? ":" + std::to_string(line) : "") + ": " + reason;
}

ParsedConfig ParseConfig(std::string_view text, const std::string& file, std::string_view hostName)
{
    return Parser(file, hostName).Parse(text);
}

ParsedConfig LoadConfig(const std::filesystem::path& path, std::string_view hostName)
{
    const std::string file = path.string();
    const auto refused = [&](std::string reason) { return ParsedConfig{std::nullopt, {file, 0, std::move(reason)}}; };
    std::string reason;
    struct stat status {};
    const auto text = ReadFile(file, kLargestConfigFile, reason, &status);
    if (!text) {
        return refused("cannot read: " + reason);
    }
    // Whoever may write the config decides which broker gets the password and
    // which boards are switched. The file checked is the file read.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refused(std::string("may be written by ") + ((status.st_mode & S_IWOTH) != 0 ? "anyone" : "its group") +
                       ": take that away (chmod go-w)");
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return refused("belongs to user " + std::to_string(status.st_uid) + ", neither root nor the user running this");
    }
    return ParseConfig(*text, file, hostName);
}
