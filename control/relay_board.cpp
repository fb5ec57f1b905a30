#include "relay_board.h"

#include "relay_panel.h"

#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

StepResult Check(const char* step, d2xx::FT_STATUS status)
{
    if (status == d2xx::FT_OK) {
        return std::nullopt;
    }
    return StepFailure{step, status, {}};
}

// A string the driver wrote into a buffer of that size: up to its null, and
// never past the buffer when a driver left the null out.
template <std::size_t Size>
std::string FromBuffer(const std::array<char, Size>& buffer)
{
    const std::string_view text(buffer.data(), buffer.size());
    return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

bool DeviceEntry::MayBeRelayBoard() const
{
    return type == d2xx::FT_DEVICE_232R || (inUse && serial.empty());
}

StepResult ListDevices(Module1& driver, std::vector<DeviceEntry>& devices)
{
    devices.clear();
    std::uint32_t count = 0;
    if (StepResult failed = Check("FT_CreateDeviceInfoList", driver.FT_CreateDeviceInfoList(&count))) {
        return failed;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t flags = 0;
        std::uint32_t type = 0;
        std::uint32_t id = 0;
        std::uint32_t location = 0;
        std::array<char, d2xx::kSerialNumberSize> serial{};
        std::array<char, d2xx::kDescriptionSize> description{};
        d2xx::FT_HANDLE handle = nullptr;
        const d2xx::FT_STATUS status = driver.FT_GetDeviceInfoDetail(index, &flags, &type, &id, &location,
                                                                     serial.data(), description.data(), &handle);
        if (StepResult failed = Check("FT_GetDeviceInfoDetail", status)) {
            return failed;
        }
        devices.push_back({static_cast<int>(index), FromBuffer(serial), FromBuffer(description), type,
                           (flags & d2xx::FT_FLAGS_OPENED) != 0});
    }
    return std::nullopt;
}

RelayBoard::~RelayBoard()
{
    if (m_open) {
        m_driver.FT_Close(m_handle);
    }
}

StepResult RelayBoard::OpenBySerial(const std::string& serial)
{
    // The driver takes the serial number as a writable C string and does not change it.
    std::string argument = serial;
    StepResult failed =
        Check("FT_OpenEx", m_driver.FT_OpenEx(argument.data(), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &m_handle));
    m_open = !failed;
    return failed;
}

StepResult RelayBoard::OpenByIndex(int index)
{
    StepResult failed = Check("FT_Open", m_driver.FT_Open(index, &m_handle));
    m_open = !failed;
    return failed;
}

StepResult RelayBoard::SetUp()
{
    if (StepResult failed = Check("FT_SetBaudRate", m_driver.FT_SetBaudRate(m_handle, RelayPanel::kBaudRate))) {
        return failed;
    }
    return Check("FT_SetBitMode", m_driver.FT_SetBitMode(m_handle, RelayPanel::kBitMask, RelayPanel::kBitMode));
}

StepResult RelayBoard::ReadLines(std::uint8_t& lines)
{
    return Check("FT_GetBitMode", m_driver.FT_GetBitMode(m_handle, &lines));
}

StepResult RelayBoard::WriteLines(std::uint8_t lines)
{
    std::uint32_t written = 0;
    if (StepResult failed = Check("FT_Write", m_driver.FT_Write(m_handle, &lines, 1, &written))) {
        return failed;
    }
    if (written != 1) {
        return StepFailure{"FT_Write", d2xx::FT_OK, "the board took " + std::to_string(written) + " of 1 byte"};
    }
    return std::nullopt;
}

StepResult RelayBoard::Close()
{
    // The handle is spent whatever the answer: a second close would only be refused.
    m_open = false;
    return Check("FT_Close", m_driver.FT_Close(m_handle));
}
