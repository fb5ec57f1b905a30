// The bridge's log: one event a line on stderr, where systemd's journal adds
// the time. Lines from several threads never mix.
#pragma once

#include <string_view>

// Writes the line through the filter text from outside takes (Loggable):
// whatever a caller put in it, no control character or byte outside ASCII
// reaches the terminal or the journal.
void Log(std::string_view line);
