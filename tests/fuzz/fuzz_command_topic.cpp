// The command topic parser under any prefix: what it takes names a board id
// the id filter keeps whole and a relay from 1 to 8, and is exactly the
// command topic the bridge builds for them; every command topic it builds
// is taken back; a refusal is fit for the log.
#include "mqtt/config.h"
#include "mqtt/topics.h"
#include "properties.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Config config;
    config.topicPrefix = input.ConsumeRandomLengthString(64);
    const std::string serial = input.ConsumeRandomLengthString(32);
    const int relay = input.ConsumeIntegralInRange(1, 8);
    const std::string topic = input.ConsumeRemainingBytesAsString();
    const Topics topics(config);

    const CommandTarget target = ParseCommandTopic(topic, config.topicPrefix);
    if (target.fault.empty()) {
        Require(!target.id.empty() && TopicId(target.id) == target.id, "the id passes the id filter whole", topic);
        Require(target.relay >= 1 && target.relay <= 8, "the relay is 1 to 8", topic);
        Require(topics.Command(target.id, target.relay) == topic, "the topic is the one built for id and relay", topic);
    } else {
        Require(fuzz::IsPrintableAscii(target.fault), "a refusal is printable ASCII", topic);
    }

    const std::string id = TopicId(serial);
    if (!id.empty()) {
        const CommandTarget built = ParseCommandTopic(topics.Command(id, relay), config.topicPrefix);
        Require(built.fault.empty() && built.id == id && built.relay == relay,
                "a command topic the bridge builds is taken back", serial);
    }
    return 0;
}
