// The card's IPv4 settings end to end: the simulated BMC sends a static
// configuration and an apply to the real daemon binary on the bench, once per
// way a host may manage its network. Afterwards eth0 in the card's namespaces
// carries the new address, the card's next description set reports it, and
// the manager's own configuration holds it as the real tools read it (netplan
// generate, ifquery, a running NetworkManager). One run sends hostile texts
// instead and shows that nothing changes.
// Needs root: the bench's sandbox uses mount, network and PID namespaces.

#include "system/support/card_host.h"
#include "system/support/daemon_log.h"
#include "system/support/fixture_and_waits.h"

#include "support/netplan_tool.h"
#include "support/shell.h"
#include "support/text.h"
#include "support/waits.h"
#include "testkit/files.h"

#include <yaml-cpp/yaml.h>

#include <signal.h>


namespace systest {
namespace {

const char* const netplan_file = "/etc/netplan/01-netcfg.yaml";
const char* const stanza_file = "/etc/network/interfaces.d/eth0";
const char* const keyfile = "/etc/NetworkManager/system-connections/eth0.nmconnection";

// What the BMC sends in one static configuration.
struct Addressing {
    const char* ip;
    const char* netmask;
    int prefix;
    const char* gateway;
    const char* dns1;
    const char* dns2;
};

// ---- Files and commands --------------------------------------------------------

std::string joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts)
        all += (all.empty() ? "\"" : ", \"") + t + "\"";
    return "[" + all + "]";
}

// Repeats `command` in the sandbox for up to `timeout` until its output is
// `expected`; returns the last output.
std::string await_In_Sandbox(const Bench& bench, const std::string& command,
                             const std::string& expected, seconds timeout) {
    std::string output;
    eventually([&] { return (output = in_sandbox(bench, command)) == expected; }, timeout,
               milliseconds(200));
    return output;
}

// ---- The card's reports --------------------------------------------------------

bool is_IP_Report(const TraceEvent& e) {
    return is_card_write(e) && is_description(e.packet, proto::DESC_IP_ADDRESS);
}

bool is_Apply_Delivery(const TraceEvent& e) {
    return e.event == "card_read" && e.packet.address() == proto::NETWORK &&
           e.packet.subaddress() == proto::NET_APPLY;
}

// The addresses the card reported in its description sets since the BMC's
// last apply reached it (all of them when none has).
std::vector<std::string> reports_Since_Apply(const Bench& bench) {
    std::vector<TraceEvent> trace = bench.trace();
    size_t from = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (is_Apply_Delivery(trace[i]))
            from = i + 1;
    }
    std::vector<std::string> reports;
    for (size_t i = from; i < trace.size(); ++i) {
        if (is_IP_Report(trace[i]))
            reports.push_back(trace[i].packet.text());
    }
    return reports;
}

std::string daemon_Log(const Bench& bench) {
    return "daemon stdout:\n" + bench.daemon_stdout() + "daemon stderr:\n" + bench.daemon_stderr() +
           "sandbox log:\n" + read_File(bench.run_dir() + "/sandbox.log");
}

// The BMC's sequence for a static address, in the order its firmware sends it.
void send_Static(Bench& bench, const Addressing& a) {
    std::string error;
    ASSERT_TRUE(bench.run_script(std::string("mode static\n") + "ip " + a.ip + "\nnetmask " +
                                     a.netmask + "\ngateway " + a.gateway + "\ndns1 " + a.dns1 +
                                     "\ndns2 " + a.dns2 + "\napply\n",
                                 &error))
        << error;
}

// After the apply the card's next description set carries the new address.
// While the manager takes eth0 down and up again the card may see it without
// an address for a moment and report "0.0.0.0" first; it must then report the
// new address and nothing else.
void expect_Reported(Bench& bench, const std::string& ip) {
    bool seen = bench.wait_for(reports_ip(ip), 1, seconds(60));
    std::vector<std::string> reports = reports_Since_Apply(bench);
    ASSERT_TRUE(seen) << "card never reported " << ip << "; reports since the apply "
                      << joined(reports) << "\n"
                      << daemon_Log(bench);
    size_t next = 0;
    while (next < reports.size() && reports[next] == "0.0.0.0")
        ++next;
    ASSERT_LT(next, reports.size()) << joined(reports);
    for (size_t i = next; i < reports.size(); ++i)
        EXPECT_EQ(reports[i], ip) << "reports since the apply " << joined(reports);
}

// eth0 carries exactly the new address, and the default route goes through
// the new gateway.
void expect_Live(const Bench& bench, const Addressing& a) {
    const std::string cidr = std::string(a.ip) + "/" + std::to_string(a.prefix);
    EXPECT_EQ(await_In_Sandbox(bench, "ip -4 -o addr show dev eth0 | awk '{print $4}'", cidr + "\n",
                               seconds(10)),
              cidr + "\n");
    const std::string route = std::string("default via ") + a.gateway + " dev eth0";
    EXPECT_EQ(await_In_Sandbox(bench, "ip -4 route show default | awk '{print $1, $2, $3, $4, $5}'",
                               route + "\n", seconds(10)),
              route + "\n");
}

void expect_No_Network_Errors(const Bench& bench) {
    EXPECT_FALSE(contains(bench.daemon_stderr(), "[Network]")) << bench.daemon_stderr();
}

// The calls of one stand-in program whose first argument is `verb`.
std::vector<pec_bench::StandinCall> calls_Of(const Bench& bench, const std::string& program,
                                             const std::string& verb) {
    std::vector<pec_bench::StandinCall> calls;
    for (const pec_bench::StandinCall& c : bench.standin_calls()) {
        if (c.program == program && !c.args.empty() && c.args[0] == verb)
            calls.push_back(c);
    }
    return calls;
}

// ---- Reading the managers' configuration ----------------------------------------

// A YAML node in flow form with its keys in file order, so one comparison
// checks content and order: {network: {ethernets: {eth0: {dhcp4: true}}}}.
std::string flow(const YAML::Node& node) {
    std::string text;
    switch (node.Type()) {
    case YAML::NodeType::Map:
        for (const auto& entry : node)
            text += (text.empty() ? "" : ", ") + entry.first.as<std::string>() + ": " +
                    flow(entry.second);
        return "{" + text + "}";
    case YAML::NodeType::Sequence:
        for (const auto& entry : node)
            text += (text.empty() ? "" : ", ") + flow(entry);
        return "[" + text + "]";
    case YAML::NodeType::Scalar:
        return node.as<std::string>();
    default:
        return "~";
    }
}

std::string netplan_Flow(const Bench& bench) {
    try {
        return flow(YAML::LoadFile(host_path(bench, netplan_file)));
    } catch (const std::exception& e) {
        return std::string("not loadable: ") + e.what();
    }
}

// What the real netplan makes of the card's netplan file.
Netplan_Result netplan_Generate(const Bench& bench) {
    return ::netplan_Generate(read_File(host_path(bench, netplan_file)));
}

// The interface map of a static apply, keys in the order the update leaves
// them.
std::string static_Interface_Map(const Addressing& a) {
    return std::string("{dhcp4: false, addresses: [") + a.ip + "/" + std::to_string(a.prefix) +
           "], routes: [{to: default, via: " + a.gateway + "}], nameservers: {addresses: [" +
           a.dns1 + ", " + a.dns2 + "]}}";
}

// After a static apply the netplan file holds the host's own top-level keys
// (`host_keys`, flow form) and the update's interface map, keys in order, and
// only its owner may read it. The real netplan accepts the file and makes of
// it the static address, the default route and the two name servers.
void expect_Netplan_Static(const Bench& bench, const Addressing& a, const std::string& host_keys) {
    EXPECT_EQ(netplan_Flow(bench),
              "{network: {" + host_keys + "ethernets: {eth0: " + static_Interface_Map(a) + "}}}");
    EXPECT_EQ(file_Mode(host_path(bench, netplan_file)), 0600);
    const Netplan_Result netplan = netplan_Generate(bench);
    ASSERT_TRUE(netplan.accepted) << "netplan generate refused the file: " << netplan.output << "\n"
                                  << read_File(host_path(bench, netplan_file));
    const std::string& unit = netplan.unit;
    EXPECT_TRUE(contains(unit, std::string("Address=") + a.ip + "/" + std::to_string(a.prefix)))
        << unit;
    EXPECT_TRUE(contains(unit, std::string("Gateway=") + a.gateway)) << unit;
    EXPECT_TRUE(contains(unit, std::string("DNS=") + a.dns1)) << unit;
    EXPECT_TRUE(contains(unit, std::string("DNS=") + a.dns2)) << unit;
    EXPECT_FALSE(contains(unit, "DHCP=")) << unit;
    // The bench's "netplan apply" ran the same check inside the card's host.
    std::vector<pec_bench::StandinCall> applies = calls_Of(bench, "netplan", "apply");
    ASSERT_EQ(applies.size(), 1u);
    EXPECT_EQ(applies[0].status, 0) << read_File(bench.run_dir() + "/netplan-apply.errors");
}

// NetworkManager holds the settings of the modify command, the device runs
// them from the daemon's keyfile, and NetworkManager wrote them to it.
void expect_Network_Manager_Static(const Bench& bench, const Addressing& a) {
    const std::string cidr = std::string(a.ip) + "/" + std::to_string(a.prefix);
    int status = -1;
    std::string output = in_sandbox(
        bench, "nmcli -t -f ipv4.method,ipv4.addresses,ipv4.gateway,ipv4.dns con show eth0",
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "ipv4.method:manual\nipv4.addresses:" + cidr + "\nipv4.gateway:" + a.gateway +
                          "\nipv4.dns:" + a.dns1 + "," + a.dns2 + "\n");
    const std::string active = std::string("eth0:eth0:") + keyfile + "\n";
    EXPECT_EQ(await_In_Sandbox(bench, "nmcli -t -f NAME,DEVICE,FILENAME con show --active", active,
                               seconds(10)),
              active);
    output = in_sandbox(bench, "nmcli -t -f NAME con show");
    EXPECT_EQ(count_Of("\n" + output, "\neth0\n"), 1u) << "one connection named eth0:\n" << output;
    output = in_sandbox(bench, "nmcli -t -f ip4.address,ip4.gateway device show eth0");
    EXPECT_EQ(output, "IP4.ADDRESS[1]:" + cidr + "\nIP4.GATEWAY:" + a.gateway + "\n");

    const std::string file = read_File(host_path(bench, keyfile));
    EXPECT_TRUE(contains(file, "\nmethod=manual\n")) << file;
    EXPECT_TRUE(contains(file, "\naddress1=" + cidr)) << file;
    EXPECT_EQ(file_Mode(host_path(bench, keyfile)), 0600);
    // Neither of the other managers' activations ran.
    EXPECT_TRUE(calls_Of(bench, "netplan", "apply").empty());
    EXPECT_TRUE(calls_Of(bench, "systemctl", "restart").empty());
}

class NetworkSystem : public BenchTest {
protected:
    void SetUp() override {
        BenchTest::SetUp();
        if (IsSkipped())
            return;
        if (run_Shell("command -v nsenter >/dev/null") != 0)
            GTEST_SKIP() << "nsenter is missing: eth0 cannot be read inside the sandbox";
    }

    // Starts the daemon on the bench host `name` and waits for its two
    // description sets of start-up: the first goes out before the first
    // sample of eth0, the second after it. When the sandbox could not bring
    // up the system bus or NetworkManager, the test is skipped with what the
    // sandbox logged: that is this machine, not the card.
    void start_Card(const char* name) {
        ASSERT_NO_FATAL_FAILURE(start(scenario(name)));
        if (bench().wait_for(is_IP_Report, 2, seconds(60)))
            return;
        const std::string sandbox_log = read_File(bench().run_dir() + "/sandbox.log");
        if (contains(sandbox_log, "sandbox: NetworkManager did not start") ||
            contains(sandbox_log, "sandbox: dbus-daemon failed"))
            GTEST_SKIP() << "NetworkManager cannot run in the bench's sandbox on this machine:\n"
                         << sandbox_log << "NetworkManager log:\n"
                         << read_File(bench().run_dir() + "/nm.log");
        FAIL() << "no start-up description sets\n" << daemon_Log(bench());
    }

    // start_Card, and the daemon found `manager` managing eth0. False when
    // the test cannot go on (it failed or was skipped).
    bool start_Host(const char* name, const char* manager) {
        start_Card(name);
        if (HasFatalFailure() || IsSkipped())
            return false;
        const std::string out = daemon_out();
        EXPECT_TRUE(contains(out, std::string("Interface: eth0, Manager Type: ") + manager + "\n"))
            << out;
        return true;
    }

    // The BMC sends a static configuration and its apply; the card reports
    // the new address and eth0 carries it.
    void apply_Static(const Addressing& a) {
        ASSERT_NO_FATAL_FAILURE(send_Static(bench(), a));
        ASSERT_NO_FATAL_FAILURE(expect_Reported(bench(), a.ip));
        expect_Live(bench(), a);
    }
};

TEST_F(NetworkSystem, NetplanHostTakesStaticAddressFromBmc) {
    const Addressing a = {"198.51.100.23", "255.255.255.0", 24,
                          "198.51.100.1",  "203.0.113.53",  "198.51.100.53"};
    if (!start_Host("netplan", "netplan"))
        return;
    EXPECT_TRUE(calls_Of(bench(), "netplan", "apply").empty());

    ASSERT_NO_FATAL_FAILURE(apply_Static(a));
    // The host's own keys stay where they were.
    expect_Netplan_Static(bench(), a, "version: 2, renderer: networkd, ");
    expect_No_Network_Errors(bench());
}

TEST_F(NetworkSystem, HostWithoutManagerGetsNetplanFileAndTakesStaticAddress) {
    const Addressing a = {"192.0.2.77",  "255.255.255.0", 24,
                          "192.0.2.254", "203.0.113.53",  "198.51.100.53"};
    if (!start_Host("none", "netplan"))
        return;

    // Start-up found no configuration and NetworkManager inactive: the daemon
    // wrote the default netplan file, which only its owner may read.
    const std::string out = daemon_out();
    EXPECT_TRUE(contains(out, "init_netplan_Config: Generated: /etc/netplan/01-netcfg.yaml\n"))
        << out;
    EXPECT_EQ(netplan_Flow(bench()),
              "{network: {ethernets: {eth0: {dhcp4: true, nameservers: {addresses: [1.1.1.1, "
              "8.8.8.8]}}}}}");
    EXPECT_EQ(file_Mode(host_path(bench(), netplan_file)), 0600);
    EXPECT_FALSE(file_Exists(host_path(bench(), keyfile)));
    const Netplan_Result netplan = netplan_Generate(bench());
    const std::string& unit = netplan.unit;
    EXPECT_TRUE(contains(unit, "DHCP=ipv4")) << netplan.output << unit;
    EXPECT_TRUE(contains(unit, "DNS=1.1.1.1")) << unit;
    EXPECT_TRUE(contains(unit, "DNS=8.8.8.8")) << unit;

    ASSERT_NO_FATAL_FAILURE(apply_Static(a));
    expect_Netplan_Static(bench(), a, "");
    // The generated file is found from then on: it is written once.
    EXPECT_EQ(count_Of(daemon_out(), "Generated:"), 1u);
    expect_No_Network_Errors(bench());
}

TEST_F(NetworkSystem, IfupdownHostTakesStaticAddressFromBmc) {
    const Addressing a = {"203.0.113.40", "255.255.255.192", 26,
                          "203.0.113.1",  "203.0.113.53",    "198.51.100.53"};
    if (!start_Host("ifupdown", "ifupdown"))
        return;

    ASSERT_NO_FATAL_FAILURE(apply_Static(a));
    // The stanza's three values rewritten in place; the name servers have no
    // key in a stanza and are not written.
    EXPECT_EQ(read_File(host_path(bench(), stanza_file)),
              std::string("auto eth0\niface eth0 inet static\n    address ") + a.ip +
                  "\n    netmask " + a.netmask + "\n    gateway " + a.gateway + "\n");
    int status = -1;
    const std::string output = in_sandbox(bench(), "ifquery eth0", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(contains(output, std::string("address: ") + a.ip + "\n")) << output;
    EXPECT_TRUE(contains(output, std::string("netmask: ") + a.netmask + "\n")) << output;
    EXPECT_TRUE(contains(output, std::string("gateway: ") + a.gateway + "\n")) << output;
    std::vector<pec_bench::StandinCall> restarts = calls_Of(bench(), "systemctl", "restart");
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_EQ(restarts[0].args, (std::vector<std::string>{"restart", "networking.service"}));
    EXPECT_EQ(restarts[0].status, 0) << read_File(bench().run_dir() + "/ifupdown.log");
    EXPECT_TRUE(calls_Of(bench(), "netplan", "apply").empty());
    EXPECT_FALSE(file_Exists(host_path(bench(), netplan_file)));
    expect_No_Network_Errors(bench());
}

TEST_F(NetworkSystem, NetworkManagerHostTakesStaticAddressFromBmc) {
    const Addressing a = {"198.51.100.77", "255.255.255.128", 25,
                          "198.51.100.1",  "203.0.113.53",    "198.51.100.53"};
    if (!start_Host("nm", "network manager"))
        return;
    // The host's keyfile was there: nothing is generated.
    const std::string out = daemon_out();
    EXPECT_FALSE(contains(out, "Generated:")) << out;

    ASSERT_NO_FATAL_FAILURE(apply_Static(a));
    expect_Network_Manager_Static(bench(), a);
    EXPECT_TRUE(contains(read_File(host_path(bench(), keyfile)), "\nid=eth0\n"));
    expect_No_Network_Errors(bench());
}

TEST_F(NetworkSystem, NetworkManagerHostWithoutKeyfileGetsOneAndTakesStaticAddress) {
    const Addressing a = {"203.0.113.99",  "255.255.255.0", 24,
                          "203.0.113.254", "203.0.113.53",  "198.51.100.53"};
    if (!start_Host("nm-no-keyfile", "network manager"))
        return;

    // NetworkManager ran without a keyfile for eth0: the daemon wrote its own,
    // owner-only, and had NetworkManager load it in place of the runtime
    // connection it had made of eth0's addresses.
    const std::string out = daemon_out();
    EXPECT_TRUE(
        contains(out, std::string("init_Network_Manager_Config: Generated: ") + keyfile + "\n"))
        << out;
    EXPECT_TRUE(contains(out, "init_Network_Manager_Config: Config Reloaded\n")) << out;
    EXPECT_EQ(read_File(host_path(bench(), keyfile)),
              "[connection]\ntype=ethernet\nautoconnect=yes\nautoconnect-priority=0\n"
              "interface-name=eth0\n\n[ethernet]\n\n[ipv4]\nmethod=auto\n\n[proxy]\n");
    EXPECT_EQ(file_Mode(host_path(bench(), keyfile)), 0600);
    EXPECT_FALSE(file_Exists(host_path(bench(), netplan_file)));
    const std::string profiles = in_sandbox(bench(), "nmcli -t -f NAME,FILENAME con show");
    EXPECT_TRUE(contains(profiles, std::string("eth0:") + keyfile + "\n")) << profiles;
    EXPECT_FALSE(contains(profiles, ":/run/")) << profiles;

    ASSERT_NO_FATAL_FAILURE(apply_Static(a));
    expect_Network_Manager_Static(bench(), a);
    EXPECT_EQ(count_Of(daemon_out(), "Generated:"), 1u);
    expect_No_Network_Errors(bench());
}

// An apply whose command fails gets one ERROR line with the command's last
// line of standard error; one that hangs is killed at its time limit (the
// real one: two minutes) with one ERROR line, and the link then serves the
// request queued behind it.
TEST_F(NetworkSystem, FailingOrHungApplyIsReportedAndTheLinkGoesOn) {
    const Addressing a = {"198.51.100.23", "255.255.255.0", 24,
                          "198.51.100.1",  "203.0.113.53",  "198.51.100.53"};
    if (!start_Host("netplan", "netplan"))
        return;
    const std::string failed =
        error_line("Command", "report_Outcome",
                   "\"netplan apply\" failed with exit status 1: netplan (bench stand-in): apply "
                   "failed as the test asked");
    const std::string killed = error_line("Command", "report_Outcome",
                                          "\"netplan apply\" killed after its 120.0 s time limit");
    write_File(bench().run_dir() + "/netplan-apply.fail", "");
    ASSERT_NO_FATAL_FAILURE(send_Static(bench(), a));
    EXPECT_TRUE(eventually([&] { return contains(daemon_err(), failed); }, seconds(60)))
        << daemon_Log(bench());

    remove((bench().run_dir() + "/netplan-apply.fail").c_str());
    write_File(bench().run_dir() + "/netplan-apply.hang", "");
    std::string error;
    ASSERT_TRUE(bench().run_script("apply\nhostname card-17\n", &error)) << error;
    EXPECT_TRUE(eventually([&] { return contains(daemon_err(), killed); }, seconds(200)))
        << daemon_Log(bench());
    EXPECT_TRUE(
        eventually([&] { return in_sandbox(bench(), "hostname") == "card-17\n"; }, seconds(60)))
        << daemon_Log(bench());
    const std::string errors = daemon_err();
    EXPECT_EQ(count_Of(errors, failed), 1u) << errors;
    EXPECT_EQ(count_Of(errors, killed), 1u) << errors;
    EXPECT_EQ(calls_Of(bench(), "netplan", "apply").size(), 2u);
    EXPECT_TRUE(bench().daemon_running());
}

// A stop (SIGTERM, as systemd sends it) while an apply runs: the apply runs
// to its end, the link reads no request after it (the ping queued behind it
// stays with the BMC), and only then does the daemon exit, with status 0 and
// its line. The stand-in's call is recorded when it ends: had the daemon
// gone first, the end of the sandbox's PID namespace would have killed it.
TEST_F(NetworkSystem, StopDuringApplyLetsItFinish) {
    const Addressing a = {"198.51.100.24", "255.255.255.0", 24,
                          "198.51.100.1",  "203.0.113.53",  "198.51.100.53"};
    if (!start_Host("netplan", "netplan"))
        return;
    const std::string run = bench().run_dir();
    write_File(run + "/netplan-apply.hold", "");
    ASSERT_NO_FATAL_FAILURE(send_Static(bench(), a));
    ASSERT_TRUE(bench().command("ping"));
    ASSERT_TRUE(
        eventually([&] { return file_Exists(run + "/netplan-apply.running"); }, seconds(60)))
        << daemon_Log(bench());
    auto is_request_read = [](const TraceEvent& e) {
        return is_card_read(e) && !e.packet.raw.empty();
    };
    const size_t reads = count_events(bench().trace(), is_request_read);

    ASSERT_EQ(kill(bench().daemon_pid(), SIGTERM), 0);
    // The main loop takes the signal in its pause and asks the link to stop.
    ASSERT_TRUE(bench().wait_for(
        [](const TraceEvent& e) {
            return e.event == "notify" && e.detail == "STOPPING=1\nSTATUS=stopping on signal 15";
        },
        1, seconds(30)))
        << daemon_Log(bench());
    EXPECT_TRUE(bench().daemon_running()) << "the daemon did not wait for the apply";
    write_File(run + "/netplan-apply.go", "");

    std::vector<TraceEvent> exits;
    ASSERT_TRUE(bench().wait_for([](const TraceEvent& e) { return e.event == "daemon_exit"; }, 1,
                                 seconds(60), &exits))
        << daemon_Log(bench());
    EXPECT_EQ(exits[0].detail, "exit status 0");
    const std::vector<pec_bench::StandinCall> applies = calls_Of(bench(), "netplan", "apply");
    ASSERT_EQ(applies.size(), 1u) << daemon_Log(bench());
    EXPECT_EQ(applies[0].status, 0);
    EXPECT_EQ(count_events(bench().trace(), is_request_read), reads);
    EXPECT_EQ(count_Of(daemon_out(), info_line("main", "main", "stopped on signal 15")), 1u)
        << daemon_out();
    EXPECT_EQ(daemon_err(), "");
}

// Texts that are not a dotted-quad address: each is refused with an ERROR
// line, none reaches the stanza file (written at once on this host) or a
// command line, and the apply that follows leaves eth0 as it was.
TEST_F(NetworkSystem, HostileValuesFromBmcChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(start_Card("ifupdown"));
    const std::string stanza = read_File(host_path(bench(), stanza_file));
    ASSERT_TRUE(contains(stanza, "address 192.0.2.10\n")) << stanza;
    // A value that got through would leave this file behind: the daemon's
    // environment and the sandbox see the run directory at the same path.
    const std::string marker = bench().run_dir() + "/injected";

    struct Hostile {
        uint8_t subaddress;
        std::string text;
    };
    const Hostile hostile[] = {
        {proto::NET_IP, "192.0.2.99\n    up touch " + marker},
        {proto::NET_IP, "192.0.2.99;touch " + marker},
        {proto::NET_GATEWAY, "192.0.2.1$(touch " + marker + ")"},
        {proto::NET_NETMASK, "255.255.255.0' `touch " + marker + "` '"},
        {proto::NET_DNS1, "{addresses: [192.0.2.53]}"},
        {proto::NET_DNS2, "192.0.2.53 192.0.2.54"},
        {proto::NET_IP, "192.0.2.300"},
        {proto::NET_IP, " 192.0.2.99"},
        {proto::NET_GATEWAY, "192.0.2.1" + std::string(220, '1')},
    };
    for (const Hostile& h : hostile)
        bench().send(pec_bench::make_string_packet(1, proto::NETWORK, h.subaddress, h.text, true));
    std::string error;
    ASSERT_TRUE(bench().run_script("apply\n", &error)) << error;

    // The apply restarts the networking service; wait for it to finish.
    eventually([&] { return !calls_Of(bench(), "systemctl", "restart").empty(); }, seconds(30));
    ASSERT_EQ(calls_Of(bench(), "systemctl", "restart").size(), 1u) << daemon_Log(bench());

    EXPECT_EQ(read_File(host_path(bench(), stanza_file)), stanza);
    EXPECT_FALSE(file_Exists(marker));
    const std::string errors = daemon_err();
    EXPECT_EQ(count_Of(errors, "[ERROR]\t[Network] set_Config: "),
              sizeof(hostile) / sizeof(hostile[0]))
        << errors;
    const Addressing before = {"192.0.2.10", "255.255.255.0", 24, "192.0.2.1", "", ""};
    expect_Live(bench(), before);
    // The card keeps reporting the address it had.
    ASSERT_TRUE(wait_main_loop_cycles(2)) << "the main loop stopped";
    for (const std::string& ip : reports_Since_Apply(bench()))
        EXPECT_TRUE(ip == "192.0.2.10" || ip == "0.0.0.0") << ip;
}

} // namespace
} // namespace systest
