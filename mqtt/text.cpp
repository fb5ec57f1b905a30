#include "text.h"

#include "control/utf8.h"

#include <algorithm>

namespace {

bool IsNoncharacter(char32_t code)
{
    return (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFEU) == 0xFFFEU;
}

}  // namespace

std::string TextFault(std::string_view text)
{
    while (!text.empty()) {
        const Utf8Character decoded = DecodeUtf8(text);
        if (decoded.length == 0) {
            return "is not valid UTF-8";
        }
        if (decoded.code == 0) {
            return "holds a NUL byte";
        }
        if (IsControlCharacter(decoded.code)) {
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
