// What the virtual relay board recorded, as the tests compare it.
#pragma once

#include "virtual_board_control.h"

#include <cstdint>
#include <string>
#include <vector>

// Every byte that reached the relays, oldest first.
inline std::vector<std::uint8_t> WrittenBytes()
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < vboard_written_count(); ++i) {
        bytes.push_back(vboard_written_byte(i));
    }
    return bytes;
}

// The names of the driver functions called, oldest first.
inline std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < vboard_call_count(); ++i) {
        names.emplace_back(vboard_call_name(i));
    }
    return names;
}
