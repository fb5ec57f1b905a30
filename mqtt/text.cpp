#include "text.h"

#include <algorithm>
#include <array>

namespace {

// The code point of the UTF-8 sequence at the start of `text` and its length
// in bytes; a length of 0 when the bytes there are no well-formed sequence.
struct Decoded {
    char32_t code = 0;
    std::size_t length = 0;
};

Decoded Decode(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80U) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t code = 0;
    if ((lead & 0xE0U) == 0xC0U) {
        length = 2;
        code = lead & 0x1FU;
    } else if ((lead & 0xF0U) == 0xE0U) {
        length = 3;
        code = lead & 0x0FU;
    } else if ((lead & 0xF8U) == 0xF0U) {
        length = 4;
        code = lead & 0x07U;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t at = 1; at < length; ++at) {
        const auto next = static_cast<unsigned char>(text[at]);
        if ((next & 0xC0U) != 0x80U) {
            return {};
        }
        code = (code << 6U) | (next & 0x3FU);
    }
    // The shortest code point each length may carry: anything below is an
    // overlong form.
    constexpr std::array<char32_t, 5> kShortest = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    return {code, length};
}

bool IsControl(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

bool IsNoncharacter(char32_t code)
{
    return (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFEU) == 0xFFFEU;
}

}  // namespace

std::string TextFault(std::string_view text)
{
    while (!text.empty()) {
        const Decoded decoded = Decode(text);
        if (decoded.length == 0) {
            return "is not valid UTF-8";
        }
        if (decoded.code == 0) {
            return "holds a NUL byte";
        }
        if (IsControl(decoded.code)) {
            return "holds a control character";
        }
        if (IsNoncharacter(decoded.code)) {
            return "holds a Unicode noncharacter";
        }
        text.remove_prefix(decoded.length);
    }
    return {};
}

std::string Loggable(std::string_view text, std::size_t longest)
{
    std::string shown(text.substr(0, longest));
    std::replace_if(
        shown.begin(), shown.end(),
        [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte >= 0x7F;
        },
        '?');
    if (text.size() > longest) {
        shown += "...";
    }
    return shown;
}
