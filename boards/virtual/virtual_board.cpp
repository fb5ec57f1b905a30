// The virtual relay board: a stand-in for the D2XX driver library that
// behaves like one FT232R with an eight-relay board on its data lines.
// It prints each write that reaches the relays to stderr, so a person trying
// the panel without hardware sees what the board does.
//
// Faults for tests come from the control functions in
// virtual_board_control.h or from the environment:
//   VBOARD_FAIL=FT_Write=4,FT_Open   the named functions answer with that
//                                    status (FT_IO_ERROR when none is given)
//   VBOARD_SHORT_WRITE=N             FT_Write takes nothing, reports N fewer
// A build with VBOARD_OMIT_<function> defined lacks that function.

#include "../../driver/d2xx.h"
#include "virtual_board_control.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#define VBOARD_EXPORT extern "C" VBOARD_API

namespace {

using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;

constexpr std::array<const char*, 5> kFunctions = {"FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write",
                                                   "FT_Close"};

struct Call {
    const char* name;
    FT_STATUS status;
};

class VirtualBoard {
public:
    VirtualBoard() { Reset(); }

    void Reset()
    {
        m_open = false;
        m_baudRate = 9600;
        m_mask = 0;
        m_mode = d2xx::FT_BITMODE_RESET;
        m_relays = 0;
        m_faults.fill(d2xx::FT_OK);
        m_missing = 0;
        m_written.clear();
        m_calls.clear();
        ReadEnvironment();
    }

    FT_STATUS Open(int index, FT_HANDLE* handle)
    {
        FT_STATUS status = Injected(0);
        if (status == d2xx::FT_OK) {
            if (handle == nullptr) {
                status = d2xx::FT_INVALID_PARAMETER;
            } else if (index != 0) {
                status = d2xx::FT_DEVICE_NOT_FOUND;
            } else if (m_open) {
                status = d2xx::FT_DEVICE_NOT_OPENED;  // busy, as the real driver answers
            } else {
                // A fresh token each time, so a handle from an earlier open is stale.
                ++m_generation;
                m_handle = reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(0x5000 + 0x10 * m_generation));
                m_open = true;
                // Opening resets the chip to its serial mode at its default speed.
                m_mode = d2xx::FT_BITMODE_RESET;
                m_mask = 0;
                m_baudRate = 9600;
                *handle = m_handle;
            }
        }
        return Record(0, status);
    }

    FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate)
    {
        FT_STATUS status = Checked(1, handle);
        if (status == d2xx::FT_OK) {
            if (baudRate < 183 || baudRate > 3000000) {
                status = d2xx::FT_INVALID_BAUD_RATE;
            } else {
                m_baudRate = baudRate;
            }
        }
        return Record(1, status);
    }

    FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
    {
        FT_STATUS status = Checked(2, handle);
        if (status == d2xx::FT_OK) {
            if (mode != d2xx::FT_BITMODE_RESET && mode != d2xx::FT_BITMODE_ASYNC_BITBANG &&
                mode != d2xx::FT_BITMODE_SYNC_BITBANG && mode != 0x20) {
                status = d2xx::FT_INVALID_PARAMETER;  // MPSSE and the like: not an FT232R mode
            } else {
                m_mask = mask;
                m_mode = mode;
            }
        }
        return Record(2, status);
    }

    FT_STATUS Write(FT_HANDLE handle, const void* buffer, std::uint32_t count, std::uint32_t* written)
    {
        FT_STATUS status = Checked(3, handle);
        if (status == d2xx::FT_OK && (written == nullptr || (buffer == nullptr && count != 0))) {
            status = d2xx::FT_INVALID_PARAMETER;
        }
        if (status == d2xx::FT_OK) {
            *written = 0;
            if (m_missing != 0) {
                // Accepted but not carried out: the relays stay where they are.
                *written = count > m_missing ? count - m_missing : 0;
            } else {
                const auto* bytes = static_cast<const std::uint8_t*>(buffer);
                for (std::uint32_t i = 0; i < count; ++i) {
                    Put(bytes[i]);
                }
                *written = count;
            }
        }
        return Record(3, status);
    }

    FT_STATUS Close(FT_HANDLE handle)
    {
        FT_STATUS status = Checked(4, handle);
        if (status == d2xx::FT_OK) {
            // The relays keep the last byte: closing does not touch the lines.
            m_open = false;
        }
        return Record(4, status);
    }

    int Fail(const char* function, FT_STATUS status)
    {
        for (std::size_t i = 0; i < kFunctions.size(); ++i) {
            if (function != nullptr && std::strcmp(function, kFunctions.at(i)) == 0) {
                m_faults.at(i) = status;
                return 0;
            }
        }
        return -1;
    }

    void ShortWrite(std::uint32_t missing) { m_missing = missing; }
    void Quiet(bool quiet) { m_quiet = quiet; }
    std::uint8_t Relays() const { return m_relays; }
    bool IsOpen() const { return m_open; }
    std::uint32_t BaudRate() const { return m_baudRate; }
    std::uint8_t Mask() const { return m_mask; }
    std::uint8_t Mode() const { return m_mode; }
    const std::vector<std::uint8_t>& Written() const { return m_written; }
    const std::vector<Call>& Calls() const { return m_calls; }

private:
    FT_STATUS Injected(std::size_t function) const { return m_faults.at(function); }

    // A zero, unknown or closed handle is refused by comparison alone: it is
    // never used as an address.
    FT_STATUS Checked(std::size_t function, FT_HANDLE handle) const
    {
        if (FT_STATUS injected = Injected(function); injected != d2xx::FT_OK) {
            return injected;
        }
        return m_open && handle == m_handle ? d2xx::FT_OK : d2xx::FT_INVALID_HANDLE;
    }

    FT_STATUS Record(std::size_t function, FT_STATUS status)
    {
        m_calls.push_back({kFunctions.at(function), status});
        return status;
    }

    void Put(std::uint8_t byte)
    {
        if (m_mode != d2xx::FT_BITMODE_ASYNC_BITBANG || m_mask != 0xFF) {
            if (!m_quiet) {
                std::fprintf(stderr,
                             "virtual relay board: 0x%02X sent as serial data, relays unchanged "
                             "(not in asynchronous bit-bang mode on all eight lines)\n",
                             byte);
            }
            return;
        }
        m_relays = byte;
        m_written.push_back(byte);
        if (m_quiet) {
            return;
        }
        std::string line = "virtual relay board: ";
        std::array<char, 8> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%02X", byte);
        line += hex.data();
        line += "  on:";
        if (byte == 0) {
            line += " none";
        }
        for (int relay = 1; relay <= 8; ++relay) {
            if ((byte & (1U << static_cast<unsigned>(relay - 1))) != 0) {
                line += " " + std::to_string(relay);
            }
        }
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    void ReadEnvironment()
    {
        if (const char* spec = std::getenv("VBOARD_FAIL"); spec != nullptr) {
            std::string_view rest = spec;
            while (!rest.empty()) {
                const std::size_t comma = rest.find(',');
                const std::string item(rest.substr(0, comma));
                rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
                const std::size_t equals = item.find('=');
                const std::string name = item.substr(0, equals);
                FT_STATUS status = d2xx::FT_IO_ERROR;
                if (equals != std::string::npos) {
                    status = static_cast<FT_STATUS>(std::strtoul(item.c_str() + equals + 1, nullptr, 10));
                }
                if (Fail(name.c_str(), status) != 0) {
                    std::fprintf(stderr, "virtual relay board: VBOARD_FAIL names no function: %s\n", name.c_str());
                }
            }
        }
        if (const char* missing = std::getenv("VBOARD_SHORT_WRITE"); missing != nullptr) {
            m_missing = static_cast<std::uint32_t>(std::strtoul(missing, nullptr, 10));
        }
    }

    bool m_open = false;
    FT_HANDLE m_handle = nullptr;
    unsigned m_generation = 0;
    std::uint32_t m_baudRate = 9600;
    std::uint8_t m_mask = 0;
    std::uint8_t m_mode = d2xx::FT_BITMODE_RESET;
    std::uint8_t m_relays = 0;
    std::array<FT_STATUS, kFunctions.size()> m_faults{};
    std::uint32_t m_missing = 0;
    bool m_quiet = false;  // how the board talks, not its state: a reset keeps it
    std::vector<std::uint8_t> m_written;
    std::vector<Call> m_calls;
};

std::mutex g_mutex;

VirtualBoard& Board()
{
    static VirtualBoard board;
    return board;
}

}  // namespace

#ifndef VBOARD_OMIT_FT_Open
VBOARD_EXPORT FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE* handle)
{
    const std::lock_guard lock(g_mutex);
    return Board().Open(deviceNumber, handle);
}
#endif

#ifndef VBOARD_OMIT_FT_SetBaudRate
VBOARD_EXPORT FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate)
{
    const std::lock_guard lock(g_mutex);
    return Board().SetBaudRate(handle, baudRate);
}
#endif

#ifndef VBOARD_OMIT_FT_SetBitMode
VBOARD_EXPORT FT_STATUS FTAPI FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    const std::lock_guard lock(g_mutex);
    return Board().SetBitMode(handle, mask, mode);
}
#endif

#ifndef VBOARD_OMIT_FT_Write
VBOARD_EXPORT FT_STATUS FTAPI FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                                       std::uint32_t* bytesWritten)
{
    const std::lock_guard lock(g_mutex);
    return Board().Write(handle, buffer, bytesToWrite, bytesWritten);
}
#endif

#ifndef VBOARD_OMIT_FT_Close
VBOARD_EXPORT FT_STATUS FTAPI FT_Close(FT_HANDLE handle)
{
    const std::lock_guard lock(g_mutex);
    return Board().Close(handle);
}
#endif

VBOARD_EXPORT void vboard_reset(void)
{
    const std::lock_guard lock(g_mutex);
    Board().Reset();
}

VBOARD_EXPORT int vboard_fail(const char* function, uint32_t status)
{
    const std::lock_guard lock(g_mutex);
    return Board().Fail(function, status);
}

VBOARD_EXPORT void vboard_short_write(uint32_t missing)
{
    const std::lock_guard lock(g_mutex);
    Board().ShortWrite(missing);
}

VBOARD_EXPORT void vboard_quiet(int quiet)
{
    const std::lock_guard lock(g_mutex);
    Board().Quiet(quiet != 0);
}

VBOARD_EXPORT uint8_t vboard_relays(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().Relays();
}

VBOARD_EXPORT int vboard_is_open(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().IsOpen() ? 1 : 0;
}

VBOARD_EXPORT uint32_t vboard_baud_rate(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().BaudRate();
}

VBOARD_EXPORT uint8_t vboard_bit_mask(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().Mask();
}

VBOARD_EXPORT uint8_t vboard_bit_mode(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().Mode();
}

VBOARD_EXPORT size_t vboard_written_count(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().Written().size();
}

VBOARD_EXPORT uint8_t vboard_written_byte(size_t index)
{
    const std::lock_guard lock(g_mutex);
    const auto& written = Board().Written();
    return index < written.size() ? written[index] : 0;
}

VBOARD_EXPORT size_t vboard_call_count(void)
{
    const std::lock_guard lock(g_mutex);
    return Board().Calls().size();
}

VBOARD_EXPORT const char* vboard_call_name(size_t index)
{
    const std::lock_guard lock(g_mutex);
    const auto& calls = Board().Calls();
    return index < calls.size() ? calls[index].name : nullptr;
}

VBOARD_EXPORT uint32_t vboard_call_status(size_t index)
{
    const std::lock_guard lock(g_mutex);
    const auto& calls = Board().Calls();
    return index < calls.size() ? calls[index].status : 0;
}
