// What the virtual boards keep between processes: per board a small file in
// one folder, holding its eight lines, and a hold on that file that lets one
// process at a time use the board. The system ends a hold with its process,
// as it releases a real device when the program holding it ends.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vboard {

// The value of an environment variable, as the process's environment holds
// it now; nothing when it is not set.
std::optional<std::string> Environment(const char* name);

// The folder of the boards' files: VBOARD_DIR when set, otherwise a folder of
// the user's own, made when missing. Empty, with the reason, when it cannot
// be used.
std::filesystem::path StateFolder(std::string& reason);

// The file of the board with this serial number. Its name spells the
// serial's bytes in hexadecimal, so that no serial (quotes, slashes, "..")
// can name another file.
inline std::filesystem::path StateFileOf(const std::filesystem::path& folder, std::string_view serial)
{
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string name = "board-";
    for (const char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        name += kDigits.at(byte >> 4U);
        name += kDigits.at(byte & 0x0FU);
    }
    return folder / name;
}

// The file's text: the lines as two hexadecimal digits and a newline.
inline std::array<char, 3> FormatLines(std::uint8_t lines)
{
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    return {kDigits.at(lines >> 4U), kDigits.at(lines & 0x0FU), '\n'};
}

// The lines a file's text gives: 0 for an empty file (a board no one has
// written yet), nothing for text that is not two hexadecimal digits.
inline std::optional<std::uint8_t> ParseLines(std::string_view text)
{
    if (text.empty()) {
        return 0;
    }
    if (text.size() < 2 || (text.size() > 2 && text.substr(2) != "\n" && text.substr(2) != "\r\n")) {
        return std::nullopt;
    }
    constexpr std::string_view kDigits = "0123456789ABCDEFabcdef";
    unsigned value = 0;
    for (const char c : text.substr(0, 2)) {
        const std::size_t digit = kDigits.find(c);
        if (digit == std::string_view::npos) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit < 16 ? digit : digit - 6);
    }
    return static_cast<std::uint8_t>(value);
}

// One board's file, held by this process from Hold() to Release() or the
// end of the object.
class StateFile {
public:
    enum class Outcome { Held, Busy, Failed };

    StateFile() = default;
    ~StateFile() { Release(); }
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;
    StateFile(StateFile&& other) noexcept;
    StateFile& operator=(StateFile&& other) noexcept;

    // Takes the file for this process, making it when missing. Busy while
    // another holder has it; Failed, with the reason, when it cannot be used.
    Outcome Hold(const std::filesystem::path& file, std::string& reason);
    bool IsHeld() const;
    void Release();

    // The lines in the held file; nothing, with the reason, when it cannot be
    // read or holds something else.
    std::optional<std::uint8_t> Read(std::string& reason) const;
    // Puts the lines into the held file; false, with the reason, when it fails.
    bool Write(std::uint8_t lines, std::string& reason);

    // Whether another holder has the file at this moment. Looking may hold it
    // for an instant, as a driver's device list opens each device briefly.
    static bool HeldElsewhere(const std::filesystem::path& file);
    // The lines in a file this process does not hold; nothing when the file
    // cannot be read now.
    static std::optional<std::uint8_t> Peek(const std::filesystem::path& file);

private:
#if defined(_WIN32)
    void* m_handle = nullptr;  // the file's HANDLE, opened without sharing
#else
    int m_descriptor = -1;  // open, with an exclusive flock on it
#endif
    std::filesystem::path m_file;
};

}  // namespace vboard
