// Where the bridge's messages go, and what it asks the broker for: the
// broker, through the MQTT client.
#pragma once

#include <string>
#include <string_view>

class Publisher {
public:
    Publisher() = default;
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;
    Publisher(Publisher&&) = delete;
    Publisher& operator=(Publisher&&) = delete;
    virtual ~Publisher() = default;

    // Sends the message when connected; a message the broker cannot get now
    // is dropped, since everything is published again on the next connection.
    virtual void Publish(const std::string& topic, std::string_view payload, bool retain) = 0;
    // Subscribes when connected; otherwise the next connection subscribes
    // again to everything it needs.
    virtual void Subscribe(const std::string& filter) = 0;
};
