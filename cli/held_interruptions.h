// While a pulse has a relay pulled in, Ctrl+C, a hang-up, a kill or the
// console closing must not end relayctl before the relay is put back: this
// holds those interruptions for the pulse's wait to notice, and afterwards
// ends the program as the interruption asked.
#pragma once

#include <chrono>

class HeldInterruptions {
public:
    // From now on the interruptions wait for WaitFor or EndIfInterrupted.
    HeldInterruptions();
    HeldInterruptions(const HeldInterruptions&) = delete;
    HeldInterruptions& operator=(const HeldInterruptions&) = delete;
    HeldInterruptions(HeldInterruptions&&) = delete;
    HeldInterruptions& operator=(HeldInterruptions&&) = delete;
    // Lets them through again.
    ~HeldInterruptions();

    // Waits that long, or less when an interruption comes; true when one came.
    bool WaitFor(std::chrono::microseconds duration);

    // Once the caller has put things back: when an interruption came (during
    // the wait or since), ends the program as it asks: on Linux by the signal
    // itself (a shell sees 130 for Ctrl+C, 143 for a kill), on Windows with
    // the status of a program ended by Ctrl+C. Returns when none came.
    void EndIfInterrupted();

private:
    int m_caught = 0;  // the signal, or the console event, that came
};
