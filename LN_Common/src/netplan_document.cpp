// The netplan YAML document of the managed interface, in memory.
//
// The interface map is "network" -> "ethernets" -> the interface name. An
// update owns, in that map, the IPv4 entries of "addresses", the default
// routes of "routes", "gateway4", "dhcp4" and "nameservers"; every other key
// and entry, and everything outside the map, is written back as loaded.
// yaml-cpp keeps the keys of a mapping in insertion order, so a kept key
// keeps its place and a new one goes to the end. The parser refuses nesting
// deeper than its depth guard allows.
#include "netplan_document.h"

#include <sstream>

#include <yaml-cpp/yaml.h>

#include "ipv4_text.h"

namespace {

// Text of an address entry: a scalar's own text, or for netplan's
// address-with-options form (a one-key mapping) the key. False for any other
// form.
bool get_Entry_Text(const YAML::Node& entry, std::string* text) {
    if (entry.IsScalar()) {
        *text = entry.as<std::string>();
        return true;
    }
    if (entry.IsMap() && entry.size() == 1 && entry.begin()->first.IsScalar()) {
        *text = entry.begin()->first.as<std::string>();
        return true;
    }
    if (entry.IsNull()) {
        *text = "null";
        return true;
    }
    return false;
}

// Puts the entries that were kept back under `key` of the interface map, or
// drops the key when none is left.
void set_List(YAML::Node interface, const char* key, const YAML::Node& kept) {
    if (kept.size() == 0)
        interface.remove(key);
    else
        interface[key] = kept;
}

// Whether the mapping `node` holds `key` more than once (YAML forbids it, the
// parser lets it pass; an edit would reach only the first).
bool is_Key_Twice(const YAML::Node& node, const std::string& key) {
    if (!node.IsMap())
        return false;
    int count = 0;
    for (const auto& entry : node) {
        if (entry.first.IsScalar() && entry.first.Scalar() == key)
            count++;
    }
    return count > 1;
}

// The first key on the update's path that appears twice in its mapping, or
// null when there is none.
const char* get_Duplicate_Key(YAML::Node document, const std::string& interface) {
    static const char* const owned[] = {"addresses", "routes", "gateway4", "dhcp4", "nameservers"};
    if (is_Key_Twice(document, "network"))
        return "network";
    if (is_Key_Twice(document["network"], "ethernets"))
        return "ethernets";
    if (is_Key_Twice(document["network"]["ethernets"], interface))
        return "the interface";
    YAML::Node map = document["network"]["ethernets"][interface];
    for (const char* key : owned) {
        if (is_Key_Twice(map, key))
            return key;
    }
    return is_Key_Twice(map["nameservers"], "addresses") ? "addresses" : nullptr;
}

// Keeps the non-IPv4 entries of "addresses". False (with `why`) for a form
// netplan does not use.
bool keep_Other_Addresses(YAML::Node interface, std::string* why) {
    YAML::Node kept(YAML::NodeType::Sequence);
    YAML::Node old = interface["addresses"];
    if (old.IsMap()) {
        *why = "\"addresses\" is a mapping";
        return false;
    }
    if (old.IsSequence()) {
        for (const YAML::Node& entry : old) {
            std::string text;
            if (!get_Entry_Text(entry, &text)) {
                *why = "unexpected entry in \"addresses\"";
                return false;
            }
            if (!Netplan_Document::is_IPv4_Entry(text))
                kept.push_back(entry);
        }
    }
    set_List(interface, "addresses", kept);
    return true;
}

// An IPv4 default route: to "default" (or its IPv4 form 0.0.0.0/0), not via
// an IPv6 gateway. (Nodes are taken by value: a missing key of a non-const
// node reads as undefined instead of throwing.)
bool is_IPv4_Default_Route(YAML::Node route) {
    if (!route.IsMap() || !route["to"].IsScalar())
        return false;
    const std::string to = route["to"].as<std::string>();
    if (to != "default" && to != "0.0.0.0/0")
        return false;
    YAML::Node via = route["via"];
    return !via.IsScalar() || via.as<std::string>().find(':') == std::string::npos;
}

// Keeps the routes that are not IPv4 default routes. False (with `why`) for a
// form netplan does not use.
bool keep_Other_Routes(YAML::Node interface, std::string* why) {
    YAML::Node kept(YAML::NodeType::Sequence);
    YAML::Node old = interface["routes"];
    if (old.IsMap()) {
        *why = "\"routes\" is a mapping";
        return false;
    }
    if (old.IsSequence()) {
        for (YAML::Node route : old) {
            if (!route.IsMap() || !route["to"].IsScalar()) {
                *why = "route without a \"to\" text";
                return false;
            }
            if (!is_IPv4_Default_Route(route))
                kept.push_back(route);
        }
    }
    set_List(interface, "routes", kept);
    return true;
}

void add_Static_Settings(YAML::Node interface, const Network::Config& config, unsigned int prefix) {
    interface["addresses"].push_back(config.ip4_address + "/" + std::to_string(prefix));
    // An empty gateway is a setting not made: netplan refuses an empty "via".
    if (!config.ip4_gateway.empty()) {
        YAML::Node gateway;
        gateway["to"] = "default";
        gateway["via"] = config.ip4_gateway;
        interface["routes"].push_back(gateway);
    }
}

// The server list is rebuilt; other name-server settings (search domains)
// stay where they are.
void set_Name_Servers(YAML::Node interface, const Network::Config& config) {
    YAML::Node settings = interface["nameservers"];
    if (settings.IsMap())
        settings.remove("addresses");
    if (!settings.IsMap() || settings.size() == 0)
        interface.remove("nameservers");
    for (const std::string* dns : {&config.dns1, &config.dns2}) {
        if (!dns->empty() && *dns != "0.0.0.0")
            interface["nameservers"]["addresses"].push_back(*dns);
    }
}

std::string emit(const YAML::Node& document) {
    std::ostringstream stream;
    stream << document << '\n';
    return stream.str();
}

// Whether the emitted `text` loads as exactly what was emitted (written out
// again it is the same text) and holds the interface map of `interface`.
bool reads_Back(const std::string& text, const std::string& interface) {
    try {
        const YAML::Node again = YAML::Load(text);
        return emit(again) == text && again["network"]["ethernets"][interface].IsMap();
    } catch (const std::exception&) {
        return false;
    }
}

// The first IPv4 address entry of the interface map, if any.
bool get_IPv4_Entry(YAML::Node interface, std::string* entry) {
    YAML::Node addresses = interface["addresses"];
    if (!addresses.IsSequence())
        return false;
    for (const YAML::Node& node : addresses) {
        std::string text;
        if (get_Entry_Text(node, &text) && Netplan_Document::is_IPv4_Entry(text)) {
            *entry = text;
            return true;
        }
    }
    return false;
}

// The gateway of the interface: "gateway4", else the "via" of its first IPv4
// default route, the form netplan documents today.
bool get_Gateway(YAML::Node interface, std::string* gateway) {
    YAML::Node gateway4 = interface["gateway4"];
    if (gateway4.IsScalar()) {
        *gateway = gateway4.as<std::string>();
        return true;
    }
    YAML::Node routes = interface["routes"];
    if (!routes.IsSequence())
        return false;
    for (YAML::Node route : routes) {
        if (!is_IPv4_Default_Route(route) || !route["via"].IsScalar())
            continue;
        std::string via = route["via"].as<std::string>();
        uint32_t address = 0;
        if (parse_Dotted_Quad(via.c_str(), &address)) {
            *gateway = via;
            return true;
        }
    }
    return false;
}

bool get_Name_Server(YAML::Node interface, size_t index, std::string* server) {
    YAML::Node servers = interface["nameservers"]["addresses"];
    if (!servers.IsSequence() || servers.size() <= index)
        return false;
    YAML::Node entry = servers[index];
    if (!entry.IsScalar() || entry.as<std::string>().empty())
        return false;
    *server = entry.as<std::string>();
    return true;
}

// The value of `type` from a loaded interface map.
void read_Value(YAML::Node interface, Network::CONFIG_TYPE type, const Network::Config& fallback,
                std::string* value, bool* found) {
    std::string entry;
    unsigned int prefix = 0;
    *found = true;
    switch (type) {
    case Network::MODE: {
        YAML::Node dhcp4 = interface["dhcp4"];
        *value = std::string(1, (dhcp4.IsScalar() && dhcp4.as<bool>()) ? 0 : 1);
        return;
    }
    case Network::IP_ADDRESS:
        *value = get_IPv4_Entry(interface, &entry) ? entry.substr(0, entry.find('/'))
                                                   : fallback.ip4_address;
        return;
    case Network::SUBNETMASK: {
        size_t slash = std::string::npos;
        if (get_IPv4_Entry(interface, &entry))
            slash = entry.find('/');
        bool have_prefix = slash != std::string::npos &&
                           parse_Prefix_Length(entry.c_str() + slash + 1, true, &prefix);
        *value = have_prefix ? get_Prefix_Netmask(prefix) : fallback.ip4_subnetmask;
        return;
    }
    case Network::GATEWAY:
        if (!get_Gateway(interface, value))
            *value = fallback.ip4_gateway;
        return;
    case Network::DNS1:
    case Network::DNS2:
        *found = get_Name_Server(interface, type == Network::DNS1 ? 0 : 1, value);
        return;
    }
    *found = false;
}

} // namespace

std::string Netplan_Document::get_Default(const std::string& interface) {
    YAML::Node document;
    YAML::Node interface_map = document["network"]["ethernets"][interface];
    interface_map["dhcp4"] = true;
    interface_map["nameservers"]["addresses"].push_back("1.1.1.1");
    interface_map["nameservers"]["addresses"].push_back("8.8.8.8");
    return emit(document);
}

Netplan_Document::RESULT Netplan_Document::update(const std::string& text,
                                                  const Network::Config& config,
                                                  unsigned int prefix, std::string* document,
                                                  std::string* why) {
    YAML::Node raw_config;
    YAML::Node interface;
    try {
        raw_config = YAML::Load(text);
        // The lookups create each missing level: an empty document receives
        // the whole tree.
        interface = raw_config["network"]["ethernets"][config.target_interface];
    } catch (const std::exception&) {
        return LOAD_ERROR;
    }
    try {
        if (const char* key = get_Duplicate_Key(raw_config, config.target_interface)) {
            *why = std::string("\"") + key + "\" appears twice";
            return FORMAT_ERROR;
        }
        if (!keep_Other_Addresses(interface, why))
            return FORMAT_ERROR;
        interface.remove("gateway4");
        if (!keep_Other_Routes(interface, why))
            return FORMAT_ERROR;
        interface["dhcp4"] = config.ip4_dhcp;
        if (!config.ip4_dhcp)
            add_Static_Settings(interface, config, prefix);
        set_Name_Servers(interface, config);
        std::string emitted = emit(raw_config);
        // What is written must load again as itself: the emitter passes odd
        // bytes of the loaded text through (a byte-order mark that moves to
        // the start of the document, a carriage return at the end of a plain
        // value, which the next load drops).
        if (!reads_Back(emitted, config.target_interface)) {
            *why = "the new document would not read back";
            return FORMAT_ERROR;
        }
        *document = emitted;
    } catch (const std::exception& e) {
        *why = e.what();
        return FORMAT_ERROR;
    }
    return OK;
}

Netplan_Document::RESULT Netplan_Document::read(const std::string& text,
                                                const std::string& interface,
                                                Network::CONFIG_TYPE type,
                                                const Network::Config& fallback, std::string* value,
                                                bool* found, std::string* why) {
    YAML::Node raw_config;
    YAML::Node interface_map;
    try {
        raw_config = YAML::Load(text);
        interface_map = raw_config["network"]["ethernets"][interface];
    } catch (const std::exception&) {
        return LOAD_ERROR;
    }
    if (!interface_map.IsDefined())
        return NO_INTERFACE;
    try {
        read_Value(interface_map, type, fallback, value, found);
    } catch (const std::exception& e) {
        *why = e.what();
        return FORMAT_ERROR;
    }
    return OK;
}

bool Netplan_Document::is_IPv4_Entry(const std::string& text) {
    // The expression's four octets with their dots and an optional "/" span
    // at most 17 characters; ".*" matches any rest without a line break. So
    // the first 18 characters (the 18th for the word boundary) decide, and a
    // long entry never makes the matcher recurse deeply.
    if (text.find_first_of("\r\n") != std::string::npos)
        return false;
    return std::regex_match(text.substr(0, 18), Network::ipv4_regex);
}
