// What the relay panel and the driver binding may ask of the window, free of
// any window toolkit so that both build and run without one.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Why the program has to stop without the driver: the library could not be
// loaded, or it lacks one of the functions the panel calls.
struct DriverFault {
    enum class Kind { MissingLibrary, MissingFunction };
    Kind kind = Kind::MissingLibrary;
    std::string library;   // file name of the driver library
    std::string function;  // the missing function (MissingFunction only)
    std::string reason;    // the loader's own words, when it gave any
};

// The text the fatal error box shows for a driver fault.
std::string DescribeDriverFault(const DriverFault& fault);

// The status line for a number: a blank, the decimal digits and a blank.
std::string FormatNumberLine(std::uint8_t number);

class PanelServices {
public:
    // The exit status of a process ended by EndProgram or FatalError.
    static constexpr int kEndedStatus = 1;

    PanelServices() = default;
    PanelServices(const PanelServices&) = delete;
    PanelServices& operator=(const PanelServices&) = delete;
    PanelServices(PanelServices&&) = delete;
    PanelServices& operator=(PanelServices&&) = delete;
    virtual ~PanelServices() = default;

    // Adds one status line below the previous one.
    virtual void StatusPrint(std::string_view text) = 0;
    void StatusPrint(std::uint8_t number) { StatusPrint(FormatNumberLine(number)); }

    // A modal box with the text and one OK button; returns when it is dismissed.
    virtual void FailureBox(std::string_view text) = 0;

    // Ends the program at once; closes nothing.
    [[noreturn]] void EndProgram()
    {
        DoEndProgram();
        std::abort();  // an ending that came back must not let the caller go on
    }

    // Reports the fault in a modal box, then ends the program as EndProgram does.
    [[noreturn]] void FatalError(const DriverFault& fault)
    {
        DoFatalError(fault);
        std::abort();
    }

    // Relay box n (1 to 8): 1 ticked, 0 unticked.
    virtual int BoxValue(int relay) = 0;

    // Unticks relay box n. A box that was ticked raises its click, and the
    // panel's ToggleRelay has run before this returns; an unticked box raises nothing.
    virtual void UntickBox(int relay) = 0;

private:
    // Realisations of EndProgram and FatalError; neither may return.
    [[noreturn]] virtual void DoEndProgram() = 0;
    [[noreturn]] virtual void DoFatalError(const DriverFault& fault) = 0;
};
