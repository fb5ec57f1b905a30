// What the fuzz targets hold the bridge's input checks to, written apart
// from the code under test: UTF-8 judged by the table of well-formed byte
// sequences of the Unicode standard (table 3-7) rather than by decoding, and
// a broken property reported with the text that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// Ends the run as a crash, which libFuzzer keeps as an artifact.
inline void Require(bool holds, std::string_view property, std::string_view text = {})
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %.*s\n", static_cast<int>(property.size()), property.data());
        for (const char c : text) {
            std::fprintf(stderr, "%02x ", static_cast<unsigned>(static_cast<unsigned char>(c)));
        }
        std::fprintf(stderr, "\n");
        std::abort();
    }
}

// The length of the well-formed UTF-8 sequence at the start of `text`, 0
// when there is none, by the byte ranges of table 3-7.
inline std::size_t SequenceLength(std::string_view text)
{
    struct Row {
        unsigned char first[2];
        unsigned char second[2];
        std::size_t length;
    };
    // Every lead byte's range, and the range its second byte must be in;
    // the third and fourth bytes are 80..BF throughout.
    static constexpr Row kRows[] = {
        {{0x00, 0x7F}, {0, 0}, 1},       {{0xC2, 0xDF}, {0x80, 0xBF}, 2}, {{0xE0, 0xE0}, {0xA0, 0xBF}, 3},
        {{0xE1, 0xEC}, {0x80, 0xBF}, 3}, {{0xED, 0xED}, {0x80, 0x9F}, 3}, {{0xEE, 0xEF}, {0x80, 0xBF}, 3},
        {{0xF0, 0xF0}, {0x90, 0xBF}, 4}, {{0xF1, 0xF3}, {0x80, 0xBF}, 4}, {{0xF4, 0xF4}, {0x80, 0x8F}, 4},
    };
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    for (const Row& row : kRows) {
        if (byte(0) < row.first[0] || byte(0) > row.first[1]) {
            continue;
        }
        if (text.size() < row.length) {
            return 0;
        }
        if (row.length > 1 && (byte(1) < row.second[0] || byte(1) > row.second[1])) {
            return 0;
        }
        for (std::size_t at = 2; at < row.length; ++at) {
            if (byte(at) < 0x80 || byte(at) > 0xBF) {
                return 0;
            }
        }
        return row.length;
    }
    return 0;
}

// Whether `text` is UTF-8 without NUL, C0 controls, DEL, C1 controls
// (C2 80..C2 9F) or noncharacters (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF).
inline bool IsFitText(std::string_view text)
{
    while (!text.empty()) {
        const std::size_t length = SequenceLength(text);
        if (length == 0) {
            return false;
        }
        const std::string_view sequence = text.substr(0, length);
        const auto lead = static_cast<unsigned char>(sequence[0]);
        if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
            return false;
        }
        if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(sequence[1]) <= 0x9F) {
            return false;
        }
        // U+FDD0..U+FDEF: EF B7 90..AF.
        if (sequence.size() == 3 && sequence.substr(0, 2) == "\xEF\xB7" &&
            static_cast<unsigned char>(sequence[2]) >= 0x90 && static_cast<unsigned char>(sequence[2]) <= 0xAF) {
            return false;
        }
        // The last two code points of a plane end in BF BE or BF BF, with
        // every bit of the plane's low 16 set above them: EF BF BE/BF, or
        // xx [8-B]F BF BE/BF for the planes above.
        const bool lastTwo = length >= 3 && sequence.substr(length - 2, 1) == "\xBF" &&
                             (static_cast<unsigned char>(sequence[length - 1]) & 0xFEU) == 0xBEU;
        if (lastTwo && (length == 3 ? lead == 0xEF : (static_cast<unsigned char>(sequence[1]) & 0x0FU) == 0x0FU)) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

inline bool IsPrintableAscii(std::string_view text)
{
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// The characters the id filter keeps.
inline bool IsIdCharacter(char c)
{
    return std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-").find(c) !=
           std::string_view::npos;
}

}  // namespace fuzz
