// A reference model of the relay panel driving the virtual relay board,
// written from what the operator and the board see and sharing no code with
// RelayPanel. The model test runs both side by side and compares them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace model {

enum class Function { Open, SetBaudRate, SetBitMode, Write, Close };
inline constexpr std::array<const char*, 5> kFunctionNames = {"FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write",
                                                              "FT_Close"};

inline const char* NameOf(Function function)
{
    return kFunctionNames.at(static_cast<std::size_t>(function));
}

struct Call {
    Function function;
    std::uint32_t status;
    friend bool operator==(const Call&, const Call&) = default;
};

// A handle is a token: the n-th successful open of a run hands out token n,
// and 0 stands for no handle. The test binds each token to the real value.
using Token = int;

// The virtual board as its caller sees it: one FT232R at index 0, refusing a
// second open, any handle but the current one, and injected faults first.
struct Board {
    // The board's own refusals, as the D2XX programmer's guide numbers them.
    static constexpr std::uint32_t kInvalidHandle = 1;
    static constexpr std::uint32_t kBusy = 3;

    bool open = false;
    Token handle = 0;
    Token opened = 0;  // tokens handed out so far
    std::uint32_t baudRate = 9600;
    std::uint8_t mask = 0;
    std::uint8_t mode = 0;
    std::uint8_t relays = 0;
    std::array<std::uint32_t, 5> faults{};
    std::uint32_t missing = 0;          // bytes a write reports short by
    std::vector<std::uint8_t> written;  // bytes that reached the relays
    std::vector<Call> calls;

    std::uint32_t Open(Token& out);
    std::uint32_t SetBaudRate(Token with, std::uint32_t baud);
    std::uint32_t SetBitMode(Token with, std::uint8_t newMask, std::uint8_t newMode);
    std::uint32_t Write(Token with, std::uint8_t byte, std::uint32_t& bytesWritten);
    std::uint32_t Close(Token with);

private:
    std::uint32_t Refusal(Function function, Token with) const;
    std::uint32_t Record(Function function, std::uint32_t status);
};

// One status line; the handle line carries the token whose value it shows.
struct Line {
    std::string text;
    std::optional<Token> handle;
};

// The panel: eight two-state boxes, the relay byte (set and cleared bit by
// bit, never out of range), the handle, the last frame, what the window shows
// and whether the program has ended.
struct Panel {
    std::array<bool, 8> boxes{};
    std::uint8_t relayByte = 0;
    Token devHandle = 0;
    std::optional<std::uint8_t> outFrame;
    std::vector<Line> lines;
    std::vector<std::string> failureBoxes;
    bool ended = false;
    Board board;
    // Off only to check that the model test notices a wrong model.
    bool noticesShortWrites = true;

    // The operator clicks box n: it flips, then its relay's bit follows it.
    void Click(int relay);
    void InitInterface();
    void SendState();
    void ReleaseAll();
    void CloseDevice();

private:
    void Toggle(int relay);
    void Write(std::uint8_t byte);
    void Fail(const char* text);
    void Print(std::string text) { lines.push_back({std::move(text), std::nullopt}); }
};

}  // namespace model
