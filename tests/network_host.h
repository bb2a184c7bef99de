// The host of the Network tests: the paths are the host's fixed ones, so
// every test that touches them runs in a private mount and network namespace
// of the test process: tmpfs over /etc/netplan, /etc/network/interfaces.d,
// /etc/NetworkManager/system-connections and /run, stand-ins for systemctl,
// netplan and nmcli first on PATH, and a veth pair whose end eth0 carries
// 192.0.2.10/25 with a default route via 192.0.2.1.
#pragma once

#include "log.h"
#include "network.h"

#include "support/fixtures.h"
#include "support/keyfile.h"
#include "support/netplan_tool.h"
#include "support/shell.h"
#include "support/text.h"
#include "testkit/files.h"
#include "testkit/namespaces.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <string>
#include <vector>

inline const char* const netplan_file = "/etc/netplan/01-netcfg.yaml";
inline const char* const stanza_file = "/etc/network/interfaces.d/eth0";
inline const char* const keyfile = "/etc/NetworkManager/system-connections/eth0.nmconnection";
inline const char* const config_dirs[] = {"/etc/netplan", "/etc/network/interfaces.d",
                                          "/etc/NetworkManager/system-connections", "/run"};

// Runs a shell command line; exit status and the merged output.
inline int run(const std::string& command, std::string* output = nullptr) {
    return run_Shell(command + " 2>&1", output);
}

// ---- The private namespaces, set up once per test process ------------------

inline std::string namespace_problem = "not set up";

class Namespace_Environment : public ::testing::Environment {
public:
    void SetUp() override {
        if (geteuid() != 0) {
            namespace_problem = "needs root for mount and network namespaces";
            return;
        }
        namespace_problem = enter_Private_Namespaces(PRIVATE_MOUNTS | PRIVATE_NETWORK);
        if (!namespace_problem.empty())
            return;
        for (const char* dir : config_dirs) {
            if (access(dir, F_OK) != 0) {
                namespace_problem = std::string("missing directory ") + dir;
                return;
            }
        }
        std::string output;
        if (run("ip link set lo up && ip link add eth0 type veth peer name eth0peer && "
                "ip link set eth0 address 02:00:5e:10:00:01 && ip link set eth0peer up",
                &output) != 0) {
            namespace_problem = "veth set-up failed: " + output;
            return;
        }
        namespace_problem.clear();
    }
};

inline const ::testing::Environment* const namespace_environment =
    ::testing::AddGlobalTestEnvironment(new Namespace_Environment);

// Stand-ins for the programs that cannot run here, each recording its calls:
// systemctl answers is-active from the file nm_state, nmcli answers
// "-t -f FIELD con show ..." from nm_FIELD.
inline const char* const fake_systemctl =
    "if [ \"$1\" = is-active ]; then cat @DIR@/nm_state 2>/dev/null; fi";
inline const char* const fake_nmcli =
    "if [ \"$1\" = -t ] && [ \"$2\" = -f ]; then cat \"@DIR@/nm_$3\" 2>/dev/null; fi";

class Network_Host : public Fake_Bin_Test {
protected:
    void SetUp() override {
        if (!namespace_problem.empty())
            GTEST_SKIP() << "namespace tests skipped: " << namespace_problem;
        ASSERT_NO_FATAL_FAILURE(Fake_Bin_Test::SetUp());
        ASSERT_EQ(mount_Empty_Dirs({std::begin(config_dirs), std::end(config_dirs)}, &mounted), "");
        mkdir("/run/network", 0755);
        install_Fake("systemctl", fake_systemctl);
        install_Fake("netplan", "");
        install_Fake("nmcli", fake_nmcli);
        set_Log_Output_File((dir + "/log").c_str(), "w");
        reset_Live_Network();
    }

    void TearDown() override {
        if (dir.empty())
            return;
        init_Log_Output();
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it)
            umount2(it->c_str(), MNT_DETACH);
        Fake_Bin_Test::TearDown();
    }

    static void reset_Live_Network() {
        run("ip -4 addr flush dev eth0; ip link set eth0 up && "
            "ip addr add 192.0.2.10/25 dev eth0 && ip route replace default via 192.0.2.1");
    }

    void set_Service(const char* answer) { write_File(dir + "/nm_state", answer); }
    void set_Nmcli_Answer(const std::string& field, const std::string& text) {
        write_File(dir + "/nm_" + field, text);
    }
    std::string log() const { return read_File(dir + "/log"); }

    // Runs the real netplan generator on `yaml`, which it must accept, and
    // returns its unit for eth0.
    static std::string netplan_Accepts(const std::string& yaml) {
        Netplan_Result netplan = netplan_Generate(yaml);
        EXPECT_TRUE(netplan.accepted) << netplan.output << yaml;
        return netplan.unit;
    }

    // Sends the BMC's sequence: mode, address, netmask, gateway, DNS1, DNS2.
    static void send_Static(const char* address, const char* netmask, const char* gateway,
                            const char* dns1, const char* dns2) {
        const char mode = 1;
        EXPECT_EQ(Network::set_Config(Network::MODE, &mode), 0);
        EXPECT_EQ(Network::set_Config(Network::IP_ADDRESS, address), 0);
        EXPECT_EQ(Network::set_Config(Network::SUBNETMASK, netmask), 0);
        EXPECT_EQ(Network::set_Config(Network::GATEWAY, gateway), 0);
        EXPECT_EQ(Network::set_Config(Network::DNS1, dns1), 0);
        EXPECT_EQ(Network::set_Config(Network::DNS2, dns2), 0);
    }

    static void send_Dhcp(const char* dns1, const char* dns2) {
        const char mode = 0;
        EXPECT_EQ(Network::set_Config(Network::MODE, &mode), 0);
        EXPECT_EQ(Network::set_Config(Network::DNS1, dns1), 0);
        EXPECT_EQ(Network::set_Config(Network::DNS2, dns2), 0);
    }

    std::vector<std::string> mounted;
};

inline const char* const default_netplan =
    "network:\n  ethernets:\n    eth0:\n      dhcp4: true\n      nameservers:\n"
    "        addresses:\n          - 1.1.1.1\n          - 8.8.8.8\n";

inline const char* const generated_keyfile =
    "[connection]\ntype=ethernet\nautoconnect=yes\nautoconnect-priority=0\n"
    "interface-name=eth0\n\n[ethernet]\n\n[ipv4]\nmethod=auto\n\n[proxy]\n";

inline const char* const static_stanza = "auto eth0\n"
                                         "iface eth0 inet static\n"
                                         "    hwaddress ether 02:00:5e:10:00:01\n"
                                         "    address 198.51.100.10\n"
                                         "    netmask 255.255.255.0\n"
                                         "    gateway 198.51.100.1\n";

inline std::map<std::string, std::string> snapshot_Config_Files() {
    std::map<std::string, std::string> files;
    for (const char* path : {netplan_file, stanza_file, keyfile})
        files[path] = file_Exists(path) ? read_File(path) : "<absent>";
    return files;
}
