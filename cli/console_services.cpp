#include "console_services.h"

#include "control/relay_panel.h"

#include <ostream>
#include <string>

void ConsoleServices::FailureBox(std::string_view text)
{
    m_err << "relayctl: " << text << '\n';
    m_failed = true;
}

int ConsoleServices::BoxValue(int relay)
{
    return Box(relay);
}

void ConsoleServices::UntickBox(int relay)
{
    int& value = Box(relay);
    if (value != 0) {
        value = 0;
        m_panel->ToggleRelay(relay);
    }
}

void ConsoleServices::TickBox(int relay)
{
    int& value = Box(relay);
    if (value != 1) {
        value = 1;
        m_panel->ToggleRelay(relay);
    }
}

void ConsoleServices::DoEndProgram()
{
    throw ProgramEnded{};
}

void ConsoleServices::DoFatalError(const DriverFault& fault)
{
    // The window's report, on one line: scripts read stderr a line at a time.
    std::string text = DescribeDriverFault(fault);
    for (std::size_t at = text.find_first_of("\r\n"); at != std::string::npos; at = text.find_first_of("\r\n", at)) {
        const std::size_t end = text.find_first_not_of("\r\n", at);
        text.replace(at, end == std::string::npos ? std::string::npos : end - at, " ");
    }
    m_err << "relayctl: " << text << '\n';
    throw ProgramEnded{};
}

int& ConsoleServices::Box(int relay)
{
    return m_boxes.at(static_cast<std::size_t>(relay - 1));
}
