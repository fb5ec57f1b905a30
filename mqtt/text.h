// Text that came from outside the bridge (its config, the broker, the
// driver): whether it is fit to become an MQTT string, and how it is shown
// in the log and on stderr.
#pragma once

// Loggable: how such text is shown, as relayctl shows it too.
#include "control/utf8.h"

#include <cstddef>
#include <string>
#include <string_view>

// Why `text` is no MQTT string the bridge sends: "holds a NUL byte", "is not
// valid UTF-8" (overlong forms, surrogates and code points above U+10FFFF
// included), "holds a control character" (U+0001 to U+001F, DEL and U+0080
// to U+009F) or "holds a Unicode noncharacter" (U+FDD0 to U+FDEF and the
// last two code points of every plane); empty when it is fit.
std::string TextFault(std::string_view text);
