// The netplan YAML document of the managed interface, built, edited and read
// in memory: Network's netplan backend reads the file into a text, hands it
// here and writes back what comes out. Keeping the document work free of file
// and command calls lets it be tested, and fuzzed, on its own.
#pragma once

#include <cstdint>
#include <string>

#include "network.h"

class Netplan_Document {
public:
    Netplan_Document() = delete;

    enum RESULT : uint8_t {
        OK = 0,
        LOAD_ERROR = 1,   // not YAML, or "network" or "ethernets" is not a mapping
        NO_INTERFACE = 2, // (read) the interface map is not in the document
        FORMAT_ERROR = 3, // content of a form netplan does not use; `why` says which
    };

    // The default document: DHCP and the name servers 1.1.1.1 and 8.8.8.8.
    static std::string get_Default(const std::string& interface);

    // Applies `config` to the interface map of `text`: the IPv4 addresses and
    // IPv4 default routes are replaced (in static mode by `config.ip4_address`
    // with `prefix` and a default route via `config.ip4_gateway` when it is
    // set), "gateway4" is removed, "dhcp4" set and the name-server list
    // rebuilt; everything else stays as it was. The caller has checked that a static
    // address and prefix are usable. `*document` receives the new text.
    static RESULT update(const std::string& text, const Network::Config& config,
                         unsigned int prefix, std::string* document, std::string* why);

    // One setting of `interface` from `text`. MODE: `*value` is one byte, 0
    // DHCP, 1 static. Others: the text, or from `fallback` (the live state)
    // where the document holds none; `*found` false when there is no value at
    // all (no name server).
    static RESULT read(const std::string& text, const std::string& interface,
                       Network::CONFIG_TYPE type, const Network::Config& fallback,
                       std::string* value, bool* found, std::string* why);

    // Whether a netplan address entry is an IPv4 one: four octets, then
    // optionally "/" and anything (a prefix length). Only the first 18
    // characters can decide a match, so only they reach the expression.
    static bool is_IPv4_Entry(const std::string& text);
};
