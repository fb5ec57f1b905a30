// The panel services as relayctl realises them on a console: eight relay
// boxes held in memory, failures as lines on stderr, and an ending that
// unwinds to the program's entry, which exits with status 1. No window, no
// message box.
#pragma once

#include "window/panel_services.h"

#include <array>
#include <iosfwd>
#include <string_view>

class RelayPanel;

// Thrown by EndProgram and FatalError; RunRelayctl catches it and returns 1.
// Unwinding, rather than exiting on the spot, lets the entry return the status
// and the tests run the whole program in their own process.
struct ProgramEnded {};

class ConsoleServices : public PanelServices {
public:
    explicit ConsoleServices(std::ostream& err) : m_err(err) {}

    // The panel whose ToggleRelay a box change raises.
    void Attach(RelayPanel& panel) { m_panel = &panel; }

    // The panel's status lines report its steps to a person at the window;
    // they are not relayctl's result, which the caller prints on stdout.
    void StatusPrint(std::string_view /*text*/) override {}
    void FailureBox(std::string_view text) override;
    int BoxValue(int relay) override;
    void UntickBox(int relay) override;

    // What ticking a box in the window does: the value becomes 1, then its click.
    void TickBox(int relay);

    // Whether a refusal was reported that let the program go on (a refused close).
    bool failed() const { return m_failed; }

private:
    [[noreturn]] void DoEndProgram() override;
    [[noreturn]] void DoFatalError(const DriverFault& fault) override;
    int& Box(int relay);

    std::ostream& m_err;
    RelayPanel* m_panel = nullptr;
    std::array<int, 8> m_boxes{};
    bool m_failed = false;
};
