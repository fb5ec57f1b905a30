#include "utf8.h"

#include <algorithm>
#include <array>

Utf8Character DecodeUtf8(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
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
    if (text.size() - at < length) {
        return {};
    }
    for (std::size_t next = at + 1; next < at + length; ++next) {
        const auto byte = static_cast<unsigned char>(text[next]);
        if ((byte & 0xC0U) != 0x80U) {
            return {};
        }
        code = (code << 6U) | (byte & 0x3FU);
    }
    // The smallest code point each length may carry: anything below is an
    // overlong form.
    constexpr std::array<char32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest.at(length) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    return {code, length};
}

bool IsWellFormedUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Character character = DecodeUtf8(text, at);
        if (character.length == 0) {
            return false;
        }
        at += character.length;
    }
    return true;
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
