// relayctl: the relays from a terminal or a script. It parses its command
// line, chooses the board, then reaches it through the binding the window
// uses, and reports in the way of the classic Unix tools: the result on
// stdout, diagnostics on stderr, exit status 0, 1 or 2.
#pragma once

#include <iosfwd>
#include <span>
#include <string_view>

// Exit statuses, as the manual page documents them.
inline constexpr int kRelayctlDone = 0;
inline constexpr int kRelayctlFailed = 1;
inline constexpr int kRelayctlUsage = 2;

// The whole program: the arguments after the program's name; returns the
// exit status.
int RunRelayctl(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);
