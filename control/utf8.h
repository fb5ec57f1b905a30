// UTF-8 as the boards file, MQTT topics and payloads, and the log all judge
// it: one decoder for every text that comes from outside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The character that starts at byte `at` of `text`: its code point and its
// length in bytes, or a length of 0 when the bytes there are no well-formed
// UTF-8 character (cut short, a stray continuation byte, an overlong form, a
// surrogate, above U+10FFFF).
struct Utf8Character {
    char32_t code = 0;
    std::size_t length = 0;
};
Utf8Character DecodeUtf8(std::string_view text, std::size_t at = 0);

// Whether every character of the text is well-formed UTF-8.
bool IsWellFormedUtf8(std::string_view text);

// Text from outside made fit for one line of a log or a message: control
// characters and bytes outside ASCII shown as '?', cut at `longest` bytes
// and then marked with "...".
std::string Loggable(std::string_view text, std::size_t longest = 80);

// C0 controls, DEL and C1 controls (U+0080 to U+009F): what moves a
// terminal's cursor or changes its colours rather than showing a character.
constexpr bool IsControlCharacter(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}
