// A test double of the panel services that records what the panel shows.
// EndProgram and FatalError throw ProgramEnded, which the panel never
// catches, so nothing after them runs; the test catches it.
#pragma once

#include "control/relay_panel.h"
#include "window/panel_services.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct ProgramEnded {
    std::optional<DriverFault> fault;  // set when FatalError ended it
};

class RecordingServices : public PanelServices {
public:
    using PanelServices::StatusPrint;

    void StatusPrint(std::string_view text) override { lines.emplace_back(text); }
    void FailureBox(std::string_view text) override { boxes.emplace_back(text); }
    [[noreturn]] void DoEndProgram() override { throw ProgramEnded{}; }
    [[noreturn]] void DoFatalError(const DriverFault& fault) override { throw ProgramEnded{fault}; }
    int BoxValue(int relay) override { return values.at(static_cast<std::size_t>(relay - 1)); }
    void UntickBox(int relay) override
    {
        int& value = values.at(static_cast<std::size_t>(relay - 1));
        if (value != 0) {
            value = 0;
            panel->ToggleRelay(relay);
        }
    }

    // What an operator's click on box n does: the value flips, then the click.
    void ClickBox(int relay)
    {
        int& value = values.at(static_cast<std::size_t>(relay - 1));
        value = value == 1 ? 0 : 1;
        panel->ToggleRelay(relay);
    }

    RelayPanel* panel = nullptr;
    std::array<int, 8> values{};
    std::vector<std::string> lines;
    std::vector<std::string> boxes;
};

// A panel wired to its recording services, as the window wires them.
struct PanelUnderTest {
    PanelUnderTest() { services.panel = &panel; }
    RecordingServices services;
    RelayPanel panel{services};
};

// Runs a command that must end the program; returns what ended it.
inline ProgramEnded ExpectEnd(const std::function<void()>& command)
{
    try {
        command();
    } catch (const ProgramEnded& ended) {
        return ended;
    }
    ADD_FAILURE() << "the program went on";
    return {};
}
