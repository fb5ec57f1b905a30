#include "text.h"

#include "control/utf8.h"

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
