#include "schema_check.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bridge_test {

namespace {

using Json = nlohmann::json;

// Home Assistant's cv.entity_id: `domain.name`, each part lower-case letters,
// digits and '_', no '_' at either end of a part and none doubled.
bool IsEntityIdPart(const std::string& part)
{
    return !part.empty() && part.front() != '_' && part.back() != '_' && part.find("__") == std::string::npos &&
           std::all_of(part.begin(), part.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

// An MQTT topic name or filter: not empty, no NUL, not longer than MQTT
// allows; a wildcard only in a filter, and there a whole level ('#' the last).
bool IsTopic(const std::string& topic, bool filter)
{
    if (topic.empty() || topic.size() > 65535 || topic.find('\0') != std::string::npos) {
        return false;
    }
    std::istringstream levels(topic);
    std::vector<std::string> parts;
    for (std::string level; std::getline(levels, level, '/');) {
        parts.push_back(level);
    }
    for (std::size_t at = 0; at < parts.size(); ++at) {
        const std::string& level = parts[at];
        if (level.find_first_of("+#") == std::string::npos) {
            continue;
        }
        if (!filter || level.size() != 1 || (level == "#" && at + 1 != parts.size())) {
            return false;
        }
    }
    return true;
}

// One check of a config against the schema, for one component.
class Check {
public:
    Check(const Json& schema, std::string component) : m_schema(schema), m_component(std::move(component)) {}

    std::vector<std::string> faults;

    void Section(const std::string& name, const Json& value, const std::string& where)
    {
        if (!value.is_object()) {
            faults.push_back(where + ": not a map");
            return;
        }
        // The section's own keys, those of the sections it extends, and the
        // rules of each.
        std::vector<const Json*> chain;
        for (const Json* section = &m_schema.at(name);;) {
            chain.push_back(section);
            if (!section->contains("extends")) {
                break;
            }
            section = &m_schema.at(section->at("extends").get<std::string>());
        }
        for (const auto& [key, item] : value.items()) {
            const Json* spec = nullptr;
            std::string deprecated;
            for (const Json* section : chain) {
                if (section->contains("keys") && section->at("keys").contains(key)) {
                    spec = spec != nullptr ? spec : &section->at("keys").at(key);
                }
                if (section->contains("deprecated") && section->at("deprecated").contains(key)) {
                    deprecated = section->at("deprecated").at(key).get<std::string>();
                }
            }
            const std::string at = where + key;
            if (!deprecated.empty()) {
                faults.push_back(at + ": deprecated, ");
                faults.back() += deprecated;
            } else if (spec == nullptr) {
                faults.push_back(at + ": unknown key");
            } else {
                Value(*spec, item, at);
                // A component may narrow the values a shared key takes.
                for (const Json* section : chain) {
                    if (section->contains("values") && section->at("values").contains(key) &&
                        !Among(section->at("values").at(key), item)) {
                        faults.push_back(at + ": " + item.dump() + " is not allowed here");
                    }
                }
            }
        }
        for (const Json* section : chain) {
            for (const Json& key : section->value("required", Json::array())) {
                if (!value.contains(key.get<std::string>())) {
                    faults.push_back(where + key.get<std::string>() + ": required, missing");
                }
            }
            for (const Json& pair : section->value("exclusive", Json::array())) {
                if (value.contains(pair.at(0).get<std::string>()) && value.contains(pair.at(1).get<std::string>())) {
                    faults.push_back(where + pair.at(0).get<std::string>() + " and " + pair.at(1).get<std::string>() +
                                     ": not both");
                }
            }
            const Json needs = section->value("requires", Json::object());
            for (const auto& [key, needed] : needs.items()) {
                if (value.contains(key) && !value.contains(needed.get<std::string>())) {
                    faults.push_back(where + key + ": needs " + needed.get<std::string>());
                }
            }
            if (section->contains("one_of")) {
                const Json& keys = section->at("one_of");
                if (std::none_of(keys.begin(), keys.end(), [&](const Json& key) {
                        const std::string wanted = key.get<std::string>();
                        return value.contains(wanted) && !value.at(wanted).empty();
                    })) {
                    faults.push_back(where + ": needs one of " + keys.dump());
                }
            }
        }
    }

private:
    static bool Among(const Json& values, const Json& value)
    {
        return std::find(values.begin(), values.end(), value) != values.end();
    }

    void Value(const Json& spec, const Json& value, const std::string& where)
    {
        if (spec.is_string()) {
            Value(Json{{"type", spec}}, value, where);
            return;
        }
        if (spec.contains("section")) {
            Section(spec.at("section").get<std::string>(), value, where + ".");
            return;
        }
        const std::string type = spec.at("type").get<std::string>();
        bool good = true;
        if (type == "list") {
            const bool single = spec.value("single", false) && !value.is_array();
            const Json items = single ? Json::array({value}) : value;
            good =
                items.is_array() && (!spec.contains("length") || items.size() == spec.at("length").get<std::size_t>());
            if (good) {
                for (std::size_t at = 0; at < items.size(); ++at) {
                    Value(spec.at("items"), items[at], where + "[" + std::to_string(at) + "]");
                }
            }
        } else if (type == "map") {
            good = value.is_object();
        } else if (type == "boolean") {
            good = value.is_boolean();
        } else if (type == "integer") {
            good = value.is_number_integer();
        } else if (type == "string" || type == "template" || type == "icon" || type == "url") {
            good = value.is_string();
        } else if (type == "publish_topic" || type == "subscribe_topic") {
            good = value.is_string() && IsTopic(value.get<std::string>(), type == "subscribe_topic");
        } else if (type == "entity_id") {
            const std::string id = value.is_string() ? value.get<std::string>() : std::string();
            const std::size_t dot = id.find('.');
            good = dot != std::string::npos && id.substr(0, dot) == m_component && IsEntityIdPart(id.substr(0, dot)) &&
                   IsEntityIdPart(id.substr(dot + 1));
        } else {
            throw std::runtime_error("the schema names an unknown type " + type);
        }
        if (!good) {
            faults.push_back(where + ": " + value.dump() + " is not of type " + type +
                             (type == "entity_id" ? " in the domain " + m_component : std::string()));
        } else if (spec.contains("values") && !Among(spec.at("values"), value)) {
            faults.push_back(where + ": " + value.dump() + " is not one of " + spec.at("values").dump());
        }
    }

    const Json& m_schema;
    std::string m_component;
};

}  // namespace

DiscoverySchema::DiscoverySchema(const std::filesystem::path& file)
{
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    m_schema = Json::parse(in, nullptr, true, true);
}

std::vector<std::string> DiscoverySchema::Faults(const std::string& component, const Json& config) const
{
    if (!m_schema.contains(component) || !m_schema.at(component).contains("extends")) {
        return {"no schema for the component " + component};
    }
    Check check(m_schema, component);
    check.Section(component, config, "");
    return check.faults;
}

}  // namespace bridge_test
