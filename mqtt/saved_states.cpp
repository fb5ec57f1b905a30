#include "saved_states.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view kFileName = "relays.state";

std::optional<std::filesystem::path> AbsoluteFolder(const EnvironmentLookup& environment, const char* name)
{
    const std::optional<std::string> value = environment(name);
    if (!value || value->empty()) {
        return std::nullopt;
    }
    // systemd may give several folders, separated by ':'; the first is ours.
    const std::filesystem::path folder(value->substr(0, value->find(':')));
    return folder.is_absolute() ? std::optional(folder) : std::nullopt;
}

}  // namespace

std::filesystem::path SavedStatesFile(const EnvironmentLookup& environment)
{
    if (const auto service = AbsoluteFolder(environment, "STATE_DIRECTORY")) {
        return *service / kFileName;
    }
    if (const auto state = AbsoluteFolder(environment, "XDG_STATE_HOME")) {
        return *state / "relaymqtt" / kFileName;
    }
    if (const auto home = AbsoluteFolder(environment, "HOME")) {
        return *home / ".local" / "state" / "relaymqtt" / kFileName;
    }
    return {};
}

SavedStates::SavedStates(std::filesystem::path file) : m_file(std::move(file))
{
    if (m_file.empty()) {
        return;
    }
    std::ifstream in(m_file);
    for (std::string line; std::getline(in, line);) {
        const std::size_t blank = line.rfind(' ');
        if (blank == std::string::npos || line.size() != blank + 3) {
            continue;
        }
        unsigned value = 0;
        const std::string_view digits = std::string_view(line).substr(blank + 1);
        const char* const end = digits.data() + digits.size();
        const auto [stop, fault] = std::from_chars(digits.data(), end, value, 16);
        if (fault == std::errc() && stop == end) {
            m_states[line.substr(0, blank)] = static_cast<std::uint8_t>(value);
        }
    }
}

std::optional<std::uint8_t> SavedStates::Find(const std::string& serial) const
{
    const auto found = m_states.find(serial);
    return found == m_states.end() ? std::nullopt : std::optional(found->second);
}

bool SavedStates::Save(const std::string& serial, std::uint8_t relays, std::string& reason)
{
    m_states[serial] = relays;
    if (m_file.empty()) {
        reason = "no folder to keep it in (neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME is set)";
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(m_file.parent_path(), error);
    if (error) {
        reason = "cannot make " + m_file.parent_path().string() + ": " + error.message();
        return false;
    }
    std::ostringstream text;
    for (const auto& [board, state] : m_states) {
        std::array<char, 4> hex{};
        std::snprintf(hex.data(), hex.size(), "%02X", state);
        text << board << ' ' << hex.data() << '\n';
    }
    std::filesystem::path fresh = m_file;
    fresh += ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            reason = "cannot write " + fresh.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    std::filesystem::rename(fresh, m_file, error);
    if (error) {
        reason = "cannot replace " + m_file.string() + ": " + error.message();
        return false;
    }
    return true;
}
