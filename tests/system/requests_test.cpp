// The BMC's requests as the daemon carries them out: the hostname, the
// subaddresses it ignores, and the network settings handed to the network
// module with their types.
#include "system/support/card_host.h"
#include "system/support/daemon_log.h"
#include "system/support/fixture_and_waits.h"

#include "support/text.h"
#include "support/waits.h"
#include "testkit/files.h"

namespace systest {
namespace {

class RequestsTest : public BenchTest {
protected:
    std::vector<std::vector<std::string>> hostnamectl_calls() {
        std::vector<std::vector<std::string>> out;
        for (const auto& c : bench().standin_calls()) {
            if (c.program == "hostnamectl") {
                out.push_back(c.args);
            }
        }
        return out;
    }

    void send_hostname(const std::string& name, bool with_nul = true) {
        bench().send(
            pec_bench::make_string_packet(1, proto::NETWORK, proto::NET_HOSTNAME, name, with_nul));
    }

    // Waits until hostnamectl has been run `count` times in all.
    bool wait_hostnamectl(size_t count) {
        return eventually([&] { return hostnamectl_calls().size() >= count; }, seconds(60));
    }
};

std::vector<std::string> set_hostname(const std::string& name) {
    return {"set-hostname", name};
}

// A name is applied with one hostnamectl call; the same name again runs
// nothing, another name runs it again.
TEST_F(RequestsTest, HostnameIsAppliedOnce) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));

    send_hostname("card-07");
    send_hostname("card-07");
    send_hostname("card-08");
    ASSERT_TRUE(wait_hostnamectl(2));
    send_hostname("card-08");
    send_hostname("card-09");
    ASSERT_TRUE(wait_hostnamectl(3));
    ASSERT_TRUE(wait_requests_handled());

    EXPECT_EQ(hostnamectl_calls(),
              (std::vector<std::vector<std::string>>{
                  set_hostname("card-07"), set_hostname("card-08"), set_hostname("card-09")}));
    EXPECT_EQ(in_sandbox(bench(), "hostname"), "card-09\n");
    for (const auto& c : bench().standin_calls()) {
        EXPECT_EQ(c.status, 0) << c.line;
    }
}

// Names that are no hostname, or that try to reach the shell, are refused
// with an ERROR line each and run nothing; a refused name is not remembered,
// so the last applied name is still recognised afterwards. Names at the
// limits are applied, and a text without its NUL ends within the packet.
TEST_F(RequestsTest, InvalidOrHostileHostnameRunsNothing) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    const std::string marker = bench().run_dir() + "/injected";

    send_hostname("card-a");
    ASSERT_TRUE(wait_hostnamectl(1));

    const std::vector<std::string> refused = {
        "",
        "bad_name",
        "-lead",
        "trail-",
        "a..b",
        ".lead",
        "trail.",
        "a b",
        "tab\tname",
        "line\nbreak",
        "quote'name",
        "dquote\"name",
        "x;touch " + marker,
        "$(touch " + marker + ")",
        "`touch " + marker + "`",
        "x|touch " + marker,
        "x&&touch " + marker,
        "x>" + marker,
        "caf\xc3\xa9",
        std::string(64, 'a'),                              // a label of 64
        std::string(32, 'a') + "." + std::string(32, 'b'), // 65 in all
        std::string(120, 'c'),                             // past the command buffer
        std::string(249, 'd'),                             // the longest text a packet holds
    };
    for (const std::string& name : refused) {
        send_hostname(name);
    }
    send_hostname("card-a"); // still the remembered name: nothing runs
    send_hostname("card-b", false);
    send_hostname(std::string(63, 'e'));
    send_hostname(std::string(31, 'f') + "." + std::string(32, 'g'));
    ASSERT_TRUE(wait_hostnamectl(4));
    ASSERT_TRUE(wait_requests_handled());

    EXPECT_EQ(
        hostnamectl_calls(),
        (std::vector<std::vector<std::string>>{
            set_hostname("card-a"), set_hostname("card-b"), set_hostname(std::string(63, 'e')),
            set_hostname(std::string(31, 'f') + "." + std::string(32, 'g'))}));
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a hostile name reached the shell";
    EXPECT_EQ(count_Of(daemon_err(), error_line("Config", "set_Config_Hostname",
                                                "invalid hostname refused, nothing run")),
              refused.size())
        << daemon_err();
    EXPECT_EQ(in_sandbox(bench(), "hostname"),
              std::string(31, 'f') + "." + std::string(32, 'g') + "\n");
    EXPECT_TRUE(bench().daemon_running());
}

// Subaddresses 8 (MAC address), 9 (reset) and above are logged and ignored:
// no program runs, the settings stay as they were (an apply afterwards
// writes the old ones), and nothing is answered.
TEST_F(RequestsTest, SubaddressesEightNineAndAboveChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    const std::string netplan_file = bench().run_dir() + "/etc/netplan/01-netcfg.yaml";
    const std::string netplan_before = read_File(netplan_file);
    size_t trace_before = bench().trace().size();

    const std::vector<uint8_t> subaddresses = {8, 9, 10, 11, 42, 127, 128, 255};
    for (uint8_t sub : subaddresses) {
        bench().send(pec_bench::make_string_packet(1, proto::NETWORK, sub, "192.0.2.99", true));
        bench().send(
            pec_bench::make_packet(1, proto::WRITE, proto::UINT8, proto::NETWORK, sub, {1}));
        bench().send(pec_bench::make_string_packet(1, proto::NETWORK, sub, "card-x", true));
    }
    send_hostname("card-sentinel");
    ASSERT_TRUE(wait_hostnamectl(1));
    ASSERT_TRUE(wait_requests_handled());
    EXPECT_EQ(hostnamectl_calls(),
              (std::vector<std::vector<std::string>>{set_hostname("card-sentinel")}));
    EXPECT_EQ(bench().standin_calls().size(), 1u);
    EXPECT_EQ(read_File(netplan_file), netplan_before);
    EXPECT_EQ(count_Of(daemon_out(),
                       debug_line("I2C Packet", "I2C_BMC_Packet_Hander", "default=192.0.2.99 ")),
              subaddresses.size());

    // The settings the network module holds are still the loaded ones.
    ASSERT_TRUE(bench().command("apply"));
    ASSERT_TRUE(eventually(
        [&] {
            for (const auto& c : bench().standin_calls()) {
                if (c.program == "netplan" && !c.args.empty() && c.args[0] == "apply") {
                    return true;
                }
            }
            return false;
        },
        seconds(60)));
    std::string netplan_after = read_File(netplan_file);
    EXPECT_NE(netplan_after.find("192.0.2.10/24"), std::string::npos) << netplan_after;
    EXPECT_EQ(netplan_after.find("192.0.2.99"), std::string::npos) << netplan_after;
    EXPECT_NE(in_sandbox(bench(), "ip -4 -o addr show dev eth0").find("192.0.2.10/24"),
              std::string::npos);
    std::vector<TraceEvent> trace = bench().trace();
    for (const Report& r : reports_of(std::vector<TraceEvent>(
             trace.begin() + static_cast<long>(trace_before), trace.end()))) {
        EXPECT_NE(r.kind, ReportKind::OTHER) << "the card answered: " << show(r.packets[0]);
    }
}

// Each network setting reaches the network module under its own type: the
// handler's DEBUG lines name them, and the netplan file that the apply
// writes has every value in its place. The subaddress alone decides: an
// address setting sent under another address byte and packet type counts.
TEST_F(RequestsTest, NetworkRequestsReachSetConfigWithTheirTypes) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    const std::string netplan_file = bench().run_dir() + "/etc/netplan/01-netcfg.yaml";

    const std::string address = "192.0.2.20";
    Bytes ip(address.begin(), address.end());
    ip.push_back(0);
    ASSERT_TRUE(bench().run_script("mode static\n"
                                   "netmask 255.255.255.128\n"
                                   "gateway 192.0.2.1\n"
                                   "dns1 192.0.2.53\n"
                                   "dns2 198.51.100.53\n"));
    bench().send(pec_bench::make_packet(1, 3 /* READ */, proto::STRING, proto::DESCRIPTION,
                                        proto::NET_IP, ip));
    ASSERT_TRUE(bench().command("apply 0"));
    ASSERT_TRUE(bench().wait_for(reports_ip("192.0.2.20"), 1, seconds(90)))
        << "the new address was not reported";

    std::string out = daemon_out();
    const std::vector<std::string> lines = {
        "MODE=1 ",          "SUBNETMASK=255.255.255.128 ", "GATEWAY=192.0.2.1 ",
        "DNS1=192.0.2.53 ", "DNS2=198.51.100.53 ",         "IP_ADDRESS=192.0.2.20 ",
        "APPLY=0 "};
    size_t previous = 0;
    for (const std::string& text : lines) {
        size_t at = out.find(debug_line("I2C Packet", "I2C_BMC_Packet_Hander", text));
        EXPECT_NE(at, std::string::npos) << text;
        EXPECT_GE(at, previous) << text << " out of order";
        previous = at == std::string::npos ? previous : at;
    }

    std::string netplan = read_File(netplan_file);
    EXPECT_NE(netplan.find("192.0.2.20/25"), std::string::npos) << netplan;
    EXPECT_NE(netplan.find("via: 192.0.2.1"), std::string::npos) << netplan;
    size_t dns1 = netplan.find("192.0.2.53");
    size_t dns2 = netplan.find("198.51.100.53");
    EXPECT_NE(dns1, std::string::npos) << netplan;
    EXPECT_NE(dns2, std::string::npos) << netplan;
    EXPECT_LT(dns1, dns2) << netplan;
    EXPECT_NE(netplan.find("dhcp4: false"), std::string::npos) << netplan;
    EXPECT_NE(in_sandbox(bench(), "ip -4 -o addr show dev eth0").find("192.0.2.20/25"),
              std::string::npos);

    // The session, both ways, reads in pec-decode as in the bench's decoder.
    size_t transfers = 0;
    expect_decoded_as_the_bench(bench().trace(), &transfers);
    EXPECT_GE(transfers, 17u); // two sets of five or more at start, six requests, the apply
}

} // namespace
} // namespace systest
