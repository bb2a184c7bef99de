// Model-based tests of Network, one per network manager: seeded random
// sequences of BMC requests (valid, odd and hostile values, in any order,
// with applies at random points) on rich starting files. After every apply
// (netplan, NetworkManager) or edit (ifupdown) the real tool must accept the
// result, everything the BMC did not address must be as it was, and the
// default route must be the file's own until the BMC sets another gateway.
//
//   PEC_MODEL_SECONDS  time spent per manager (default 10; CI gives more)
//   PEC_MODEL_SEED     seed of the first sequence (default: from the clock)
// A failure names the seed of its sequence: PEC_MODEL_SEED=<seed>
// PEC_MODEL_SECONDS=0 replays exactly that sequence.
#include "network_host.h"
#include "testkit/call_record.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>

#include <yaml-cpp/yaml.h>

namespace {

// ---- Requests and the model of what the daemon should hold -------------------------

struct Request {
    int type; // a Network::CONFIG_TYPE, 6 and above refused; -1: apply
    std::string value;
};

// What the BMC has set, starting from what the starting file holds.
struct Settings {
    bool dhcp = false;
    std::string address = "192.0.2.10";
    std::string netmask = "255.255.255.0";
    std::string gateway = "192.0.2.1";
    std::string dns1 = "192.0.2.53";
    std::string dns2;
};

const char* const address_values[] = {"192.0.2.10", "192.0.2.20", "198.51.100.7", "0.0.0.0",
                                      "",           "10.0.0.1",   "192.0.2.1",    "192.0.2.254",
                                      "8.8.8.8",    "192.0.2.53"};
const char* const netmask_values[] = {"255.255.255.0",   "255.255.255.128", "255.255.0.0",
                                      "255.255.255.255", "128.0.0.0",       "",
                                      "0.0.0.0",         "255.0.255.0",     "255.255.255.1"};
const char* const hostile_values[] = {"192.0.2.10; reboot",
                                      "192.0.2.10\n    up reboot",
                                      "$(id)",
                                      "192.0.2.010",
                                      "192.0.2.10/24",
                                      "{to: default, via: 1.2.3.4}",
                                      "' ; touch /tmp/x",
                                      "192.0.2.10 # x"};

Request random_Request(std::mt19937& random) {
    switch (random() % 16) {
    case 0:
    case 1:
        return {-1, ""};
    case 2:
    case 3:
        return {Network::MODE, std::string(1, "\x00\x01\x02\xff"[random() % 4])};
    case 4:
        return {static_cast<int>(6 + random() % 4), "192.0.2.10"};
    case 5:
        return {static_cast<int>(1 + random() % 5), hostile_values[random() % 8]};
    case 6:
    case 7:
        return {Network::SUBNETMASK, netmask_values[random() % 9]};
    default: {
        const int types[] = {Network::IP_ADDRESS, Network::GATEWAY, Network::DNS1, Network::DNS2};
        return {types[random() % 4], address_values[random() % 10]};
    }
    }
}

std::string describe(const Request& request) {
    if (request.type < 0)
        return "apply";
    if (request.type == Network::MODE)
        return "mode " + std::to_string(static_cast<unsigned char>(request.value[0]));
    std::string shown;
    for (char c : request.value)
        shown += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : "\\x" + std::to_string(c);
    return "type " + std::to_string(request.type) + " \"" + shown + "\"";
}

// The C library's parser decides what is an address, independently of the
// daemon's own validator.
bool parse_Address(const std::string& text, uint32_t* value) {
    struct in_addr address;
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return false;
    *value = ntohl(address.s_addr);
    return true;
}

int get_Prefix(const std::string& netmask) {
    uint32_t mask = 0;
    if (!parse_Address(netmask, &mask) || (~mask & (~mask + 1)) != 0)
        return -1;
    int prefix = 0;
    for (; mask != 0; mask <<= 1)
        prefix++;
    return prefix;
}

bool is_Taken(const Request& request) {
    uint32_t value = 0;
    if (request.type == Network::MODE)
        return true;
    if (request.type > Network::DNS2)
        return false;
    if (request.type == Network::SUBNETMASK)
        return request.value.empty() || get_Prefix(request.value) > 0;
    return request.value.empty() || parse_Address(request.value, &value);
}

void take(const Request& request, Settings* settings) {
    switch (request.type) {
    case Network::MODE:
        settings->dhcp = request.value[0] == 0;
        break;
    case Network::IP_ADDRESS:
        settings->address = request.value;
        break;
    case Network::GATEWAY:
        settings->gateway = request.value;
        break;
    case Network::SUBNETMASK:
        settings->netmask = request.value;
        break;
    case Network::DNS1:
        settings->dns1 = request.value;
        break;
    case Network::DNS2:
        settings->dns2 = request.value;
        break;
    }
}

// Whether a static apply of these settings can make a working address.
bool is_Usable(const std::string& address, const std::string& netmask) {
    uint32_t value = 0;
    return parse_Address(address, &value) && value != 0 && get_Prefix(netmask) > 0;
}

// ---- The driver ---------------------------------------------------------------------

class Network_Model : public Network_Host {
protected:
    // Runs sequences of requests until the time budget is spent. `start`
    // puts the starting files in place; `check` judges the host after each
    // request that was handed to the daemon.
    void run_Sequences(const std::function<void()>& start,
                       const std::function<void(const Request&, const Settings&)>& check) {
        const char* seconds_text = getenv("PEC_MODEL_SECONDS");
        const char* seed_text = getenv("PEC_MODEL_SEED");
        const int seconds = seconds_text != nullptr ? atoi(seconds_text) : 10;
        const unsigned long first_seed =
            seed_text != nullptr
                ? strtoul(seed_text, nullptr, 10)
                : static_cast<unsigned long>(
                      std::chrono::system_clock::now().time_since_epoch().count() % 1000000000);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int sequences = 0;
        int requests = 0;
        for (unsigned long seed = first_seed;
             sequences == 0 || std::chrono::steady_clock::now() < end; seed++, sequences++) {
            std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
            std::string history;
            start();
            Network::set_Interface_Name("eth0");
            Settings settings;
            const int length = 5 + static_cast<int>(random() % 30);
            for (int i = 0; i < length && !HasFailure(); i++, requests++) {
                Request request = random_Request(random);
                history += "  " + describe(request) + "\n";
                SCOPED_TRACE("PEC_MODEL_SEED=" + std::to_string(seed) + ", requests:\n" + history);
                clear_Calls();
                write_File(dir + "/log", "");
                if (request.type < 0) {
                    Network::set_Config_Apply();
                } else {
                    bool taken =
                        Network::set_Config(static_cast<Network::CONFIG_TYPE>(request.type),
                                            request.value.c_str()) == 0;
                    ASSERT_EQ(taken, is_Taken(request));
                    if (taken)
                        take(request, &settings);
                    // A bad value is logged; an unknown type is not.
                    EXPECT_EQ(count_Of(log(), "[ERROR]"),
                              !taken && request.type <= Network::DNS2 ? 1u : 0u)
                        << log();
                }
                check(request, settings);
            }
            if (HasFailure())
                return;
        }
        printf("%d sequences, %d requests, seeds %lu to %lu\n", sequences, requests, first_seed,
               first_seed + sequences - 1);
    }
};

// ---- netplan ------------------------------------------------------------------------

const char* const rich_netplan = "# The card's network, edited by the card daemon.\n"
                                 "network:\n"
                                 "  version: 2\n"
                                 "  renderer: networkd\n"
                                 "  ethernets:\n"
                                 "    eth0:\n"
                                 "      mtu: 1400\n"
                                 "      dhcp6: false\n"
                                 "      addresses: [fd00::5/64, 192.0.2.10/24]\n"
                                 "      routes:\n"
                                 "        - to: 198.51.100.0/24\n"
                                 "          via: 192.0.2.254\n"
                                 "          metric: 50\n"
                                 "        - to: default\n"
                                 "          via: 192.0.2.1\n"
                                 "        - to: default\n"
                                 "          via: fd00::1\n"
                                 "      dhcp4: false\n"
                                 "      nameservers:\n"
                                 "        search: [example.net]\n"
                                 "        addresses: [192.0.2.53]\n"
                                 "    eth1:\n"
                                 "      dhcp4: true\n"
                                 "      routes: [{to: default, via: 198.51.100.1}]\n";

bool is_IPv4_Text(const std::string& text) {
    uint32_t value = 0;
    return parse_Address(text.substr(0, text.find('/')), &value);
}

// Takes out of `document` what the BMC owns in eth0 and returns it as text;
// what is left is everything the BMC must not change.
std::string take_Owned(YAML::Node document, YAML::Node* owned) {
    YAML::Node eth0 = document["network"]["ethernets"]["eth0"];
    (*owned)["dhcp4"] = eth0["dhcp4"].as<std::string>();
    eth0.remove("dhcp4");
    YAML::Node other_addresses(YAML::NodeType::Sequence);
    for (YAML::Node entry : eth0["addresses"]) {
        if (is_IPv4_Text(entry.as<std::string>()))
            (*owned)["addresses"].push_back(entry.as<std::string>());
        else
            other_addresses.push_back(entry);
    }
    eth0["addresses"] = other_addresses;
    YAML::Node other_routes(YAML::NodeType::Sequence);
    for (YAML::Node route : eth0["routes"]) {
        if (route["to"].as<std::string>() == "default" &&
            is_IPv4_Text(route["via"].as<std::string>()))
            (*owned)["gateways"].push_back(route["via"].as<std::string>());
        else
            other_routes.push_back(route);
    }
    eth0["routes"] = other_routes;
    for (YAML::Node server : eth0["nameservers"]["addresses"])
        (*owned)["dns"].push_back(server.as<std::string>());
    eth0["nameservers"].remove("addresses");
    std::ostringstream text;
    text << document;
    return text.str();
}

TEST_F(Network_Model, netplan) {
    std::string file_before;
    YAML::Node ignored;
    const std::string kept_before = take_Owned(YAML::Load(rich_netplan), &ignored);
    run_Sequences(
        [&] {
            write_File(netplan_file, rich_netplan);
            file_before = rich_netplan;
        },
        [&](const Request& request, const Settings& settings) {
            const std::string file = read_File(netplan_file);
            if (request.type >= 0 ||
                (!settings.dhcp && !is_Usable(settings.address, settings.netmask))) {
                // Values wait for the apply; an unusable static apply writes nothing.
                ASSERT_EQ(file, file_before);
                return;
            }
            file_before = file;
            ASSERT_EQ(get_Calls(), "netplan[apply]\n");
            netplan_Accepts(file);
            YAML::Node owned;
            ASSERT_EQ(take_Owned(YAML::Load(file), &owned), kept_before) << file;
            std::string expected = std::string("{dhcp4: ") + (settings.dhcp ? "true" : "false");
            if (!settings.dhcp) {
                expected += ", addresses: [" + settings.address + "/" +
                            std::to_string(get_Prefix(settings.netmask)) + "]";
                if (!settings.gateway.empty())
                    expected += ", gateways: [" + settings.gateway + "]";
            }
            std::string servers;
            for (const std::string& dns : {settings.dns1, settings.dns2}) {
                if (!dns.empty() && dns != "0.0.0.0")
                    servers += (servers.empty() ? "" : ", ") + dns;
            }
            if (!servers.empty())
                expected += ", dns: [" + servers + "]";
            YAML::Emitter actual;
            actual.SetMapFormat(YAML::Flow);
            actual.SetSeqFormat(YAML::Flow);
            actual << owned;
            ASSERT_EQ(actual.c_str(), expected + "}") << file;
        });
}

// ---- ifupdown -----------------------------------------------------------------------

// One option line of the managed stanza: its value and whether it is
// commented out.
struct Option {
    std::string value;
    bool commented = false;
};

struct Stanza_Model {
    bool dhcp = false;
    Option address{"192.0.2.10"};
    Option netmask{"255.255.255.0"};
    Option gateway{"192.0.2.1"};

    void take(const Request& request) {
        Option* option = request.type == Network::IP_ADDRESS   ? &address
                         : request.type == Network::SUBNETMASK ? &netmask
                         : request.type == Network::GATEWAY    ? &gateway
                                                               : nullptr;
        if (request.type == Network::MODE) {
            dhcp = request.value[0] == 0;
            address.commented = netmask.commented = gateway.commented = dhcp;
        } else if (option != nullptr && request.value.empty()) {
            option->commented = true;
        } else if (option != nullptr) {
            *option = Option{request.value, false};
        }
    }

    static std::string line(const char* key, const Option& option) {
        return std::string("    ") + (option.commented ? "#" : "") + key + " " + option.value +
               "\n";
    }

    // The whole file: everything but the three option lines and the method
    // is the starting file's, byte for byte.
    std::string render() const {
        return "# eth0: the chassis network\n"
               "auto eth0\n"
               "iface eth0 inet6 static\n"
               "    address fd00::5\n"
               "    netmask 64\n"
               "    gateway fd00::1\n"
               "\n"
               "iface eth0 inet " +
               std::string(dhcp ? "dhcp" : "static") +
               "\n"
               "    hwaddress ether 02:00:5e:10:00:01\n" +
               line("address", address) + line("netmask", netmask) + line("gateway", gateway) +
               "    mtu 1400\n"
               "    up ip route add 10.0.0.0/8 via 192.0.2.254 || true\n"
               "    up route add -net 198.51.0.0 netmask 255.254.0.0 gw 192.0.2.254 || true\n"
               "\n"
               "auto eth1\n"
               "iface eth1 inet static\n"
               "    address 198.51.100.10\n"
               "    netmask 255.255.255.0\n"
               "    gateway 198.51.100.1\n";
    }

    bool is_Usable() const {
        return dhcp || (!address.commented && !netmask.commented &&
                        ::is_Usable(address.value, netmask.value));
    }
};

TEST_F(Network_Model, ifupdown) {
    Stanza_Model stanza;
    run_Sequences(
        [&] {
            stanza = Stanza_Model();
            write_File(stanza_file, stanza.render(), 0644);
        },
        [&](const Request& request, const Settings&) {
            if (request.type >= 0 && is_Taken(request))
                stanza.take(request);
            ASSERT_EQ(read_File(stanza_file), stanza.render());
            std::string output;
            for (const char* interface : {" eth0", " eth1"}) {
                ASSERT_EQ(run(std::string("ifquery -i ") + stanza_file + interface, &output), 0)
                    << output;
            }
            if (request.type < 0) {
                ASSERT_EQ(get_Calls(),
                          stanza.is_Usable() ? "systemctl[restart][networking.service]\n" : "");
            }
        });
}

// ---- NetworkManager -----------------------------------------------------------------

const char* const rich_keyfile = "[connection]\n"
                                 "id=chassis\n"
                                 "uuid=4a6f1c2e-5b7d-4e8f-9a0b-1c2d3e4f5a6b\n"
                                 "type=ethernet\n"
                                 "autoconnect-priority=10\n"
                                 "interface-name=eth0\n"
                                 "\n"
                                 "[ethernet]\n"
                                 "mtu=1400\n"
                                 "\n"
                                 "[ipv4]\n"
                                 "address1=192.0.2.10/24,192.0.2.1\n"
                                 "dns=192.0.2.53;\n"
                                 "method=manual\n"
                                 "route1=198.51.100.0/24,192.0.2.254\n"
                                 "\n"
                                 "[ipv6]\n"
                                 "addr-gen-mode=stable-privacy\n"
                                 "address1=fd00::5/64,fd00::1\n"
                                 "method=manual\n"
                                 "\n"
                                 "[proxy]\n"
                                 "\n"
                                 "[user]\n"
                                 "org.example.site=rack-7\n";

// The arguments of a recorded call after its first `skip`, quoted for the
// shell.
std::string get_Arguments(const Recorded_Call& call, size_t skip) {
    std::string arguments;
    for (size_t i = skip; i < call.args.size(); i++)
        arguments += " " + shell_Quote(call.args[i]);
    return arguments;
}

TEST_F(Network_Model, network_manager) {
    // NetworkManager's copy of the profile: each modify command the daemon
    // sends is carried out on it by the real nmcli.
    // Compared by meaning, as nmcli may spell the whole profile its own way.
    std::string profile;
    Keyfile_Meaning expected;
    run_Sequences(
        [&] {
            write_File(keyfile, rich_keyfile);
            profile = rich_keyfile;
            expected = keyfile_Meaning(rich_keyfile);
            set_Nmcli_Answer("ipv4.method", "ipv4.method:manual\n");
            set_Nmcli_Answer("ipv4.addresses", "ipv4.addresses:192.0.2.10/24\n");
            set_Nmcli_Answer("ipv4.gateway", "ipv4.gateway:192.0.2.1\n");
            set_Nmcli_Answer("ipv4.dns", "ipv4.dns:192.0.2.53\n");
        },
        [&](const Request& request, const Settings& settings) {
            ASSERT_EQ(read_File(keyfile), rich_keyfile) << "the keyfile is never rewritten";
            if (request.type >= 0) {
                ASSERT_EQ(get_Calls(), "");
                return;
            }
            const std::vector<Recorded_Call> calls = parse_Calls(get_Calls());
            if (!settings.dhcp && !is_Usable(settings.address, settings.netmask)) {
                ASSERT_EQ(get_Calls(), "nmcli[device][reapply][eth0]\n");
                return;
            }
            ASSERT_FALSE(calls.empty());
            const Recorded_Call& modify = calls[0];
            ASSERT_EQ(modify.line.rfind("nmcli[con][mod][eth0]", 0), 0u) << get_Calls();
            write_File(dir + "/profile", profile);
            std::string output;
            ASSERT_EQ(run("/usr/bin/nmcli --offline connection modify" + get_Arguments(modify, 3) +
                              " < " + dir + "/profile",
                          &output),
                      0)
                << modify.line << "\n"
                << output;
            profile = output;

            expected["ipv4.method"] = settings.dhcp ? "auto" : "manual";
            if (settings.dhcp) {
                expected.erase("ipv4.address1");
                expected.erase("ipv4.gateway");
            } else {
                expected["ipv4.address1"] =
                    settings.address + "/" + std::to_string(get_Prefix(settings.netmask));
                if (!settings.gateway.empty() && settings.gateway != "0.0.0.0")
                    expected["ipv4.gateway"] = settings.gateway;
                else
                    expected.erase("ipv4.gateway");
            }
            std::string servers;
            for (const std::string& dns : {settings.dns1, settings.dns2}) {
                if (!dns.empty() && servers.find(dns + ";") != 0)
                    servers += dns + ";";
            }
            if (!servers.empty())
                expected["ipv4.dns"] = servers;
            ASSERT_EQ(keyfile_Meaning(profile), expected) << profile;
        });
}

} // namespace
