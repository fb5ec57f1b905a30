// The panel services as relayctl needs them: the binding reports a missing
// driver library or function through FatalError, and relayctl shows that as
// one line on stderr, in English like the rest of its texts, then unwinds to
// its entry, which exits with status 1. relayctl drives no panel, so the
// panel's status lines, boxes and message boxes never come to it.
#pragma once

#include "window/panel_services.h"

#include <iosfwd>
#include <string_view>

// Thrown by EndProgram and FatalError; relayctl catches it and returns 1.
// Unwinding, rather than exiting on the spot, lets the entry return the status
// and the tests run the whole program in their own process.
struct ProgramEnded {};

class ConsoleServices : public PanelServices {
public:
    explicit ConsoleServices(std::ostream& err) : m_err(err) {}

    void StatusPrint(std::string_view /*text*/) override {}
    void FailureBox(std::string_view text) override;
    // No relay boxes: nothing is ticked, and unticking changes nothing.
    int BoxValue(int /*relay*/) override { return 0; }
    void UntickBox(int /*relay*/) override {}

    // The line relayctl prints for a driver fault.
    static std::string Describe(const DriverFault& fault);

private:
    [[noreturn]] void DoEndProgram() override;
    [[noreturn]] void DoFatalError(const DriverFault& fault) override;

    std::ostream& m_err;
};
