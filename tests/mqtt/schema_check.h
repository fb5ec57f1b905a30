// A discovery config checked against Home Assistant's MQTT schema as
// tests/mqtt/home_assistant_schema.json writes it down: every key known,
// every value of its type and among the allowed ones, the required keys there,
// no deprecated key.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace bridge_test {

class DiscoverySchema {
public:
    explicit DiscoverySchema(const std::filesystem::path& file);

    // What is wrong with `config`, the payload of a config message for
    // `component` (switch, binary_sensor, ...): one line each, none when it
    // passes.
    std::vector<std::string> Faults(const std::string& component, const nlohmann::json& config) const;

private:
    nlohmann::json m_schema;
};

}  // namespace bridge_test
