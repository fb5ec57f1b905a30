// The virtual relay board: a stand-in for the D2XX driver library that
// behaves like FT232R chips with an eight-relay board on their data lines.
// It prints each write that reaches the relays to stderr, so a person trying
// the panel without hardware sees what the board does.
//
// It poses as one board with the serial number VBOARD01, or as the boards
// named in VBOARD_SERIALS=A1,B2 (set but empty: no board attached). Each
// board keeps its eight lines in a small file (state_file.h), so they outlast
// the program that set them, and one process at a time holds a board, from
// open to close, as with a real device. The files are in the folder
// VBOARD_DIR names, or else in a folder of the user's own.
//
// Faults for tests come from the control functions in
// virtual_board_control.h or from the environment:
//   VBOARD_FAIL=FT_Write=4,FT_Open   the named functions answer with that
//                                    status (FT_IO_ERROR when none is given)
//   VBOARD_SHORT_WRITE=N             FT_Write takes nothing, reports N fewer
//   VBOARD_FAIL_WRITE=N              the N-th FT_Write answers FT_IO_ERROR
//   VBOARD_LIST_HELD_WITHOUT_SERIAL=1  a board another process holds is
//                                    listed as the chip maker's library lists
//                                    it: open, of unknown type, unnamed
//   VBOARD_FT232H=C3,D4              the boards with these serial numbers are
//                                    listed as FT232H chips, which carry no
//                                    relay board; otherwise they work alike
//   VBOARD_ACTIVE_LOW=A1,B2          the boards with these serial numbers
//                                    pull a relay in while its line is low
//   VBOARD_WRITE_LOG=FILE            every byte that reaches the relays, of
//                                    any process, is added to FILE as a line
//                                    "SERIAL 0xNN"
// and from the file "unplugged" in the boards' folder, read at every call:
// the boards it names, one serial number a line, are unplugged.
// A build with VBOARD_OMIT_<function> defined lacks that function.

#include "../../driver/d2xx.h"
#include "state_file.h"
#include "virtual_board_control.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#define VBOARD_EXPORT extern "C" VBOARD_API

namespace {

using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;

enum Function : std::size_t {
    kOpen,
    kSetBaudRate,
    kSetBitMode,
    kWrite,
    kClose,
    kGetBitMode,
    kCreateDeviceInfoList,
    kGetDeviceInfoDetail,
    kOpenEx,
    kFunctionCount
};
constexpr std::array<const char*, kFunctionCount> kFunctions = {
    "FT_Open",       "FT_SetBaudRate",          "FT_SetBitMode",          "FT_Write", "FT_Close",
    "FT_GetBitMode", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoDetail", "FT_OpenEx"};

constexpr const char* kDefaultSerial = "VBOARD01";
constexpr const char* kDescription = "Virtual relay board";
// How a device VBOARD_FT232H names is listed: FT_DEVICE_232H, vendor 0403,
// product 6014.
constexpr std::uint32_t kDevice232H = 8;
constexpr std::uint32_t kFT232HId = 0x04036014;
constexpr const char* kFT232HDescription = "Virtual FT232H";
// FT_DEVICE_UNKNOWN: the type listed for a device the driver cannot ask.
constexpr std::uint32_t kDeviceUnknown = 3;

struct Call {
    const char* name;
    FT_STATUS status;
};

// One board the library poses as, and what this process knows of it.
struct Device {
    std::string serial;
    bool ft232h = false;           // listed as an FT232H, not an FT232R
    bool activeLow = false;        // a relay pulls in while its line is low
    vboard::StateFile file;        // held while this process has the board open
    FT_HANDLE handle = nullptr;    // this process's handle while it has the board open
    std::filesystem::path folder;  // of its file, while open
    bool gone = false;             // unplugged while open: the handle is dead until closed
    std::uint32_t baudRate = 9600;
    std::uint8_t mask = 0;
    std::uint8_t mode = d2xx::FT_BITMODE_RESET;
    std::uint8_t lines = 0;  // as last read from its file or written to it
};

// One entry of the device list, as FT_CreateDeviceInfoList found it.
struct ListEntry {
    std::string serial;
    std::uint32_t flags = 0;
    FT_HANDLE handle = nullptr;
    bool unnamed = false;  // held elsewhere, listed without serial, description or type
    bool ft232h = false;
};

// The serial numbers the file "unplugged" in the boards' folder names, one a
// line; none when there is no such file.
std::vector<std::string> Unplugged(const std::filesystem::path& folder)
{
    std::vector<std::string> serials;
    if (folder.empty()) {
        return serials;
    }
    std::ifstream file(folder / "unplugged");
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        serials.push_back(line);
    }
    return serials;
}

bool Contains(const std::vector<std::string>& serials, const std::string& serial)
{
    for (const std::string& item : serials) {
        if (item == serial) {
            return true;
        }
    }
    return false;
}

// The items of a comma-separated list, empty ones included; none for an empty text.
std::vector<std::string> CommaSeparated(std::string_view text)
{
    std::vector<std::string> items;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        items.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
        if (text.empty()) {
            items.emplace_back();
        }
    }
    return items;
}

// Copies the text null-terminated into a caller's buffer of `size` bytes, cut to fit.
void CopyText(void* buffer, std::string_view text, std::size_t size)
{
    const std::size_t length = text.size() < size ? text.size() : size - 1;
    auto* bytes = static_cast<char*>(buffer);
    std::memcpy(bytes, text.data(), length);
    bytes[length] = '\0';  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
}

class VirtualBoard {
public:
    VirtualBoard() { ReadEnvironment(); }

    void Reset()
    {
        m_boards.clear();  // and with them this process's holds
        m_current = 0;
        m_faults.fill(d2xx::FT_OK);
        m_missing = 0;
        m_failingWrite = 0;
        m_writeCalls = 0;
        m_written.clear();
        m_calls.clear();
        m_list.clear();
        m_lastReason.clear();
        ReadEnvironment();
        for (Device& board : m_boards) {
            ClearLines(board);
        }
    }

    FT_STATUS Open(int index, FT_HANDLE* handle)
    {
        FT_STATUS status = Injected(kOpen);
        if (status == d2xx::FT_OK) {
            // The index counts the boards plugged in, as the list does.
            const std::vector<std::size_t> plugged = PluggedBoards();
            if (handle == nullptr) {
                status = d2xx::FT_INVALID_PARAMETER;
            } else if (index < 0 || static_cast<std::size_t>(index) >= plugged.size()) {
                status = d2xx::FT_DEVICE_NOT_FOUND;
            } else {
                status = OpenBoard(plugged[static_cast<std::size_t>(index)], *handle);
            }
        }
        return Record(kOpen, status);
    }

    FT_STATUS OpenEx(const void* argument, std::uint32_t flags, FT_HANDLE* handle)
    {
        FT_STATUS status = Injected(kOpenEx);
        if (status == d2xx::FT_OK) {
            if (argument == nullptr || handle == nullptr) {
                status = d2xx::FT_INVALID_PARAMETER;
            } else if (flags != d2xx::FT_OPEN_BY_SERIAL_NUMBER) {
                status = d2xx::FT_NOT_SUPPORTED;
            } else {
                status = d2xx::FT_DEVICE_NOT_FOUND;
                const std::string_view serial = BoundedText(argument, d2xx::kSerialNumberSize);
                for (const std::size_t i : PluggedBoards()) {
                    if (m_boards[i].serial == serial) {
                        status = OpenBoard(i, *handle);
                        break;
                    }
                }
            }
        }
        return Record(kOpenEx, status);
    }

    FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate)
    {
        Device* board = nullptr;
        FT_STATUS status = Checked(kSetBaudRate, handle, board);
        if (status == d2xx::FT_OK) {
            if (baudRate < 183 || baudRate > 3000000) {
                status = d2xx::FT_INVALID_BAUD_RATE;
            } else {
                board->baudRate = baudRate;
            }
        }
        return Record(kSetBaudRate, status);
    }

    FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
    {
        Device* board = nullptr;
        FT_STATUS status = Checked(kSetBitMode, handle, board);
        if (status == d2xx::FT_OK) {
            if (mode != d2xx::FT_BITMODE_RESET && mode != d2xx::FT_BITMODE_ASYNC_BITBANG &&
                mode != d2xx::FT_BITMODE_SYNC_BITBANG && mode != 0x20) {
                status = d2xx::FT_INVALID_PARAMETER;  // MPSSE and the like: not an FT232R mode
            } else {
                board->mask = mask;
                board->mode = mode;
            }
        }
        return Record(kSetBitMode, status);
    }

    FT_STATUS GetBitMode(FT_HANDLE handle, std::uint8_t* lines)
    {
        Device* board = nullptr;
        FT_STATUS status = Checked(kGetBitMode, handle, board);
        if (status == d2xx::FT_OK) {
            if (lines == nullptr) {
                status = d2xx::FT_INVALID_PARAMETER;
            } else {
                *lines = board->lines;
            }
        }
        return Record(kGetBitMode, status);
    }

    FT_STATUS Write(FT_HANDLE handle, const void* buffer, std::uint32_t count, std::uint32_t* written)
    {
        const bool failing = ++m_writeCalls == m_failingWrite;
        Device* board = nullptr;
        FT_STATUS status = Checked(kWrite, handle, board);
        if (status == d2xx::FT_OK && (written == nullptr || (buffer == nullptr && count != 0))) {
            status = d2xx::FT_INVALID_PARAMETER;
        }
        if (status == d2xx::FT_OK && failing) {
            *written = 0;  // and the relays stay where they are
            status = d2xx::FT_IO_ERROR;
        }
        if (status == d2xx::FT_OK) {
            *written = 0;
            if (m_missing != 0) {
                // Accepted but not carried out: the relays stay where they are.
                *written = count > m_missing ? count - m_missing : 0;
            } else {
                const auto* bytes = static_cast<const std::uint8_t*>(buffer);
                for (std::uint32_t i = 0; i < count && status == d2xx::FT_OK; ++i) {
                    if (Put(*board, bytes[i])) {  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
                        *written = i + 1;
                    } else {
                        status = d2xx::FT_IO_ERROR;
                    }
                }
            }
        }
        return Record(kWrite, status);
    }

    FT_STATUS Close(FT_HANDLE handle)
    {
        Device* board = nullptr;
        FT_STATUS status = Checked(kClose, handle, board);
        // A handle on an unplugged board answers FT_IO_ERROR, yet closing it
        // lets it go, so that the board can be opened again once plugged in.
        if (board != nullptr) {
            // The relays keep the last byte: closing does not touch the lines.
            board->file.Release();
            board->handle = nullptr;
            board->gone = false;
        }
        return Record(kClose, status);
    }

    FT_STATUS CreateDeviceInfoList(std::uint32_t* count)
    {
        FT_STATUS status = Injected(kCreateDeviceInfoList);
        if (status == d2xx::FT_OK && count == nullptr) {
            status = d2xx::FT_INVALID_PARAMETER;
        }
        if (status == d2xx::FT_OK) {
            std::string reason;
            const std::filesystem::path folder = vboard::StateFolder(reason);
            if (folder.empty()) {
                Say(reason);  // then no other process can hold a board either
            }
            const bool unnamedWhenHeld = vboard::Environment("VBOARD_LIST_HELD_WITHOUT_SERIAL") == "1";
            const std::vector<std::string> unplugged = Unplugged(folder);
            m_list.clear();
            for (const Device& board : m_boards) {
                if (Contains(unplugged, board.serial)) {
                    continue;
                }
                ListEntry entry{board.serial, 0, board.handle, false, board.ft232h};
                if (board.handle != nullptr) {
                    entry.flags = d2xx::FT_FLAGS_OPENED;
                } else if (!folder.empty() &&
                           vboard::StateFile::HeldElsewhere(vboard::StateFileOf(folder, board.serial))) {
                    entry.flags = d2xx::FT_FLAGS_OPENED;
                    entry.unnamed = unnamedWhenHeld;
                }
                m_list.push_back(entry);
            }
            *count = static_cast<std::uint32_t>(m_list.size());
        }
        return Record(kCreateDeviceInfoList, status);
    }

    FT_STATUS GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type, std::uint32_t* id,
                                  std::uint32_t* locationId, void* serialNumber, void* description, FT_HANDLE* handle)
    {
        FT_STATUS status = Injected(kGetDeviceInfoDetail);
        if (status == d2xx::FT_OK && (flags == nullptr || type == nullptr || id == nullptr || locationId == nullptr ||
                                      serialNumber == nullptr || description == nullptr || handle == nullptr)) {
            status = d2xx::FT_INVALID_PARAMETER;
        } else if (status == d2xx::FT_OK && index >= m_list.size()) {
            status = d2xx::FT_DEVICE_NOT_FOUND;
        } else if (status == d2xx::FT_OK) {
            const ListEntry& entry = m_list[index];
            *flags = entry.flags;
            *type = entry.unnamed ? kDeviceUnknown : entry.ft232h ? kDevice232H : d2xx::FT_DEVICE_232R;
            *id = entry.unnamed ? 0 : entry.ft232h ? kFT232HId : d2xx::kFT232RId;
            *locationId = index + 1;  // where it sits in the list; there is no USB port to name
            CopyText(serialNumber, entry.unnamed ? "" : entry.serial, d2xx::kSerialNumberSize);
            CopyText(description,
                     entry.unnamed  ? ""
                     : entry.ft232h ? kFT232HDescription
                                    : kDescription,
                     d2xx::kDescriptionSize);
            *handle = entry.handle;
        }
        return Record(kGetDeviceInfoDetail, status);
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

    // The lines of the current board as its file holds them: another process
    // may have changed them since this one closed it.
    std::uint8_t Relays()
    {
        if (m_boards.empty()) {
            return 0;
        }
        Device& board = m_boards.at(m_current);
        if (board.handle == nullptr) {
            std::string reason;
            if (const auto folder = vboard::StateFolder(reason); !folder.empty()) {
                if (const auto lines = vboard::StateFile::Peek(vboard::StateFileOf(folder, board.serial))) {
                    board.lines = *lines;
                }
            }
        }
        return board.activeLow ? static_cast<std::uint8_t>(~board.lines) : board.lines;
    }

    bool IsOpen() const { return Current().handle != nullptr; }
    std::uint32_t BaudRate() const { return Current().baudRate; }
    std::uint8_t Mask() const { return Current().mask; }
    std::uint8_t Mode() const { return Current().mode; }
    const std::vector<std::uint8_t>& Written() const { return m_written; }
    const std::vector<Call>& Calls() const { return m_calls; }

private:
    // The board this process opened last, or the first; the control
    // functions answer for it.
    const Device& Current() const
    {
        static const Device kNone;
        return m_boards.empty() ? kNone : m_boards.at(m_current);
    }

    FT_STATUS OpenBoard(std::size_t index, FT_HANDLE& handle)
    {
        Device& board = m_boards.at(index);
        if (board.handle != nullptr) {
            return d2xx::FT_DEVICE_NOT_OPENED;  // open already: busy, as the real driver answers
        }
        std::string reason;
        const std::filesystem::path folder = vboard::StateFolder(reason);
        if (folder.empty()) {
            Say(reason);
            return d2xx::FT_IO_ERROR;
        }
        switch (board.file.Hold(vboard::StateFileOf(folder, board.serial), reason)) {
        case vboard::StateFile::Outcome::Busy:
            Say("board " + board.serial + " is in use by another program");
            return d2xx::FT_DEVICE_NOT_OPENED;
        case vboard::StateFile::Outcome::Failed:
            Say(reason);
            return d2xx::FT_IO_ERROR;
        case vboard::StateFile::Outcome::Held:
            break;
        }
        const auto lines = board.file.Read(reason);
        if (!lines.has_value()) {
            board.file.Release();
            Say(reason);
            return d2xx::FT_IO_ERROR;
        }
        m_lastReason.clear();
        board.lines = *lines;
        board.folder = folder;
        // A fresh token each time, so a handle from an earlier open is stale.
        ++m_generation;
        board.handle = reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(0x5000 + 0x10 * m_generation));
        // Opening resets the chip to its serial mode at its default speed;
        // the lines keep their levels.
        board.mode = d2xx::FT_BITMODE_RESET;
        board.mask = 0;
        board.baudRate = 9600;
        m_current = index;
        handle = board.handle;
        return d2xx::FT_OK;
    }

    // Sets a board's lines back to 0, holding its file for the moment it takes.
    void ClearLines(Device& board)
    {
        std::string reason;
        const std::filesystem::path folder = vboard::StateFolder(reason);
        if (folder.empty()) {
            Say(reason);
            return;
        }
        vboard::StateFile file;
        switch (file.Hold(vboard::StateFileOf(folder, board.serial), reason)) {
        case vboard::StateFile::Outcome::Busy:
            Say("board " + board.serial + " is in use by another program; its lines stay as they are");
            return;
        case vboard::StateFile::Outcome::Failed:
            Say(reason);
            return;
        case vboard::StateFile::Outcome::Held:
            break;
        }
        if (!file.Write(0, reason)) {
            Say(reason);
            return;
        }
        board.lines = 0;
    }

    FT_STATUS Injected(Function function) const { return m_faults.at(function); }

    // The indices of the boards plugged in, in order.
    std::vector<std::size_t> PluggedBoards()
    {
        std::string reason;
        const std::vector<std::string> unplugged = Unplugged(vboard::StateFolder(reason));
        std::vector<std::size_t> plugged;
        for (std::size_t i = 0; i < m_boards.size(); ++i) {
            if (!Contains(unplugged, m_boards[i].serial)) {
                plugged.push_back(i);
            }
        }
        return plugged;
    }

    // The board open under this handle. A zero, unknown or closed handle is
    // refused by comparison alone: it is never used as an address. On a
    // board unplugged since it was opened the handle is dead: the call
    // answers FT_IO_ERROR (with the board, so that closing can let it go).
    FT_STATUS Checked(Function function, FT_HANDLE handle, Device*& board)
    {
        if (FT_STATUS injected = Injected(function); injected != d2xx::FT_OK) {
            return injected;
        }
        for (Device& candidate : m_boards) {
            if (handle != nullptr && candidate.handle == handle) {
                board = &candidate;
                if (!candidate.gone && Contains(Unplugged(candidate.folder), candidate.serial)) {
                    candidate.gone = true;
                }
                if (candidate.gone) {
                    Say("board " + candidate.serial + " was unplugged; close it and open it again");
                    return d2xx::FT_IO_ERROR;
                }
                return d2xx::FT_OK;
            }
        }
        return d2xx::FT_INVALID_HANDLE;
    }

    FT_STATUS Record(Function function, FT_STATUS status)
    {
        m_calls.push_back({kFunctions.at(function), status});
        return status;
    }

    // A caller's C string, read no further than `limit` bytes: a longer one
    // names no board.
    static std::string_view BoundedText(const void* text, std::size_t limit)
    {
        const auto* chars = static_cast<const char*>(text);
        std::size_t length = 0;
        while (length < limit && chars[length] != '\0') {  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
            ++length;
        }
        return {chars, length};
    }

    // How the board's lines begin: with its serial number when there are several.
    std::string Speaker(const Device& board) const
    {
        return m_boards.size() > 1 ? "virtual relay board " + board.serial : "virtual relay board";
    }

    // One byte reaching the board; false when its file could not take it.
    bool Put(Device& board, std::uint8_t byte)
    {
        if (board.mode != d2xx::FT_BITMODE_ASYNC_BITBANG || board.mask != 0xFF) {
            if (!m_quiet) {
                std::fprintf(stderr,
                             "%s: 0x%02X sent as serial data, relays unchanged "
                             "(not in asynchronous bit-bang mode on all eight lines)\n",
                             Speaker(board).c_str(), byte);
            }
            return true;
        }
        if (std::string reason; !board.file.Write(byte, reason)) {
            Say(reason);
            return false;
        }
        board.lines = byte;
        m_written.push_back(byte);
        LogWrite(board, byte);
        if (m_quiet) {
            return true;
        }
        std::string line = Speaker(board) + ": ";
        std::array<char, 8> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%02X", byte);
        line += hex.data();
        line += "  on:";
        const auto pulledIn = static_cast<std::uint8_t>(board.activeLow ? ~byte : byte);
        if (pulledIn == 0) {
            line += " none";
        }
        for (int relay = 1; relay <= 8; ++relay) {
            if ((pulledIn & (1U << static_cast<unsigned>(relay - 1))) != 0) {
                line += " " + std::to_string(relay);
            }
        }
        std::fprintf(stderr, "%s\n", line.c_str());
        return true;
    }

    // The byte added to the write log VBOARD_WRITE_LOG names, if any. Each
    // line goes out in one write, so that the lines of processes writing at
    // once do not mix: a few bytes, far less than the stream's buffer, which
    // fclose writes whole to a file opened for appending.
    static void LogWrite(const Device& board, std::uint8_t byte)
    {
        const std::string file = vboard::Environment("VBOARD_WRITE_LOG").value_or("");
        if (file.empty()) {
            return;
        }
        std::array<char, 8> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%02X", byte);
        const std::string line = board.serial + ' ' + hex.data() + '\n';
        if (std::FILE* log = std::fopen(file.c_str(), "ab")) {  // NOLINT(cppcoreguidelines-owning-memory)
            std::fwrite(line.data(), 1, line.size(), log);
            std::fclose(log);
        }
    }

    // A failure's reason on stderr, once: a caller retrying a busy board does
    // not get the same line again and again.
    void Say(const std::string& reason)
    {
        if (reason == m_lastReason) {
            return;
        }
        m_lastReason = reason;
        std::fprintf(stderr, "virtual relay board: %s\n", reason.c_str());
    }

    void ReadEnvironment()
    {
        ReadSerials();
        ReadFaults();
    }

    void ReadSerials()
    {
        m_boards.clear();
        m_current = 0;
        const auto serials = vboard::Environment("VBOARD_SERIALS");
        const std::vector<std::string> ft232h = CommaSeparated(vboard::Environment("VBOARD_FT232H").value_or(""));
        const std::vector<std::string> activeLow =
            CommaSeparated(vboard::Environment("VBOARD_ACTIVE_LOW").value_or(""));
        if (!serials.has_value()) {
            Device& board = m_boards.emplace_back();
            board.serial = kDefaultSerial;
            board.activeLow = Contains(activeLow, kDefaultSerial);
            return;
        }
        for (const std::string& serial : CommaSeparated(*serials)) {
            std::string refusal;
            if (serial.empty()) {
                refusal = "an empty serial number";
            } else if (serial.size() >= d2xx::kSerialNumberSize) {
                refusal = "the serial number \"" + serial + "\" is longer than 15 bytes";
            } else {
                for (const Device& board : m_boards) {
                    if (board.serial == serial) {
                        refusal = "the serial number \"" + serial + "\" is given twice";
                    }
                }
            }
            if (refusal.empty()) {
                Device& board = m_boards.emplace_back();
                board.serial = serial;
                board.ft232h = Contains(ft232h, serial);
                board.activeLow = Contains(activeLow, serial);
            } else {
                std::fprintf(stderr, "virtual relay board: VBOARD_SERIALS: %s; no board poses with it\n",
                             refusal.c_str());
            }
        }
    }

    void ReadFaults()
    {
        if (const auto spec = vboard::Environment("VBOARD_FAIL"); spec.has_value()) {
            for (const std::string& item : CommaSeparated(*spec)) {
                if (item.empty()) {
                    continue;
                }
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
        if (const auto missing = vboard::Environment("VBOARD_SHORT_WRITE"); missing.has_value()) {
            m_missing = static_cast<std::uint32_t>(std::strtoul(missing->c_str(), nullptr, 10));
        }
        if (const auto failing = vboard::Environment("VBOARD_FAIL_WRITE"); failing.has_value() && !failing->empty()) {
            char* end = nullptr;
            const unsigned long long count = std::strtoull(failing->c_str(), &end, 10);
            if (*end != '\0' || count == 0 || count > UINT32_MAX || failing->front() == '-') {
                std::fprintf(stderr, "virtual relay board: VBOARD_FAIL_WRITE is not a count of 1 or more: %s\n",
                             failing->c_str());
            } else {
                m_failingWrite = static_cast<std::uint32_t>(count);
            }
        }
    }

    std::vector<Device> m_boards;
    std::size_t m_current = 0;
    unsigned m_generation = 0;
    std::array<FT_STATUS, kFunctions.size()> m_faults{};
    std::uint32_t m_missing = 0;
    std::uint32_t m_failingWrite = 0;  // the FT_Write call that fails, counted from 1; 0: none
    std::uint32_t m_writeCalls = 0;
    bool m_quiet = false;  // how the board talks, not its state: a reset keeps it
    std::vector<std::uint8_t> m_written;
    std::vector<Call> m_calls;
    std::vector<ListEntry> m_list;  // as the last FT_CreateDeviceInfoList found it
    std::string m_lastReason;       // the failure said last
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

#ifndef VBOARD_OMIT_FT_GetBitMode
VBOARD_EXPORT FT_STATUS FTAPI FT_GetBitMode(FT_HANDLE handle, std::uint8_t* lines)
{
    const std::lock_guard lock(g_mutex);
    return Board().GetBitMode(handle, lines);
}
#endif

#ifndef VBOARD_OMIT_FT_CreateDeviceInfoList
VBOARD_EXPORT FT_STATUS FTAPI FT_CreateDeviceInfoList(std::uint32_t* deviceCount)
{
    const std::lock_guard lock(g_mutex);
    return Board().CreateDeviceInfoList(deviceCount);
}
#endif

#ifndef VBOARD_OMIT_FT_GetDeviceInfoDetail
VBOARD_EXPORT FT_STATUS FTAPI FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                                     std::uint32_t* id, std::uint32_t* locationId, void* serialNumber,
                                                     void* description, FT_HANDLE* handle)
{
    const std::lock_guard lock(g_mutex);
    return Board().GetDeviceInfoDetail(index, flags, type, id, locationId, serialNumber, description, handle);
}
#endif

#ifndef VBOARD_OMIT_FT_OpenEx
VBOARD_EXPORT FT_STATUS FTAPI FT_OpenEx(void* argument, std::uint32_t flags, FT_HANDLE* handle)
{
    const std::lock_guard lock(g_mutex);
    return Board().OpenEx(argument, flags, handle);
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
