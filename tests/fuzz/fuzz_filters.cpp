// The filters text from outside goes through: the id filter (TopicId) keeps
// only its characters and is idempotent; the log's filter (Loggable) gives
// printable ASCII of the promised length, keeps what was printable and is
// idempotent; TextFault agrees with the table of well-formed UTF-8.
#include "mqtt/text.h"
#include "mqtt/topics.h"
#include "properties.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto longest = input.ConsumeIntegralInRange<std::size_t>(0, 100);
    const std::string text = input.ConsumeRemainingBytesAsString();

    const std::string id = TopicId(text);
    Require(std::all_of(id.begin(), id.end(), fuzz::IsIdCharacter), "the id holds only A-Z a-z 0-9 _ -", text);
    Require(TopicId(id) == id, "the id filter is idempotent", text);
    Require(id.size() == static_cast<std::size_t>(std::count_if(text.begin(), text.end(), fuzz::IsIdCharacter)),
            "the id filter keeps every id character", text);

    const std::string shown = Loggable(text, longest);
    const std::size_t kept = std::min(text.size(), longest);
    Require(fuzz::IsPrintableAscii(shown), "the log's filter gives printable ASCII", text);
    Require(shown.size() == kept + (text.size() > longest ? 3 : 0), "the log's filter cuts where told", text);
    for (std::size_t at = 0; at < kept; ++at) {
        Require(shown[at] == (fuzz::IsPrintableAscii(text.substr(at, 1)) ? text[at] : '?'),
                "the log's filter keeps what is printable and shows the rest as '?'", text);
    }
    Require(Loggable(shown, std::string::npos) == shown, "the log's filter is idempotent", text);

    Require(TextFault(text).empty() == fuzz::IsFitText(text), "TextFault agrees with the table of UTF-8", text);
    return 0;
}
