// Tests of Network: the IPv4 validators, manager detection, the three
// backends on real files, crash safety of every write, the live state of a
// veth eth0, and hostile BMC values. The host is network_host.h's; the real
// netplan, ifquery/ifup and nmcli --offline judge what was written.
#include "network_host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- Validator ------------------------------------------------------------------

TEST(Network_Validator, accepts_only_empty_dotted_quads_and_contiguous_netmasks) {
    struct Case {
        const char* text;
        bool address;
        bool netmask;
    };
    const std::string long_text(300, '1');
    const Case cases[] = {
        {"", true, true},
        {"0.0.0.0", true, false},
        {"192.0.2.10", true, false},
        {"255.255.255.255", true, true},
        {"255.255.255.0", true, true},
        {"255.255.240.0", true, true},
        {"128.0.0.0", true, true},
        {"255.255.255.254", true, true},
        {"255.0.255.0", true, false},
        {"0.255.255.255", true, false},
        {"255.255.255.1", true, false},
        {"256.0.0.1", false, false},
        {"1.2.3", false, false},
        {"1.2.3.4.5", false, false},
        {"1.2.3.", false, false},
        {".1.2.3", false, false},
        {"1..2.3", false, false},
        {"01.2.3.4", false, false},
        {"1.2.3.010", false, false},
        {"1000.2.3.4", false, false},
        {"+1.2.3.4", false, false},
        {"-1.2.3.4", false, false},
        {" 1.2.3.4", false, false},
        {"1.2.3.4 ", false, false},
        {"1.2.3.4\n", false, false},
        {"1.2.3.4/24", false, false},
        {"24", false, false},
        {"0x7f.0.0.1", false, false},
        {"1.2.3.4;reboot", false, false},
        {"1.2.3.4'", false, false},
        {"[1.2.3.4]", false, false},
        {"a.b.c.d", false, false},
        {long_text.c_str(), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Network::is_Valid_IPv4_Text(c.text), c.address) << '"' << c.text << '"';
        EXPECT_EQ(Network::is_Valid_Netmask_Text(c.text), c.netmask) << '"' << c.text << '"';
    }
    EXPECT_FALSE(Network::is_Valid_IPv4_Text(nullptr));
    EXPECT_FALSE(Network::is_Valid_Netmask_Text(nullptr));
}

// The C library's parser is the reference: on random texts made of the
// characters that matter, both validators agree with it.
TEST(Network_Validator, agrees_with_inet_pton) {
    // Texts built from fields that are valid octets, near misses and noise.
    const char* const fields[] = {"0",   "1",   "9",    "10",  "01",  "99",  "127", "128",
                                  "192", "224", "240",  "248", "252", "254", "255", "256",
                                  "300", "",    "1000", " 1",  "1 ",  "+1",  "0x1", "a"};
    const char* const separators[] = {".", ".", ".", ".", "..", "/", ",", ""};
    std::mt19937 random(20261208);
    for (int i = 0; i < 200000; i++) {
        std::string text;
        size_t count = 1 + random() % 5;
        for (size_t k = 0; k < count; k++) {
            if (k > 0)
                text += separators[random() % 8];
            text += fields[random() % 24];
        }
        struct in_addr address;
        bool parsed = inet_pton(AF_INET, text.c_str(), &address) == 1;
        uint32_t mask = parsed ? ntohl(address.s_addr) : 0;
        bool contiguous = parsed && mask != 0 && ((~mask & (~mask + 1)) == 0);
        ASSERT_EQ(Network::is_Valid_IPv4_Text(text.c_str()), text.empty() || parsed) << text;
        ASSERT_EQ(Network::is_Valid_Netmask_Text(text.c_str()), text.empty() || contiguous) << text;
    }
}

// ---- Detection --------------------------------------------------------------

TEST_F(Network_Host, netplan_file_wins_over_stanza_and_keyfile) {
    write_File(netplan_file, default_netplan);
    write_File(stanza_file, static_stanza, 0644);
    write_File(keyfile, generated_keyfile);
    Network::set_Interface_Name("eth0");
    EXPECT_NE(log().find("Interface: eth0, Manager Type: netplan"), std::string::npos) << log();
    EXPECT_EQ(Network::set_Config(Network::GATEWAY, "192.0.2.1"), 0);
    EXPECT_EQ(read_File(stanza_file), static_stanza);
    EXPECT_EQ(read_File(netplan_file), default_netplan);
}

TEST_F(Network_Host, stanza_gives_ifupdown_and_keyfile_gives_network_manager) {
    write_File(stanza_file, static_stanza, 0644);
    write_File(keyfile, generated_keyfile);
    Network::set_Interface_Name("eth0");
    EXPECT_NE(log().find("Manager Type: ifupdown"), std::string::npos) << log();

    remove(stanza_file);
    Network::set_Interface_Name("eth0");
    EXPECT_NE(log().find("Manager Type: network manager"), std::string::npos) << log();
    EXPECT_EQ(get_Calls().find("systemctl"), std::string::npos) << "no service check expected";
}

TEST_F(Network_Host, running_network_manager_gets_a_keyfile_once) {
    for (const char* answer : {"active\n", ""}) {
        SCOPED_TRACE(std::string("service answer \"") + answer + "\"");
        remove(keyfile);
        set_Service(answer);
        run("mkdir -p /run/NetworkManager/system-connections");
        const std::string runtime = "/run/NetworkManager/system-connections/eth0.nmconnection";
        write_File(runtime, "[connection]\n");
        set_Nmcli_Answer("DEVICE,FILENAME", "lo:\neth0:" + runtime + "\n");
        write_File(dir + "/log", "");
        clear_Calls();

        Network::set_Interface_Name("eth0");
        EXPECT_EQ(read_File(keyfile), generated_keyfile);
        EXPECT_EQ(file_Mode(keyfile), 0600);
        EXPECT_FALSE(file_Exists(runtime));
        EXPECT_FALSE(file_Exists(netplan_file));
        std::string text = log();
        EXPECT_EQ(count_Of(text, std::string("Generated: ") + keyfile), 1u) << text;
        EXPECT_EQ(count_Of(text, "Removed old Config"), 1u) << text;
        EXPECT_EQ(count_Of(text, "Config Reloaded"), 1u) << text;
        EXPECT_NE(text.find("Manager Type: network manager"), std::string::npos) << text;
        EXPECT_EQ(count_Of(get_Calls(), "nmcli[con][reload]"), 1u) << get_Calls();

        // Later detections find the keyfile and create nothing.
        Network::set_Interface_Name("eth0");
        EXPECT_EQ(count_Of(log(), "Generated:"), 1u);
        EXPECT_EQ(count_Of(get_Calls(), "systemctl[is-active][NetworkManager]"), 1u);
    }
}

TEST_F(Network_Host, keyfile_generation_without_runtime_file_only_reloads) {
    set_Service("active\n");
    set_Nmcli_Answer("DEVICE,FILENAME", "eth0:/etc/NetworkManager/system-connections/x\n");
    write_File("/run/keep", "x");
    Network::set_Interface_Name("eth0");
    EXPECT_EQ(log().find("Removed old Config"), std::string::npos);
    EXPECT_NE(log().find("Config Reloaded"), std::string::npos);
    EXPECT_TRUE(file_Exists("/run/keep"));
}

TEST_F(Network_Host, inactive_network_manager_gets_default_netplan_file) {
    set_Service("inactive\n");
    Network::set_Interface_Name("eth0");
    EXPECT_EQ(read_File(netplan_file), default_netplan);
    EXPECT_EQ(file_Mode(netplan_file), 0600);
    EXPECT_FALSE(file_Exists(keyfile));
    EXPECT_EQ(count_Of(log(), "Generated: /etc/netplan/01-netcfg.yaml"), 1u) << log();
    EXPECT_NE(log().find("Manager Type: netplan"), std::string::npos);

    std::string unit = netplan_Accepts(read_File(netplan_file));
    EXPECT_NE(unit.find("DHCP=ipv4"), std::string::npos) << unit;
    EXPECT_NE(unit.find("DNS=1.1.1.1\nDNS=8.8.8.8\n"), std::string::npos) << unit;

    Network::set_Interface_Name("eth0");
    EXPECT_EQ(count_Of(log(), "Generated:"), 1u);
}

// ---- Netplan backend ----------------------------------------------------------

TEST_F(Network_Host, netplan_static_then_dhcp_sequence) {
    set_Service("inactive\n");
    Network::set_Interface_Name("eth0");
    clear_Calls();

    send_Static("192.0.2.10", "255.255.255.0", "192.0.2.1", "192.0.2.53", "");
    EXPECT_EQ(read_File(netplan_file), default_netplan) << "values wait for the apply";
    EXPECT_TRUE(Network::set_Config_Apply());
    const std::string static_doc = "network:\n"
                                   "  ethernets:\n"
                                   "    eth0:\n"
                                   "      dhcp4: false\n"
                                   "      addresses:\n"
                                   "        - 192.0.2.10/24\n"
                                   "      routes:\n"
                                   "        - to: default\n"
                                   "          via: 192.0.2.1\n"
                                   "      nameservers:\n"
                                   "        addresses:\n"
                                   "          - 192.0.2.53\n";
    EXPECT_EQ(read_File(netplan_file), static_doc);
    EXPECT_EQ(get_Calls(), "netplan[apply]\n");
    std::string unit = netplan_Accepts(read_File(netplan_file));
    EXPECT_NE(unit.find("Address=192.0.2.10/24"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Gateway=192.0.2.1"), std::string::npos) << unit;
    EXPECT_NE(unit.find("DNS=192.0.2.53"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("DHCP"), std::string::npos) << unit;

    // Read back through the public reads: gateway comes from the live state.
    Network::update_Default_IP_Info();
    char buffer[128] = {};
    EXPECT_EQ(Network::get_Config(Network::IP_ADDRESS, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "192.0.2.10");
    EXPECT_EQ(Network::get_Config(Network::SUBNETMASK, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "255.255.255.0");
    EXPECT_EQ(Network::get_Config(Network::GATEWAY, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "192.0.2.1");

    send_Dhcp("192.0.2.53", "0.0.0.0");
    EXPECT_TRUE(Network::set_Config_Apply());
    const std::string dhcp_doc = "network:\n  ethernets:\n    eth0:\n      dhcp4: true\n"
                                 "      nameservers:\n        addresses:\n"
                                 "          - 192.0.2.53\n";
    EXPECT_EQ(read_File(netplan_file), dhcp_doc);
    unit = netplan_Accepts(read_File(netplan_file));
    EXPECT_NE(unit.find("DHCP=ipv4"), std::string::npos) << unit;
}

TEST_F(Network_Host, netplan_update_keeps_what_it_does_not_own) {
    write_File(netplan_file,
               "network:\n"
               "  version: 2\n"
               "  renderer: networkd\n"
               "  ethernets:\n"
               "    eth0:\n"
               "      mtu: 1400\n"
               "      addresses:\n"
               "        - fd00::5/64\n"
               "        - 192.0.2.99/24\n"
               "      gateway4: 192.0.2.254\n"
               "      routes:\n"
               "        - to: 198.51.100.0/24\n"
               "          via: 192.0.2.254\n"
               "        - to: default\n"
               "          via: 192.0.2.254\n"
               "        - to: default\n"
               "          via: fd00::1\n"
               "        - to: 0.0.0.0/0\n"
               "          via: 192.0.2.253\n"
               "      dhcp4: true\n"
               "      nameservers:\n"
               "        search: [example.net]\n"
               "        addresses: [192.0.2.53]\n"
               "    eth1:\n"
               "      dhcp4: true\n",
               0644);
    Network::set_Interface_Name("eth0");
    send_Static("192.0.2.10", "255.255.255.0", "192.0.2.1", "", "192.0.2.54");
    EXPECT_TRUE(Network::set_Config_Apply());
    const std::string expected = "network:\n"
                                 "  version: 2\n"
                                 "  renderer: networkd\n"
                                 "  ethernets:\n"
                                 "    eth0:\n"
                                 "      mtu: 1400\n"
                                 "      addresses:\n"
                                 "        - fd00::5/64\n"
                                 "        - 192.0.2.10/24\n"
                                 "      routes:\n"
                                 "        - to: 198.51.100.0/24\n"
                                 "          via: 192.0.2.254\n"
                                 "        - to: default\n"
                                 "          via: fd00::1\n"
                                 "        - to: default\n"
                                 "          via: 192.0.2.1\n"
                                 "      dhcp4: false\n"
                                 "      nameservers:\n"
                                 "        search: [example.net]\n"
                                 "        addresses:\n"
                                 "          - 192.0.2.54\n"
                                 "    eth1:\n"
                                 "      dhcp4: true\n";
    EXPECT_EQ(read_File(netplan_file), expected);
    EXPECT_EQ(file_Mode(netplan_file), 0644) << "an existing file keeps its mode";
    std::string unit = netplan_Accepts(read_File(netplan_file));
    EXPECT_NE(unit.find("Address=fd00::5/64"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Address=192.0.2.10/24"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Destination=198.51.100.0/24"), std::string::npos) << unit;

    // DHCP keeps the IPv6 address and route in place and drops the IPv4
    // default route only; "0.0.0.0" and the empty text mean no name server.
    send_Dhcp("0.0.0.0", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    std::string doc = read_File(netplan_file);
    EXPECT_NE(doc.find("      mtu: 1400\n      addresses:\n        - fd00::5/64\n      routes:\n"
                       "        - to: 198.51.100.0/24\n          via: 192.0.2.254\n"
                       "        - to: default\n          via: fd00::1\n"
                       "      dhcp4: true\n      nameservers:\n        search: [example.net]\n"
                       "    eth1:"),
              std::string::npos)
        << doc;
    netplan_Accepts(doc);
}

TEST_F(Network_Host, netplan_apply_on_empty_file_and_missing_interface) {
    write_File(netplan_file, "");
    Network::set_Interface_Name("eth0");
    send_Static("192.0.2.10", "255.255.255.128", "", "192.0.2.53", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    // No gateway given: no default route with an empty "via".
    EXPECT_EQ(read_File(netplan_file), "network:\n  ethernets:\n    eth0:\n      dhcp4: false\n"
                                       "      addresses:\n        - 192.0.2.10/25\n"
                                       "      nameservers:\n        addresses:\n"
                                       "          - 192.0.2.53\n");
    EXPECT_EQ(file_Mode(netplan_file), 0600);
    netplan_Accepts(read_File(netplan_file));

    write_File(netplan_file, "network:\n  ethernets:\n    eth1:\n      dhcp4: true\n");
    send_Dhcp("", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(read_File(netplan_file), "network:\n  ethernets:\n    eth1:\n      dhcp4: true\n"
                                       "    eth0:\n      dhcp4: true\n");
}

// A managed interface that does not exist is said at start and at every
// apply, which still writes its settings; one that exists is never said.
TEST_F(Network_Host, missing_interface_is_an_error_at_start_and_at_apply) {
    const std::string missing = "Managed interface eth9 does not exist";
    write_File(netplan_file, "");
    Network::set_Interface_Name("eth9");
    send_Static("192.0.2.10", "255.255.255.128", "192.0.2.1", "", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_NE(read_File(netplan_file).find("    eth9:\n      dhcp4: false\n"), std::string::npos);
    std::string text = log();
    size_t first = text.find(missing);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(missing, first + 1), std::string::npos) << text;

    Network::set_Interface_Name("eth0");
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(log().find("Managed interface eth0"), std::string::npos) << log();
}

TEST_F(Network_Host, netplan_content_of_unexpected_form_leaves_file_unchanged) {
    struct Case {
        const char* document;
        bool load_error;
    };
    const Case cases[] = {
        {"network: [\n", true},
        {"network: 5\n", true},
        {"network:\n  ethernets:\n    eth0: 5\n", false},
        {"network:\n  ethernets:\n    eth0:\n      addresses: {a: b}\n", false},
        {"network:\n  ethernets:\n    eth0:\n      addresses: [[1, 2]]\n", false},
        {"network:\n  ethernets:\n    eth0:\n      routes: {to: default}\n", false},
        {"network:\n  ethernets:\n    eth0:\n      routes: [default]\n", false},
        {"network:\n  ethernets:\n    eth0:\n      routes: [{via: 192.0.2.1}]\n", false},
        {"network:\n  ethernets:\n    eth0:\n      routes: [{to: {a: b}}]\n", false},
        // Loads, but written back its first key would start with a UTF-16
        // byte-order mark and the file would no longer load.
        {"  \xfe\xff: b\n", false},
        // A key twice: an update would reach only the first.
        {"network:\n  ethernets:\n    eth0:\n      addresses: [192.0.2.5/24]\n"
         "      addresses: [192.0.2.6/24]\n",
         false},
    };
    write_File(netplan_file, default_netplan);
    Network::set_Interface_Name("eth0");
    send_Static("192.0.2.10", "255.255.255.0", "192.0.2.1", "192.0.2.53", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        write_File(netplan_file, c.document);
        write_File(dir + "/log", "");
        clear_Calls();
        testing::internal::CaptureStdout();
        EXPECT_TRUE(Network::set_Config_Apply());
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(read_File(netplan_file), c.document);
        EXPECT_EQ(get_Calls(), "netplan[apply]\n");
        if (c.load_error)
            EXPECT_EQ(printed, "Config File Load Error\n");
        else
            EXPECT_EQ(count_Of(log(), "[ERROR]"), 1u) << log();
    }

    // A carriage return is a line break in YAML: netplan reads "networkd\r "
    // as "networkd". yaml-cpp before 0.8 keeps it in the value, and written
    // back it would be dropped by the next load, so that update is refused;
    // 0.8 reads it as netplan does. Either way the update changes nothing the
    // BMC did not address: it is refused, or it writes what it writes for the
    // document without the carriage return.
    const std::string plain = "network:\n  renderer: networkd\n  ethernets:\n    eth0:\n"
                              "      dhcp4: true\n";
    std::string with_return = plain;
    with_return.insert(plain.find("\n  ethernets"), "\r ");
    EXPECT_EQ(netplan_Accepts(with_return), netplan_Accepts(plain));
    write_File(netplan_file, plain);
    EXPECT_TRUE(Network::set_Config_Apply());
    const std::string updated = read_File(netplan_file);
    write_File(netplan_file, with_return);
    write_File(dir + "/log", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    if (read_File(netplan_file) == with_return)
        EXPECT_EQ(count_Of(log(), "[ERROR]"), 1u) << log();
    else
        EXPECT_EQ(read_File(netplan_file), updated);
}

TEST_F(Network_Host, netplan_reads) {
    // Live state 192.0.2.10/25 via 192.0.2.1 is the fallback.
    write_File(netplan_file, default_netplan);
    Network::set_Interface_Name("eth0");
    Network::update_Default_IP_Info();

    const std::string head = "network:\n  ethernets:\n    eth0:\n";
    struct Case {
        std::string body;
        Network::CONFIG_TYPE type;
        uint8_t result;
        const char* text; // nullptr: buffer untouched
    };
    const Case cases[] = {
        {"      addresses: [fe80::1/64, 10.0.0.5/20]\n", Network::IP_ADDRESS, 0, "10.0.0.5"},
        {"      addresses: [fe80::1/64, 10.0.0.5/20]\n", Network::SUBNETMASK, 0, "255.255.240.0"},
        {"      addresses: [10.0.0.5/32]\n", Network::SUBNETMASK, 0, "255.255.255.255"},
        {"      addresses: [10.0.0.5/0]\n", Network::SUBNETMASK, 0, "0.0.0.0"},
        {"      addresses: [10.0.0.5]\n", Network::IP_ADDRESS, 0, "10.0.0.5"},
        {"      addresses: [10.0.0.5]\n", Network::SUBNETMASK, 0, "255.255.255.128"},
        {"      addresses: [10.0.0.5/33]\n", Network::SUBNETMASK, 0, "255.255.255.128"},
        {"      addresses: [10.0.0.5/x]\n", Network::SUBNETMASK, 0, "255.255.255.128"},
        {"      addresses: [10.0.0.5/99999999999999999999]\n", Network::SUBNETMASK, 0,
         "255.255.255.128"},
        {"      addresses: [fd00::5/64]\n", Network::IP_ADDRESS, 0, "192.0.2.10"},
        {"      addresses: [{10.0.0.6/24: {label: a}}]\n", Network::IP_ADDRESS, 0, "10.0.0.6"},
        {"      gateway4: 10.0.0.1\n", Network::GATEWAY, 0, "10.0.0.1"},
        {"      dhcp4: true\n", Network::GATEWAY, 0, "192.0.2.1"},
        // Without "gateway4", the first IPv4 default route's "via".
        {"      routes: [{to: 10.1.0.0/16, via: 10.0.0.9}, {to: default, via: fd00::1},\n"
         "               {to: default, via: 10.0.0.1}, {to: default, via: 10.0.0.2}]\n",
         Network::GATEWAY, 0, "10.0.0.1"},
        {"      gateway4: 10.0.0.7\n      routes: [{to: default, via: 10.0.0.1}]\n",
         Network::GATEWAY, 0, "10.0.0.7"},
        {"      routes: [{to: default, via: fd00::1}]\n", Network::GATEWAY, 0, "192.0.2.1"},
        {"      routes: [{to: 0.0.0.0/0, via: 10.0.0.3}]\n", Network::GATEWAY, 0, "10.0.0.3"},
        {"      routes: [{to: default}]\n", Network::GATEWAY, 0, "192.0.2.1"},
        // Long entries: the first is no IPv4 entry, the second one (matching the
        // whole expression would overflow the stack) is.
        {"      addresses: [\"fd00::" + std::string(5000, '5') + "\"]\n", Network::IP_ADDRESS, 0,
         "192.0.2.10"},
        {"      addresses: [\"10.0.0.5/24 " + std::string(200000, 'x') + "\"]\n",
         Network::IP_ADDRESS, 0, "10.0.0.5"},
        {"      nameservers: {addresses: [192.0.2.53]}\n", Network::DNS1, 0, "192.0.2.53"},
        {"      nameservers: {addresses: [192.0.2.53]}\n", Network::DNS2, 0, nullptr},
        {"      nameservers: {addresses: [192.0.2.53, 192.0.2.54]}\n", Network::DNS2, 0,
         "192.0.2.54"},
        {"      dhcp4: true\n", Network::DNS1, 0, nullptr},
        {"      dhcp4: maybe\n", Network::MODE, 1, nullptr},
        {"      dhcp4: true\n", static_cast<Network::CONFIG_TYPE>(6), 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body + " type " + std::to_string(c.type));
        write_File(netplan_file, head + c.body);
        char buffer[128];
        memset(buffer, 'X', sizeof(buffer));
        EXPECT_EQ(Network::get_Config(c.type, buffer, sizeof(buffer)), c.result);
        if (c.text == nullptr)
            EXPECT_EQ(buffer[0], 'X');
        else
            EXPECT_STREQ(buffer, c.text);
    }

    struct Mode_Case {
        const char* body;
        char mode;
    };
    for (const Mode_Case& c :
         {Mode_Case{"      dhcp4: true\n", 0}, Mode_Case{"      dhcp4: false\n", 1},
          Mode_Case{"      mtu: 1400\n", 1}}) {
        write_File(netplan_file, head + c.body);
        char buffer[4] = {'X', 'X', 'X', 'X'};
        EXPECT_EQ(Network::get_Config(Network::MODE, buffer, sizeof(buffer)), 0);
        EXPECT_EQ(buffer[0], c.mode) << c.body;
    }

    // A short buffer gets a cut, terminated text.
    write_File(netplan_file, head + "      gateway4: 192.0.2.254\n");
    char small[6];
    EXPECT_EQ(Network::get_Config(Network::GATEWAY, small, sizeof(small)), 0);
    EXPECT_STREQ(small, "192.0");

    write_File(dir + "/log", "");
    for (const char* doc : {"network: [\n", "network:\n  ethernets:\n    eth1: {dhcp4: true}\n"}) {
        write_File(netplan_file, doc);
        char buffer[8] = "X";
        EXPECT_EQ(Network::get_Config(Network::IP_ADDRESS, buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, "X");
    }
    EXPECT_NE(log().find("Config File Load Error"), std::string::npos) << log();
    EXPECT_NE(log().find("target inferface is not defined"), std::string::npos) << log();
}

// ---- ifupdown backend ---------------------------------------------------------

TEST_F(Network_Host, ifupdown_static_then_dhcp_sequence) {
    const std::string initial = "auto eth0\n"
                                "iface eth0 inet dhcp\n"
                                "    hwaddress ether 02:00:5e:10:00:01\n"
                                "    #address 198.51.100.99\n"
                                "    #netmask 255.255.0.0\n";
    write_File(stanza_file, initial, 0644);
    Network::set_Interface_Name("eth0");
    clear_Calls();

    send_Static("198.51.100.10", "255.255.255.0", "198.51.100.1", "192.0.2.53", "192.0.2.54");
    const std::string static_text = "auto eth0\n"
                                    "iface eth0 inet static\n"
                                    "    hwaddress ether 02:00:5e:10:00:01\n"
                                    "    address 198.51.100.10\n"
                                    "    netmask 255.255.255.0\n"
                                    "    gateway 198.51.100.1\n";
    EXPECT_EQ(read_File(stanza_file), static_text);
    EXPECT_EQ(file_Mode(stanza_file), 0644);

    std::string output;
    EXPECT_EQ(run(std::string("ifquery -i ") + stanza_file + " eth0", &output), 0) << output;
    EXPECT_NE(output.find("address: 198.51.100.10\n"), std::string::npos) << output;
    EXPECT_NE(output.find("netmask: 255.255.255.0\n"), std::string::npos) << output;
    EXPECT_NE(output.find("gateway: 198.51.100.1\n"), std::string::npos) << output;

    // The real ifup applies the stanza to the veth eth0.
    run("ip -4 addr flush dev eth0");
    EXPECT_EQ(run(std::string("ifup -i ") + stanza_file + " eth0", &output), 0) << output;
    run("ip -4 addr show dev eth0", &output);
    EXPECT_NE(output.find("inet 198.51.100.10/24"), std::string::npos) << output;
    run("ip route show default", &output);
    EXPECT_NE(output.find("default via 198.51.100.1 dev eth0"), std::string::npos) << output;
    run(std::string("ifdown -i ") + stanza_file + " eth0");

    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(get_Calls(), "systemctl[restart][networking.service]\n");
    EXPECT_EQ(read_File(stanza_file), static_text);

    char buffer[128] = {};
    EXPECT_EQ(Network::get_Config(Network::IP_ADDRESS, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "198.51.100.10");

    send_Dhcp("", "");
    const std::string dhcp_text = "auto eth0\n"
                                  "iface eth0 inet dhcp\n"
                                  "    hwaddress ether 02:00:5e:10:00:01\n"
                                  "    #address 198.51.100.10\n"
                                  "    #netmask 255.255.255.0\n"
                                  "    #gateway 198.51.100.1\n";
    EXPECT_EQ(read_File(stanza_file), dhcp_text);
    EXPECT_EQ(run(std::string("ifquery -i ") + stanza_file + " eth0", &output), 0) << output;
    EXPECT_EQ(output.find("address: 198.51.100.10"), std::string::npos) << output;
    buffer[0] = 'X';
    EXPECT_EQ(Network::get_Config(Network::MODE, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(buffer[0], 0);

    // ifdown of the DHCP stanza would leave the static address: the apply
    // removes it before the restart.
    run("ip addr add 198.51.100.10/24 dev eth0");
    clear_Calls();
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(get_Calls(), "systemctl[restart][networking.service]\n");
    run("ip -4 addr show dev eth0", &output);
    EXPECT_EQ(output.find("inet "), std::string::npos) << output;
}

TEST_F(Network_Host, ifupdown_edits_in_place) {
    write_File(stanza_file, static_stanza, 0644);
    Network::set_Interface_Name("eth0");

    EXPECT_EQ(Network::set_Config(Network::DNS1, "192.0.2.53"), 0);
    EXPECT_EQ(Network::set_Config(Network::DNS2, "192.0.2.54"), 0);
    EXPECT_EQ(read_File(stanza_file), static_stanza);

    // An empty text is a setting not made: the line is commented out, never
    // left as an option without value (which makes ifupdown reject the file).
    EXPECT_EQ(Network::set_Config(Network::GATEWAY, ""), 0);
    std::string text = read_File(stanza_file);
    EXPECT_NE(text.find("    #gateway 198.51.100.1\n"), std::string::npos) << text;
    std::string output;
    EXPECT_EQ(run(std::string("ifquery -i ") + stanza_file + " eth0", &output), 0) << output;
    EXPECT_EQ(Network::set_Config(Network::GATEWAY, "198.51.100.254"), 0);
    EXPECT_EQ(read_File(stanza_file).find("    gateway 198.51.100.254\n"),
              text.find("    #gateway"));

    const Network::CONFIG_TYPE apply_type = static_cast<Network::CONFIG_TYPE>(6);
    EXPECT_EQ(Network::set_Config(apply_type, "192.0.2.1"), 1);

    // Reads: the address line after hwaddress, a manual method reads static,
    // an inet6 line is not the method line.
    write_File(stanza_file, "auto eth0\niface eth0 inet6 auto\niface eth0 inet manual\n"
                            "    hwaddress ether 02:00:5e:10:00:01\n    address 198.51.100.10\n");
    char buffer[128] = {};
    EXPECT_EQ(Network::get_Config(Network::MODE, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(Network::get_Config(Network::IP_ADDRESS, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "198.51.100.10");
    EXPECT_EQ(Network::get_Config(Network::GATEWAY, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
    strcpy(buffer, "X");
    EXPECT_EQ(Network::get_Config(Network::DNS1, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "X");
}

// ---- NetworkManager backend -----------------------------------------------------

TEST_F(Network_Host, network_manager_static_then_dhcp_sequence) {
    set_Service("active\n");
    Network::set_Interface_Name("eth0");
    ASSERT_EQ(read_File(keyfile), generated_keyfile);
    clear_Calls();

    send_Static("192.0.2.10", "255.255.255.0", "192.0.2.1", "192.0.2.53", "");
    EXPECT_EQ(get_Calls(), "") << "values wait for the apply";
    EXPECT_TRUE(Network::set_Config_Apply());
    const std::string modify = "nmcli[con][mod][eth0][ipv4.method][manual][ipv4.addresses]"
                               "[192.0.2.10/24][ipv4.gateway][192.0.2.1][ipv4.dns][192.0.2.53,]";
    EXPECT_EQ(get_Calls(), modify + "\nnmcli[device][reapply][eth0]\n");
    EXPECT_EQ(read_File(keyfile), generated_keyfile);

    // The real nmcli takes the same arguments on the generated keyfile (with
    // the id line that offline mode needs) and holds the expected settings.
    std::string keyfile_with_id = generated_keyfile;
    keyfile_with_id.insert(strlen("[connection]\n"), "id=eth0\n");
    write_File(dir + "/keyfile", keyfile_with_id);
    std::string output;
    EXPECT_EQ(run("/usr/bin/nmcli --offline connection modify ipv4.method manual ipv4.addresses "
                  "192.0.2.10/24 ipv4.gateway 192.0.2.1 ipv4.dns 192.0.2.53, < " +
                      dir + "/keyfile",
                  &output),
              0)
        << output;
    Keyfile_Meaning meaning = keyfile_Meaning(output);
    EXPECT_EQ(meaning["ipv4.address1"], "192.0.2.10/24") << output;
    EXPECT_EQ(meaning["ipv4.gateway"], "192.0.2.1") << output;
    EXPECT_EQ(meaning["ipv4.dns"], "192.0.2.53;") << output;
    EXPECT_EQ(meaning["ipv4.method"], "manual") << output;

    // Back to DHCP: the static address and gateway are cleared, or they
    // would stay beside the lease.
    clear_Calls();
    send_Dhcp("", "");
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(get_Calls(), "nmcli[con][mod][eth0][ipv4.method][auto][ipv4.addresses][]"
                           "[ipv4.gateway][]\nnmcli[device][reapply][eth0]\n");
    write_File(dir + "/keyfile", output);
    EXPECT_EQ(run("/usr/bin/nmcli --offline connection modify ipv4.method auto ipv4.addresses '' "
                  "ipv4.gateway '' < " +
                      dir + "/keyfile",
                  &output),
              0)
        << output;
    meaning = keyfile_Meaning(output);
    EXPECT_EQ(meaning["ipv4.method"], "auto") << output;
    EXPECT_EQ(meaning.count("ipv4.address1") + meaning.count("ipv4.gateway"), 0u) << output;
}

TEST_F(Network_Host, network_manager_reads_and_start_up_load) {
    write_File(keyfile, generated_keyfile);
    Network::update_Default_IP_Info(); // fallback: 192.0.2.10/25 via 192.0.2.1

    struct Case {
        Network::CONFIG_TYPE type;
        const char* field;
        const char* captured;
        const char* text; // nullptr: untouched; for MODE "0" or "1"
    };
    const Case cases[] = {
        {Network::MODE, "ipv4.method", "ipv4.method:auto\n", "0"},
        {Network::MODE, "ipv4.method", "ipv4.method:manual\n", "1"},
        {Network::MODE, "ipv4.method", "", "1"},
        {Network::IP_ADDRESS, "ipv4.addresses", "ipv4.addresses:10.0.0.5/24\n", "10.0.0.5"},
        {Network::IP_ADDRESS, "ipv4.addresses", "ipv4.addresses:\n", "192.0.2.10"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/24\n", "255.255.255.0"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/20, 10.0.0.6/24\n",
         "255.255.240.0"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/32\n", "255.255.255.255"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/0\n", "0.0.0.0"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/33\n", "255.255.255.128"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/\n", "255.255.255.128"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:10.0.0.5/x\n", "255.255.255.128"},
        {Network::SUBNETMASK, "ipv4.addresses", "ipv4.addresses:\n", "255.255.255.128"},
        {Network::GATEWAY, "ipv4.gateway", "ipv4.gateway:10.0.0.1\n", "10.0.0.1"},
        {Network::GATEWAY, "ipv4.gateway", "ipv4.gateway:\n", "192.0.2.1"},
        {Network::GATEWAY, "ipv4.gateway", "", ""},
        {Network::DNS1, "ipv4.dns", "ipv4.dns:8.8.8.8\n", "8.8.8.8"},
        {Network::DNS2, "ipv4.dns", "ipv4.dns:8.8.8.8\n", nullptr},
        {Network::DNS1, "ipv4.dns", "ipv4.dns:8.8.8.8,8.8.4.4\n", "8.8.8.8"},
        {Network::DNS2, "ipv4.dns", "ipv4.dns:8.8.8.8,8.8.4.4\n", "8.8.4.4"},
        {Network::DNS1, "ipv4.dns", "ipv4.dns:\n", nullptr},
        {Network::DNS1, "ipv4.dns", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " \"" + c.captured + "\"");
        set_Nmcli_Answer(c.field, c.captured);
        clear_Calls();
        char buffer[128];
        memset(buffer, 'X', sizeof(buffer));
        EXPECT_EQ(Network::get_Config(c.type, buffer, sizeof(buffer)), 0);
        EXPECT_EQ(get_Calls(), std::string("nmcli[-t][-f][") + c.field + "][con][show][eth0]\n");
        if (c.type == Network::MODE)
            EXPECT_EQ(buffer[0], c.text[0] - '0');
        else if (c.text == nullptr)
            EXPECT_EQ(buffer[0], 'X');
        else
            EXPECT_STREQ(buffer, c.text);
    }
    char buffer[8] = "X";
    clear_Calls();
    EXPECT_EQ(Network::get_Config(static_cast<Network::CONFIG_TYPE>(6), buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "X");
    EXPECT_EQ(get_Calls(), "");

    // Start-up loads every setting; an apply without changes sends them back.
    set_Nmcli_Answer("ipv4.method", "ipv4.method:manual\n");
    set_Nmcli_Answer("ipv4.addresses", "ipv4.addresses:198.51.100.7/20\n");
    set_Nmcli_Answer("ipv4.gateway", "ipv4.gateway:198.51.100.1\n");
    set_Nmcli_Answer("ipv4.dns", "ipv4.dns:192.0.2.53,192.0.2.54\n");
    Network::set_Interface_Name("eth0");
    clear_Calls();
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(get_Calls(), "nmcli[con][mod][eth0][ipv4.method][manual][ipv4.addresses]"
                           "[198.51.100.7/20][ipv4.gateway][198.51.100.1][ipv4.dns]"
                           "[192.0.2.53,192.0.2.54]\nnmcli[device][reapply][eth0]\n");
}

// ---- What keeps the card reachable -----------------------------------------------

TEST_F(Network_Host, netplan_default_route_survives_unrelated_requests) {
    // The route kept the way netplan documents it: under "routes", no "gateway4".
    const std::string head = "network:\n  ethernets:\n    eth0:\n      dhcp4: false\n"
                             "      addresses:\n        - 192.0.2.10/24\n";
    const std::string route = "      routes:\n        - to: default\n          via: 192.0.2.1\n";
    write_File(netplan_file, head + route);
    // The live state, the last fallback, holds another gateway.
    run("ip route replace default via 192.0.2.126");
    Network::update_Default_IP_Info();
    Network::set_Interface_Name("eth0");
    EXPECT_EQ(Network::set_Config(Network::DNS1, "192.0.2.53"), 0);
    EXPECT_TRUE(Network::set_Config_Apply());
    EXPECT_EQ(read_File(netplan_file),
              head + route + "      nameservers:\n        addresses:\n          - 192.0.2.53\n");
    EXPECT_NE(netplan_Accepts(read_File(netplan_file)).find("Gateway=192.0.2.1"),
              std::string::npos);
}

TEST_F(Network_Host, static_apply_without_usable_address_or_prefix_changes_nothing) {
    const std::string head = "network:\n  ethernets:\n    eth0:\n      dhcp4: false\n";
    struct Case {
        const char* name;
        std::function<void()> set_up; // the host, loaded, with the requests sent
        const char* why;
    };
    const char static_mode = 1;
    const Case cases[] = {
        {"netplan prefix 0",
         [&] {
             write_File(netplan_file, head + "      addresses: [192.0.2.10/0]\n");
             Network::set_Interface_Name("eth0");
         },
         "(netmask \"0.0.0.0\")"},
        {"netplan address 0.0.0.0",
         [&] {
             write_File(netplan_file, head + "      addresses: [0.0.0.0/24]\n");
             Network::set_Interface_Name("eth0");
         },
         "(address \"0.0.0.0\")"},
        {"netplan without netmask",
         [&] {
             write_File(netplan_file, default_netplan);
             Network::set_Interface_Name("eth0");
             send_Static("192.0.2.10", "", "192.0.2.1", "", "");
             // Masks without a usable prefix are refused at once.
             EXPECT_EQ(Network::set_Config(Network::SUBNETMASK, "0.0.0.0"), 1);
             EXPECT_EQ(Network::set_Config(Network::SUBNETMASK, "255.0.255.0"), 1);
         },
         "(no netmask)"},
        {"network manager prefix 0",
         [&] {
             write_File(keyfile, generated_keyfile);
             set_Nmcli_Answer("ipv4.method", "ipv4.method:manual\n");
             set_Nmcli_Answer("ipv4.addresses", "ipv4.addresses:192.0.2.10/0\n");
             Network::set_Interface_Name("eth0");
         },
         "(netmask \"0.0.0.0\"): nothing sent"},
        {"ifupdown static without address",
         [&] {
             write_File(stanza_file, "auto eth0\niface eth0 inet dhcp\n", 0644);
             Network::set_Interface_Name("eth0");
             Network::set_Config(Network::MODE, &static_mode);
         },
         "(no address): networking not restarted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* path : {netplan_file, stanza_file, keyfile})
            remove(path);
        c.set_up();
        const auto before = snapshot_Config_Files();
        write_File(dir + "/log", "");
        clear_Calls();
        bool applied = Network::set_Config_Apply();
        EXPECT_EQ(snapshot_Config_Files(), before);
        EXPECT_EQ(count_Of(log(), "[ERROR]"), 1u) << log();
        EXPECT_NE(log().find(c.why), std::string::npos) << log();
        // The activation reapplies what the manager holds; nothing new is sent.
        EXPECT_EQ(get_Calls().find("restart"), std::string::npos) << get_Calls();
        EXPECT_EQ(get_Calls().find("con][mod"), std::string::npos) << get_Calls();
        EXPECT_EQ(applied, get_Calls() != "") << get_Calls();
    }
}

// ---- Crash safety -------------------------------------------------------------------

// Runs `action` in a child traced with ptrace and kills it at its `stop`-th
// system call stop (entries and exits both count, so every point between two
// calls is hit). 1: killed there; 0: the action ended first; -1: the child
// cannot be traced here.
int run_Killed_At_Stop(int stop, const std::function<void()>& action) {
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(77);
        raise(SIGSTOP);
        action();
        _exit(0); // no exit handlers: a leak checker cannot run under a tracer
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
        waitpid(child, &status, 0);
        return -1;
    }
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int pass_signal = 0;
    for (int stops = 0;;) {
        ptrace(PTRACE_SYSCALL, child, nullptr, pass_signal);
        pass_signal = 0;
        if (waitpid(child, &status, 0) != child)
            return -1;
        if (WIFEXITED(status) || WIFSIGNALED(status))
            return 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            pass_signal = WSTOPSIG(status);
        } else if (++stops == stop) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return 1;
        }
    }
}

// The names in the directory of `path`, one a line.
std::string names_Beside(const std::string& path) {
    std::string names;
    for (const std::string& name : list_Directory(path.substr(0, path.rfind('/'))))
        names += name + "\n";
    return names;
}

std::string content_Or_Absent(const char* path) {
    return file_Exists(path) ? read_File(path) : "<absent>";
}

TEST_F(Network_Host, a_write_killed_at_any_point_leaves_old_or_new_content) {
    const char static_mode = 1;
    struct Kind {
        const char* name;
        const char* path;
        std::function<void()> prepare; // puts the old content (or none) in place
        std::function<void()> write;
    };
    // The new content is shorter than the old (comments do not survive an
    // update), so a write in place would show a mix of both.
    const std::string rich_netplan = "# Written at installation; edited by the card daemon.\n"
                                     "# eth0: the chassis network, static, set by the BMC.\n"
                                     "# eth1: the service port, DHCP.\n"
                                     "# Keep the IPv6 address: the chassis monitor uses it.\n"
                                     "# Keep the route: the card is managed from afar.\n"
                                     "network:\n  version: 2\n  ethernets:\n    eth0:\n"
                                     "      addresses: [fd00::5/64, 192.0.2.99/24]\n"
                                     "      routes: [{to: default, via: 192.0.2.1}]\n"
                                     "      dhcp4: false\n    eth1: {dhcp4: true}\n";
    const Kind kinds[] = {
        {"netplan update", netplan_file, [&] { write_File(netplan_file, rich_netplan); },
         [] { Network::set_Config_Apply(); }},
        {"netplan generation", netplan_file,
         [&] {
             remove(netplan_file);
             set_Service("inactive\n");
         },
         [] { Network::set_Interface_Name("eth0"); }},
        {"keyfile generation", keyfile,
         [&] {
             remove(keyfile);
             set_Service("active\n");
         },
         [] { Network::set_Interface_Name("eth0"); }},
        {"stanza edit", stanza_file, [&] { write_File(stanza_file, static_stanza, 0644); },
         [] { Network::set_Config(Network::IP_ADDRESS, "198.51.100.7"); }},
    };
    // Each tool judges the file as it lies in its directory, next to
    // whatever temporary files the kills left there.
    auto accepted = [&](const Kind& kind) {
        std::string output;
        if (kind.path == netplan_file)
            return run("rm -rf " + dir + "/root && mkdir -p " + dir + "/root/etc && cp -a " +
                           "/etc/netplan " + dir + "/root/etc/ && " + netplan_generator +
                           " --root-dir " + dir + "/root",
                       &output) == 0;
        if (kind.path == stanza_file) {
            write_File(dir + "/interfaces", "source-directory /etc/network/interfaces.d\n");
            return run("ifquery -i " + dir + "/interfaces eth0", &output) == 0;
        }
        // nmcli reads a keyfile offline only with an id, which the generated
        // one leaves to the file name.
        return run("sed '2i id=eth0' " + std::string(keyfile) +
                       " | nmcli --offline connection modify ipv4.method auto",
                   &output) == 0;
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        for (const char* path : {netplan_file, stanza_file, keyfile})
            remove(path);
        write_File(netplan_file, rich_netplan);
        Network::set_Interface_Name("eth0");
        send_Static("192.0.2.10", "255.255.255.0", "192.0.2.254", "192.0.2.53", "");
        Network::set_Config(Network::MODE, &static_mode);
        remove(netplan_file);

        kind.prepare();
        const std::string old_content = content_Or_Absent(kind.path);
        if (run_Killed_At_Stop(-1, kind.write) < 0)
            GTEST_SKIP() << "ptrace is not available here (an emulator?): kill test skipped";
        const std::string new_content = content_Or_Absent(kind.path);
        ASSERT_NE(new_content, old_content);
        EXPECT_TRUE(accepted(kind));
        std::set<std::string> judged;
        int stop = 1;
        for (; stop < 10000; stop++) {
            kind.prepare();
            int result = run_Killed_At_Stop(stop, kind.write);
            std::string content = content_Or_Absent(kind.path);
            ASSERT_TRUE(content == old_content || content == new_content)
                << "killed at stop " << stop << ":\n"
                << content;
            // The tool judges each state of the directory once.
            if (content != "<absent>" && judged.insert(content + names_Beside(kind.path)).second) {
                ASSERT_TRUE(accepted(kind)) << "killed at stop " << stop;
            }
            if (result == 0)
                break;
        }
        EXPECT_GT(stop, 10);
        printf("%s: killed at each of %d stops\n", kind.name, stop - 1);
    }
}

// ---- Live state -------------------------------------------------------------------

TEST_F(Network_Host, live_state_from_route_table_and_socket_requests) {
    Network::update_Default_IP_Info();
    Network::get_Default_IP_Info_Update_Flag();
    Network::Config info = Network::get_Default_IP_Info();
    EXPECT_EQ(info.ip4_address, "192.0.2.10");
    EXPECT_EQ(info.ip4_subnetmask, "255.255.255.128");
    EXPECT_EQ(info.ip4_gateway, "192.0.2.1");

    // The subnet route's gateway column is 00000000: it counts as a match.
    run("ip route del default");
    write_File(dir + "/log", "");
    Network::update_Default_IP_Info();
    EXPECT_TRUE(Network::get_Default_IP_Info_Update_Flag());
    EXPECT_FALSE(Network::get_Default_IP_Info_Update_Flag());
    EXPECT_EQ(Network::get_Default_IP_Info().ip4_gateway, "0.0.0.0");
    EXPECT_EQ(Network::get_Default_IP_Info().ip4_address, "192.0.2.10");
    Network::update_Default_IP_Info();
    EXPECT_FALSE(Network::get_Default_IP_Info_Update_Flag());
    EXPECT_EQ(count_Of(log(), "IP: 192.0.2.10, Subnetmask: 255.255.255.128, Gateway: 0.0.0.0"), 1u)
        << log();

    // No route at all: the starting texts.
    run("ip link set eth0 down");
    Network::update_Default_IP_Info();
    EXPECT_TRUE(Network::get_Default_IP_Info_Update_Flag());
    info = Network::get_Default_IP_Info();
    EXPECT_EQ(info.ip4_address, "0.0.0.0");
    EXPECT_EQ(info.ip4_subnetmask, "255.255.255.255");
    EXPECT_EQ(info.ip4_gateway, "0.0.0.0");

    reset_Live_Network();
    Network::update_Default_IP_Info();
    EXPECT_TRUE(Network::get_Default_IP_Info_Update_Flag());
    EXPECT_EQ(Network::get_Default_IP_Info().ip4_gateway, "192.0.2.1");

    Network::set_Interface_Name("eth0");
    EXPECT_EQ(Network::get_Interface_MAC_Address(), "02:00:5E:10:00:01");
    EXPECT_STREQ(Network::get_Interface_Name(), "eth0");
}

// ---- Hostile values -----------------------------------------------------------------

TEST_F(Network_Host, hostile_values_are_refused_on_every_manager) {
    const std::string long_text(300, 'A');
    const std::string long_quads = []() {
        std::string text;
        while (text.size() < 300)
            text += "192.0.2.1.";
        return text;
    }();
    const char* const hostile[] = {
        "192.0.2.10; reboot",
        "$(touch /tmp/pwned)",
        "`id`",
        "192.0.2.10' ; touch /tmp/pwned ; '",
        "\"192.0.2.10\"",
        "192.0.2.10\n    up reboot",
        "192.0.2.10\r",
        "{to: default, via: 1.2.3.4}",
        "[192.0.2.10]",
        "192.0.2.10 # comment",
        "192.0.2.10/24",
        "192.0.2.10|id",
        "192.0.2.10&&id",
        "*",
        "~",
        " 192.0.2.10",
        "192.0.2.010",
        long_text.c_str(),
        long_quads.c_str(),
    };
    enum Manager { NETPLAN_HOST, IFUPDOWN_HOST, NM_HOST };
    for (Manager manager : {NETPLAN_HOST, IFUPDOWN_HOST, NM_HOST}) {
        SCOPED_TRACE("manager " + std::to_string(manager));
        remove(netplan_file);
        remove(stanza_file);
        remove(keyfile);
        if (manager == NETPLAN_HOST)
            write_File(netplan_file, default_netplan);
        else if (manager == IFUPDOWN_HOST)
            write_File(stanza_file, static_stanza, 0644);
        else
            write_File(keyfile, generated_keyfile);
        Network::set_Interface_Name("eth0");
        send_Static("192.0.2.10", "255.255.255.0", "192.0.2.1", "192.0.2.53", "192.0.2.54");

        const auto before = snapshot_Config_Files();
        write_File(dir + "/log", "");
        clear_Calls();
        size_t refused = 0;
        for (const char* value : hostile) {
            for (int type = Network::IP_ADDRESS; type <= Network::DNS2; type++) {
                EXPECT_EQ(Network::set_Config(static_cast<Network::CONFIG_TYPE>(type), value), 1)
                    << '"' << value << '"';
                refused++;
            }
        }
        EXPECT_EQ(Network::set_Config(Network::GATEWAY, nullptr), 1);
        EXPECT_EQ(snapshot_Config_Files(), before);
        EXPECT_EQ(get_Calls(), "");
        EXPECT_EQ(count_Of(log(), "[ERROR]"), refused);
        EXPECT_EQ(log().find('\r'), std::string::npos);
        EXPECT_EQ(count_Of(log(), "\n"), refused) << "one line per refusal";

        // The apply carries the earlier valid values only.
        EXPECT_TRUE(Network::set_Config_Apply());
        const std::string written = read_File(netplan_file) + read_File(stanza_file) + get_Calls();
        EXPECT_EQ(written.find("reboot"), std::string::npos) << written;
        EXPECT_EQ(written.find("pwned"), std::string::npos) << written;
        if (manager == NETPLAN_HOST) {
            EXPECT_NE(written.find("        - 192.0.2.10/24\n"), std::string::npos) << written;
            netplan_Accepts(read_File(netplan_file));
        } else if (manager == NM_HOST) {
            EXPECT_NE(written.find("[192.0.2.10/24][ipv4.gateway][192.0.2.1][ipv4.dns]"
                                   "[192.0.2.53,192.0.2.54]"),
                      std::string::npos)
                << written;
        }
    }
    EXPECT_FALSE(file_Exists("/tmp/pwned"));
}

} // namespace
