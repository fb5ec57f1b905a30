#include "panel_model.h"

namespace model {

std::uint32_t Board::Refusal(Function function, Token with) const
{
    if (const std::uint32_t injected = faults.at(static_cast<std::size_t>(function)); injected != 0) {
        return injected;
    }
    return open && with == handle ? 0 : kInvalidHandle;
}

std::uint32_t Board::Record(Function function, std::uint32_t status)
{
    calls.push_back({function, status});
    return status;
}

std::uint32_t Board::Open(Token& out)
{
    std::uint32_t status = faults.at(static_cast<std::size_t>(Function::Open));
    if (status == 0 && open) {
        status = kBusy;
    }
    if (status == 0) {
        // A fresh device: serial mode at its default speed.
        open = true;
        handle = ++opened;
        baudRate = 9600;
        mask = 0;
        mode = 0;
        out = handle;
    }
    return Record(Function::Open, status);
}

std::uint32_t Board::SetBaudRate(Token with, std::uint32_t baud)
{
    const std::uint32_t status = Refusal(Function::SetBaudRate, with);
    if (status == 0) {
        baudRate = baud;
    }
    return Record(Function::SetBaudRate, status);
}

std::uint32_t Board::SetBitMode(Token with, std::uint8_t newMask, std::uint8_t newMode)
{
    const std::uint32_t status = Refusal(Function::SetBitMode, with);
    if (status == 0) {
        mask = newMask;
        mode = newMode;
    }
    return Record(Function::SetBitMode, status);
}

std::uint32_t Board::Write(Token with, std::uint8_t byte, std::uint32_t& bytesWritten)
{
    const std::uint32_t status = Refusal(Function::Write, with);
    if (status == 0) {
        if (missing != 0) {
            bytesWritten = 0;  // one byte asked, at least one short: nothing taken
        } else {
            bytesWritten = 1;
            if (mode == 1 && mask == 0xFF) {
                relays = byte;
                written.push_back(byte);
            }
        }
    }
    return Record(Function::Write, status);
}

std::uint32_t Board::Close(Token with)
{
    const std::uint32_t status = Refusal(Function::Close, with);
    if (status == 0) {
        open = false;  // the relays keep their byte
    }
    return Record(Function::Close, status);
}

void Panel::Click(int relay)
{
    auto& box = boxes.at(static_cast<std::size_t>(relay - 1));
    box = !box;
    Toggle(relay);
}

void Panel::Toggle(int relay)
{
    const unsigned bit = 1U << static_cast<unsigned>(relay - 1);
    const bool ticked = boxes.at(static_cast<std::size_t>(relay - 1));
    relayByte = static_cast<std::uint8_t>(ticked ? relayByte | bit : relayByte & ~bit);
    Print(" " + std::to_string(relayByte) + " ");
}

void Panel::InitInterface()
{
    if (board.Open(devHandle) != 0) {
        Fail("Open failed");
        return;
    }
    Print(" FTDI 232 RL erfolgreich geoeffnet");
    lines.push_back({"FTDI hat den USBHandle : ", devHandle});
    if (board.SetBaudRate(devHandle, 300) != 0) {
        Fail("Baudraten Einstellungsfehler");
        return;
    }
    Print("FTDI 232 Baudrate auf 300 Baud gesetzt");
    if (board.SetBitMode(devHandle, 0xFF, 1) != 0) {
        Fail("Bitmode fehlerhaft gesetzt");
        return;
    }
    Print("serieller Bit-Bang Mode erfolgreich gesetzt");
    relayByte = 0;
}

void Panel::SendState()
{
    outFrame = relayByte;
    Write(relayByte);
}

void Panel::ReleaseAll()
{
    outFrame = 0;
    for (int relay = 1; relay <= 8; ++relay) {
        if (auto& box = boxes.at(static_cast<std::size_t>(relay - 1)); box) {
            box = false;
            Toggle(relay);
        }
    }
    Write(0);
}

void Panel::CloseDevice()
{
    if (board.Close(devHandle) != 0) {
        failureBoxes.emplace_back("Schliessen FTDI Schaltkreis fehlerhaft");
    }
}

void Panel::Write(std::uint8_t byte)
{
    std::uint32_t bytesWritten = 0;
    const std::uint32_t status = board.Write(devHandle, byte, bytesWritten);
    if (status != 0 || (noticesShortWrites && bytesWritten != 1)) {
        Fail("Schreiben fehlerhaft");
    }
}

void Panel::Fail(const char* text)
{
    failureBoxes.emplace_back(text);
    ended = true;
}

}  // namespace model
