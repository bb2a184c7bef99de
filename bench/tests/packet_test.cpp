// Decoding of wire packets and the request script language.

#include "bench_test_util.h"
#include "support/wire_examples.h"

#include <gtest/gtest.h>

using pec_bench::Bytes;
using pec_bench::Packet;

// Every packet of the shared wire table decodes to its printed forms and
// back to its bytes.
TEST(BenchPacket, DecodesByTypeAndName) {
    for (const Wire_Example& example : wire_Examples()) {
        Packet p;
        ASSERT_TRUE(pec_bench::parse_hex(example.wire, &p.raw)) << example.description;
        EXPECT_EQ(pec_bench::describe(p), example.decoded) << example.wire;
        EXPECT_EQ(pec_bench::value_text(p), example.value) << example.wire;
        EXPECT_EQ(pec_bench::hex(p.raw), example.wire);
    }
}

TEST(BenchPacket, JsonCarriesNamesValueAndRawBytes) {
    Packet p;
    ASSERT_TRUE(pec_bench::parse_hex(wire_Example("OS name").wire, &p.raw));
    EXPECT_EQ(pec_bench::packet_json(p),
              "{\"len\":12,\"node\":0,\"broadcast\":false,\"response\":false,\"type\":\"WRITE\","
              "\"address\":\"DESCRIPTION\",\"sub\":5,\"subaddress\":\"SUBADDRESS_DESCRIPTION_OS\","
              "\"data_type\":\"STRING\",\"value\":\"Ubuntu\",\"raw\":\"0c 00 55 00 05 55 62 75 6e "
              "74 75 00\"}");
    Packet q;
    q.raw = {7, 0, 0x55, 0, 5, '"', '\n'};
    EXPECT_NE(pec_bench::packet_json(q).find("\"value\":\"\\\"\\n\""), std::string::npos);
}

TEST(BenchPacket, HexParsingRejectsBadInput) {
    Bytes b;
    EXPECT_TRUE(pec_bench::parse_hex("0c0055 0x1f", &b));
    EXPECT_EQ(b, (Bytes{0x0c, 0x00, 0x55, 0x1f}));
    for (const char* bad : {"0", "zz", "0c 5", "1g"}) {
        EXPECT_FALSE(pec_bench::parse_hex(bad, &b)) << bad;
    }
}

namespace {

struct ScriptCase {
    const char* line;
    std::string queued; // hex of the packet queued, or "" for none
};

} // namespace

TEST(BenchScript, EachRequestLineQueuesItsPacket) {
    pec_bench::Scenario sc;
    pec_bench::Bench bench(sc);
    const ScriptCase cases[] = {
        {"mode static", "06 01 05 0e 00 01"},
        {"mode dhcp", "06 01 05 0e 00 00"},
        {"ip 192.0.2.20", "10 01 55 0e 01 31 39 32 2e 30 2e 32 2e 32 30 00"},
        {"gateway 192.0.2.1", "0f 01 55 0e 02 31 39 32 2e 30 2e 32 2e 31 00"},
        {"netmask 255.255.255.0", "13 01 55 0e 03 32 35 35 2e 32 35 35 2e 32 35 35 2e 30 00"},
        {"dns1 192.0.2.53", "10 01 55 0e 04 31 39 32 2e 30 2e 32 2e 35 33 00"},
        {"dns2 198.51.100.53", "13 01 55 0e 05 31 39 38 2e 35 31 2e 31 30 30 2e 35 33 00"},
        {"apply", wire_Example("apply").wire},
        {"apply 0", "06 01 05 0e 06 00"},
        {"hostname card-07", wire_Example("hostname card-07").wire},
        {"ping", wire_Example("ping from node 1").wire},
        {"raw 0c 00 55 00 05 55 62 75 6e 74 75 00", wire_Example("OS name").wire},
        {"  # only a comment", ""},
        {"", ""},
    };
    for (const ScriptCase& c : cases) {
        size_t before = bench.trace().size();
        std::string error;
        ASSERT_TRUE(bench.command(c.line, &error)) << c.line << ": " << error;
        auto t = bench.trace();
        std::string queued;
        for (size_t i = before; i < t.size(); ++i) {
            if (t[i].event == "bmc_queue") {
                queued = pec_bench::hex(t[i].packet.raw);
            }
        }
        EXPECT_EQ(queued, c.queued) << c.line;
    }
    // The node command changes the node id of what follows.
    ASSERT_TRUE(bench.command("node 7"));
    ASSERT_TRUE(bench.command("ping"));
    EXPECT_EQ(pec_bench::hex(bench.trace().back().packet.raw), "03 07 01");
}

TEST(BenchScript, BadLinesAreRefusedWithTheirReason) {
    pec_bench::Scenario sc;
    pec_bench::Bench bench(sc);
    for (const char* bad : {"ip 192.0.2",
                            "ip 192.0.2.256",
                            "ip 192.0.2.1.",
                            "ip",
                            "mode fast",
                            "mode 300",
                            "hostname",
                            "hostname a b",
                            "raw",
                            "raw 0g",
                            "truncated 0 01 02",
                            "garbage 0",
                            "garbage 257",
                            "temp hot",
                            "wait -1",
                            "wait-for ip nowhere",
                            "fault write-fail sometimes",
                            "fault line-low maybe",
                            "fault idle 0102",
                            "fault nosuch on",
                            "frobnicate",
                            "node 128"}) {
        std::string error;
        EXPECT_FALSE(bench.command(bad, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(bench.run_script("ping\nbogus line\nping\n", &error));
    EXPECT_EQ(error, "unknown command: bogus line");
}

TEST(BenchScenario, NamesAreKnownAndDistinct) {
    std::vector<std::string> names = pec_bench::scenario_names();
    for (const std::string& n : names) {
        pec_bench::Scenario s;
        ASSERT_TRUE(pec_bench::scenario_by_name(n, &s)) << n;
        EXPECT_EQ(s.name, n);
    }
    pec_bench::Scenario s;
    EXPECT_FALSE(pec_bench::scenario_by_name("bogus", &s));
    ASSERT_TRUE(pec_bench::scenario_by_name("netplan-bound-4d", &s));
    EXPECT_EQ(s.sensor.address, 0x4D);
    EXPECT_TRUE(s.sensor.bound);
    ASSERT_TRUE(pec_bench::scenario_by_name("nm-no-keyfile", &s));
    EXPECT_EQ(s.manager, pec_bench::Manager::NETWORK_MANAGER_NO_KEYFILE);
}
