// The bridge's log: one event a line on stderr, where systemd's journal adds
// the time. Lines from several threads never mix.
#pragma once

#include <string_view>

void Log(std::string_view line);
