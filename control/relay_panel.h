// RelayPanel: the relay state byte, the set-up and close of the interface to
// the FT232RL, and the two commands that write to it. It sees the window only
// through PanelServices and the chip only through Module1.
#pragma once

#include "../driver/module1.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class PanelServices;

// Weight of relay n (1 to 8) in the relay state byte: bit n-1.
std::uint8_t RelayWeight(int relay);

// A relay number as a person writes it, checked before it reaches the
// arithmetic: decimal digits naming relay 1 to 8.
struct RelayNumber {
    enum class Fault { None, NotANumber, OutOfRange };
    int relay = 0;  // 1 to 8 when fault is None
    Fault fault = Fault::None;
};
RelayNumber ParseRelayNumber(std::string_view word);

// The relay state byte with exactly the given relays (each 1 to 8) pulled in;
// a relay named twice counts once.
std::uint8_t RelaySetByte(std::span<const int> relays);

// How a command changes the relays it names; the others keep their state,
// except for Exactly: the named relays on, all others off.
enum class RelayChange { On, Off, Toggle, Exactly };
std::uint8_t ApplyRelayChange(std::uint8_t lines, RelayChange change, std::uint8_t named);

// The relays (1 to 8) whose bits are set in the byte, in ascending order.
std::vector<int> RelaysIn(std::uint8_t byte);

// The relay state byte after box n has changed to the given value: a ticked
// box sets its relay's bit, any other value clears it. Other bits stay.
std::uint8_t ApplyBoxChange(std::uint8_t relayByte, int relay, int boxValue);

// The second status line of the initialisation: the handle as a signed
// decimal number of the handle's width.
std::string FormatHandleLine(d2xx::FT_HANDLE handle);

class RelayPanel {
public:
    // Device index, baud rate, bit mask and bit mode of the relay board.
    static constexpr int kDeviceIndex = 0;
    static constexpr std::uint32_t kBaudRate = 300;
    static constexpr std::uint8_t kBitMask = 0xFF;
    static constexpr std::uint8_t kBitMode = d2xx::FT_BITMODE_ASYNC_BITBANG;

    explicit RelayPanel(PanelServices& services);

    // Relay box n has changed value: update the byte and echo it.
    void ToggleRelay(int relay);

    // Opens device 0, sets 300 baud and asynchronous bit-bang on all eight
    // lines, then resets the relay state byte.
    void InitInterface();
    void CloseDevice();

    // Writes the relay state byte to the chip.
    void SendState();
    // Unticks every relay box, then writes 0 so every relay drops out.
    void ReleaseAll();

    std::uint8_t relayByte() const { return RelayByte; }
    d2xx::FT_HANDLE devHandle() const { return DevHandle; }
    const std::vector<std::uint8_t>& outFrame() const { return OutFrame; }

private:
    void OpenDevice();
    void SetBaud();
    void SetBitBang();
    // Writes OutFrame; anything short of every byte taken ends the program.
    void WriteOutFrame();
    // A refused step: the box with its message, then the end.
    [[noreturn]] void Fail(std::string_view message);

    PanelServices& m_services;
    Module1 m_driver;

    std::uint8_t RelayByte = 0;
    d2xx::FT_HANDLE DevHandle = nullptr;
    std::vector<std::uint8_t> OutFrame;
};
