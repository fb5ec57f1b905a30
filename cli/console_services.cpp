#include "console_services.h"

#include <ostream>
#include <string>

void ConsoleServices::FailureBox(std::string_view text)
{
    m_err << "relayctl: " << text << '\n';
}

void ConsoleServices::DoEndProgram()
{
    throw ProgramEnded{};
}

std::string ConsoleServices::Describe(const DriverFault& fault)
{
    std::string text = fault.kind == DriverFault::Kind::MissingFunction
                           ? "the driver library " + fault.library + " has no function " + fault.function
                           : "cannot load the driver library " + fault.library;
    if (!fault.reason.empty()) {
        text += ": " + fault.reason;
    }
    // One line: scripts read stderr a line at a time, and the loader's
    // reason may span several.
    for (std::size_t at = text.find_first_of("\r\n"); at != std::string::npos; at = text.find_first_of("\r\n", at)) {
        const std::size_t end = text.find_first_not_of("\r\n", at);
        text.replace(at, end == std::string::npos ? std::string::npos : end - at, " ");
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

void ConsoleServices::DoFatalError(const DriverFault& fault)
{
    m_err << "relayctl: " << Describe(fault) << '\n';
    throw ProgramEnded{};
}
