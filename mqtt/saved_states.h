// The relay states the bridge last commanded on each board, kept in a small
// file across restarts and replugs, for the boards whose attach policy is
// `restore`: in the folder systemd gives the service (StateDirectory=, as
// $STATE_DIRECTORY), or, for a user's run, $XDG_STATE_HOME/relaymqtt (by
// default ~/.local/state/relaymqtt). One line a board: its serial number, a
// blank, and the relays as two hexadecimal digits.
#pragma once

#include "control/boards_file.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

// The file of the saved states; empty when the environment names no folder.
std::filesystem::path SavedStatesFile(const EnvironmentLookup& environment);

class SavedStates {
public:
    // Reads the file when it exists; lines it cannot read are passed over.
    explicit SavedStates(std::filesystem::path file);

    std::optional<std::uint8_t> Find(const std::string& serial) const;
    // Keeps the state and writes the file afresh (a whole new file put in
    // place, so that a crash leaves the old one or the new one); false, with
    // the reason, when it cannot.
    bool Save(const std::string& serial, std::uint8_t relays, std::string& reason);

private:
    std::filesystem::path m_file;
    std::map<std::string, std::uint8_t> m_states;
};
