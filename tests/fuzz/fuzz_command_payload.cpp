// The command payload parser: only ON and OFF switch, and they switch the
// way they say; anything else is refused with a reason fit for the log.
#include "mqtt/topics.h"
#include "properties.h"

#include <cstdint>
#include <string_view>

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const CommandPayload command = ParseCommandPayload(payload);
    if (command.fault.empty()) {
        Require(payload == "ON" || payload == "OFF", "only ON and OFF switch", payload);
        Require(command.on == (payload == "ON"), "ON switches on and OFF off", payload);
    } else {
        Require(payload != "ON" && payload != "OFF", "ON and OFF are never refused", payload);
        Require(fuzz::IsPrintableAscii(command.fault), "a refusal is printable ASCII", payload);
        // The payload quoted at most 80 characters and "...".
        Require(command.fault.size() <= 120, "a refusal is one short line", payload);
    }
    return 0;
}
