#include "relay_panel.h"

#include "../window/panel_services.h"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

std::uint8_t RelayWeight(int relay)
{
    assert(relay >= 1 && relay <= 8);
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(relay - 1));
}

RelayNumber ParseRelayNumber(std::string_view word)
{
    int value = 0;
    const char* const end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (word.empty() || stop != end || error == std::errc::invalid_argument) {
        return {0, RelayNumber::Fault::NotANumber};
    }
    if (error == std::errc::result_out_of_range || value < 1 || value > 8) {
        return {0, RelayNumber::Fault::OutOfRange};
    }
    return {value, RelayNumber::Fault::None};
}

std::uint8_t RelaySetByte(std::span<const int> relays)
{
    std::uint8_t byte = 0;
    for (const int relay : relays) {
        byte = static_cast<std::uint8_t>(byte | RelayWeight(relay));
    }
    return byte;
}

std::uint8_t ApplyRelayChange(std::uint8_t lines, RelayChange change, std::uint8_t named)
{
    switch (change) {
    case RelayChange::On:
        return static_cast<std::uint8_t>(lines | named);
    case RelayChange::Off:
        return static_cast<std::uint8_t>(lines & ~named);
    case RelayChange::Toggle:
        return static_cast<std::uint8_t>(lines ^ named);
    case RelayChange::Exactly:
        return named;
    }
    return lines;
}

std::vector<int> RelaysIn(std::uint8_t byte)
{
    std::vector<int> relays;
    for (int relay = 1; relay <= 8; ++relay) {
        if ((byte & RelayWeight(relay)) != 0) {
            relays.push_back(relay);
        }
    }
    return relays;
}

std::uint8_t ApplyBoxChange(std::uint8_t relayByte, int relay, int boxValue)
{
    // Setting and clearing the relay's own bit keeps the byte sound even when
    // it was reset while boxes stayed ticked: no borrow into other relays.
    const std::uint8_t weight = RelayWeight(relay);
    return boxValue == 1 ? static_cast<std::uint8_t>(relayByte | weight)
                         : static_cast<std::uint8_t>(relayByte & ~weight);
}

std::string FormatHandleLine(d2xx::FT_HANDLE handle)
{
    const auto value = static_cast<std::intptr_t>(reinterpret_cast<std::uintptr_t>(handle));
    return "FTDI hat den USBHandle : " + std::to_string(value);
}

RelayPanel::RelayPanel(PanelServices& services) : m_services(services), m_driver(services) {}

void RelayPanel::ToggleRelay(int relay)
{
    RelayByte = ApplyBoxChange(RelayByte, relay, m_services.BoxValue(relay));
    m_services.StatusPrint(RelayByte);
}

void RelayPanel::InitInterface()
{
    OpenDevice();
    SetBaud();
    SetBitBang();
    // The boxes are left as they are; the chip keeps its lines until the next send.
    RelayByte = 0;
}

void RelayPanel::OpenDevice()
{
    if (m_driver.FT_Open(kDeviceIndex, &DevHandle) != d2xx::FT_OK) {
        Fail("Open failed");
    }
    m_services.StatusPrint(" FTDI 232 RL erfolgreich geoeffnet");
    m_services.StatusPrint(FormatHandleLine(DevHandle));
}

void RelayPanel::SetBaud()
{
    if (m_driver.FT_SetBaudRate(DevHandle, kBaudRate) != d2xx::FT_OK) {
        Fail("Baudraten Einstellungsfehler");
    }
    m_services.StatusPrint("FTDI 232 Baudrate auf 300 Baud gesetzt");
}

void RelayPanel::SetBitBang()
{
    if (m_driver.FT_SetBitMode(DevHandle, kBitMask, kBitMode) != d2xx::FT_OK) {
        Fail("Bitmode fehlerhaft gesetzt");
    }
    m_services.StatusPrint("serieller Bit-Bang Mode erfolgreich gesetzt");
}

void RelayPanel::CloseDevice()
{
    // A refused close is reported, but the program goes on; the handle is kept.
    if (m_driver.FT_Close(DevHandle) != d2xx::FT_OK) {
        m_services.FailureBox("Schliessen FTDI Schaltkreis fehlerhaft");
    }
}

void RelayPanel::SendState()
{
    OutFrame = {RelayByte};
    WriteOutFrame();
}

void RelayPanel::ReleaseAll()
{
    OutFrame = {0};
    // Each ticked box raises its click, so ToggleRelay echoes here, before the write.
    for (int relay = 1; relay <= 8; ++relay) {
        m_services.UntickBox(relay);
    }
    WriteOutFrame();
}

void RelayPanel::WriteOutFrame()
{
    const auto byteCount = static_cast<std::uint32_t>(OutFrame.size());
    std::uint32_t bytesWritten = 0;
    const d2xx::FT_STATUS status = m_driver.FT_Write(DevHandle, OutFrame.data(), byteCount, &bytesWritten);
    // A write the driver accepts but does not carry out leaves the relays
    // where they were: that is a failure too, not a success.
    if (status != d2xx::FT_OK || bytesWritten != byteCount) {
        Fail("Schreiben fehlerhaft");
    }
}

void RelayPanel::Fail(std::string_view message)
{
    m_services.FailureBox(message);
    m_services.EndProgram();
}
