// The device interposer, driven by a program that makes the daemon's calls,
// against the simulated BMC (no sandbox, no root needed).

#include "bench_test_util.h"
#include "support/wire_examples.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <unistd.h>

using bench_test::run_card;
using pec_bench::Bench;
using pec_bench::Bytes;
using pec_bench::Scenario;
using pec_bench::TraceEvent;
using Lines = std::vector<std::string>;

namespace {

// The example's bytes as the fake card takes and prints them: hex without
// blanks.
std::string packed(const char* description) {
    std::string hex = wire_Example(description).wire;
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

} // namespace

TEST(BenchInterposer, OtherDescriptorsAndPathsPassThroughUntouched) {
    Bench bench{Scenario{}};
    Temp_Dir dir("bench_interposer");
    std::string file = dir.path() + "/plain";
    // A plain file before and after the bus: the bus descriptor's number is
    // reused at once for the file, which must then reach the real kernel.
    Lines out = run_card(bench.socket_path(), "fdnum file " + file + " i2c close file " + file);
    ASSERT_EQ(out.size(), 5u);
    std::string fd = out[0].substr(6);
    EXPECT_EQ(out[1], "file fd=" + fd + " write 5 read 5 hello fionread 0 5");
    EXPECT_EQ(out[2], "i2c " + fd + " 0");
    EXPECT_EQ(out[3], "close 0");
    EXPECT_EQ(out[4], out[1]);
    // Nothing but the one open reached the simulator.
    for (const auto& e : bench.trace()) {
        EXPECT_TRUE(e.event == "note" || e.event == "open" || e.event == "close") << e.json;
    }
}

TEST(BenchInterposer, TransfersKeepPacketBoundaries) {
    Bench bench{Scenario{}};
    bench.send(wire_Bytes(wire_Example("hostname card-07")));
    bench.send(wire_Bytes(wire_Example("ping from node 1")));
    Lines out =
        run_card(bench.socket_path(), "i2c slave 8 write " + packed("OS name") + " write " +
                                          packed("ping") + " write " + packed("temperature 42.5") +
                                          " read 256 read 256 read 256 close");
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[2], "write 12 0");
    EXPECT_EQ(out[3], "write 3 0");
    EXPECT_EQ(out[4], "write 9 0");
    EXPECT_EQ(out[5], "read 256 " + packed("hostname card-07"));
    EXPECT_EQ(out[6], "read 256 " + packed("ping from node 1"));
    EXPECT_EQ(out[7], "read 256 00"); // idle: nothing queued
    std::vector<pec_bench::Packet> card = bench.card_packets();
    ASSERT_EQ(card.size(), 3u);
    EXPECT_EQ(pec_bench::hex(card[0].raw), wire_Example("OS name").wire);
    EXPECT_EQ(pec_bench::hex(card[1].raw), wire_Example("ping").wire);
    EXPECT_EQ(card[2].text(), "");
    EXPECT_EQ(pec_bench::value_text(card[2]), "[42.5]");
}

TEST(BenchInterposer, LineHandleSurvivesClosingTheChip) {
    Bench bench{Scenario{}};
    bench.send(wire_Bytes(wire_Example("ping from node 1")));
    Lines out = run_card(bench.socket_path(), "chip handle 0 read_feedback closechip value "
                                              "i2c slave 8 read 256 value closeline");
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[1], "handle 0 0");
    EXPECT_EQ(out[2], "closechip 0");
    EXPECT_EQ(out[3], "value 0 0 0"); // low: a packet waits
    EXPECT_EQ(out[6], "read 256 " + packed("ping from node 1"));
    EXPECT_EQ(out[7], "value 0 0 1"); // high again once it is read
    EXPECT_TRUE(bench_test::has_event(bench.trace(), "line_request",
                                      "handle line 0 \"read_feedback\" input"));
    EXPECT_EQ(bench.line_reads(), 2);
}

TEST(BenchInterposer, LineEventRequestAndBusyLine) {
    Bench bench{Scenario{}};
    Lines out = run_card(bench.socket_path(), "chip event 0 value handle 0 again handle 9 x");
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[1], "event 0 0");
    EXPECT_EQ(out[2], "value 0 0 1");
    EXPECT_EQ(out[3], "handle -1 16"); // EBUSY: line 0 is held by the event request
    EXPECT_EQ(out[4], "handle -1 22"); // EINVAL: no line 9
}

TEST(BenchInterposer, SmbusProbesAnswerWhereTheSensorSits) {
    struct Case {
        uint8_t address;
        const char* at_4c;
        const char* at_4d;
    };
    const Case cases[] = {{0x4C, "probe 4c 1 0", "probe 4d 0 6"},
                          {0x4D, "probe 4c 0 6", "probe 4d 1 0"},
                          {0, "probe 4c 0 6", "probe 4d 0 6"}};
    for (const Case& c : cases) {
        Scenario sc;
        sc.sensor.address = c.address;
        Bench bench{sc};
        Lines out = run_card(bench.socket_path(), "probe 0x4c probe 0x4d");
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0], c.at_4c) << int(c.address);
        EXPECT_EQ(out[1], c.at_4d) << int(c.address);
        // i2cdetect's quick write finds the same.
        out = run_card(bench.socket_path(), "quick 0x4c");
        EXPECT_EQ(out[0], c.at_4c);
    }
}

TEST(BenchInterposer, WithoutSimulatorCallsFailAsTheKernelWould) {
    Lines out = run_card("/nonexistent/sim.sock", "i2c chip probe 0x4c");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], "i2c -1 2"); // ENOENT
    EXPECT_EQ(out[1], "chip -1 2");
    EXPECT_EQ(out[2], "probe 4c open-errno 2");

    // The simulator goes away while the card holds the bus.
    std::string socket;
    Lines late;
    {
        auto bench = std::make_unique<Bench>(Scenario{});
        socket = bench->socket_path();
        std::thread card([&] {
            late = run_card(socket, "i2c slave 8 gone " + socket + " write 030001 read 256 close");
        });
        EXPECT_TRUE(bench->wait_for([](const TraceEvent& e) { return e.event == "slave"; }, 1,
                                    std::chrono::seconds(30)))
            << "the card did not select its slave";
        bench.reset();
        card.join();
    }
    ASSERT_EQ(late.size(), 6u);
    EXPECT_EQ(late[2], "gone 0");
    EXPECT_EQ(late[3], "write -1 5"); // EIO
    EXPECT_EQ(late[4], "read -1 5");
}

TEST(BenchInterposer, FaultsShowAsTheKernelReportsThem) {
    Bench bench{Scenario{}};
    ASSERT_TRUE(bench.command("fault write-fail 1"));
    ASSERT_TRUE(bench.command("fault write-short 1"));
    ASSERT_TRUE(bench.command("fault read-fail 1"));
    Lines out = run_card(bench.socket_path(),
                         "i2c slave 8 write 030001 write 03000104 write 030001 read 256 read 256");
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[2], "write -1 121"); // EREMOTEIO
    EXPECT_EQ(out[3], "write 2 0");    // short
    EXPECT_EQ(out[4], "write 3 0");    // both faults used up
    EXPECT_EQ(out[5], "read -1 121");
    EXPECT_EQ(out[6], "read 256 00");

    // What an idle BMC returns; a packet handed over cut short; garbage.
    ASSERT_TRUE(bench.command("fault idle ff"));
    ASSERT_TRUE(bench.command("truncated 4 0a 01 55 0e 07 61 62 63 64 00"));
    out = run_card(bench.socket_path(), "i2c slave 8 read 256 read 256");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2], "read 256 0a01550effffffffffff");     // 4 bytes, then the idle fill
    EXPECT_EQ(out[3], "read 256 " + std::string(510, 'f')); // idle 0xff reads as length 255
    ASSERT_TRUE(bench.command("fault idle nack"));
    ASSERT_TRUE(bench.command("garbage 30"));
    out = run_card(bench.socket_path(), "i2c slave 8 read 256 read 256");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2].compare(0, 9, "read 256 "), 0);
    EXPECT_EQ(out[3], "read -1 121");

    // The feedback line stuck low, then failing reads of it; SMBus failing.
    ASSERT_TRUE(bench.command("fault line-low on"));
    out = run_card(bench.socket_path(), "chip handle 0 rf value");
    EXPECT_EQ(out[2], "value 0 0 0");
    ASSERT_TRUE(bench.command("fault line-read-fail on"));
    out = run_card(bench.socket_path(), "chip handle 0 rf value");
    EXPECT_EQ(out[2], "value -1 5 0");
    ASSERT_TRUE(bench.command("fault smbus-fail on"));
    out = run_card(bench.socket_path(), "probe 0x4c");
    EXPECT_EQ(out[0], "probe 4c 0 6");
    // Writes to other slaves are not acknowledged.
    out = run_card(bench.socket_path(), "i2c slave 0x21 write 00");
    EXPECT_EQ(out[2], "write -1 121");
    EXPECT_TRUE(bench_test::has_event(bench.trace(), "fault", "line-low on"));
}

TEST(BenchInterposer, ScenarioWithoutGpioChip) {
    Scenario sc;
    sc.gpio_present = false;
    Bench bench{sc};
    Lines out = run_card(bench.socket_path(), "chip i2c");
    EXPECT_EQ(out[0], "chip -1 2");
    EXPECT_EQ(out[1].compare(0, 4, "i2c "), 0);
    EXPECT_NE(out[1], "i2c -1 2");
}

// A simulator for a card started elsewhere listens on a path of its choosing,
// takes the place of a socket a killed simulator left there, and removes it
// when it goes.
TEST(BenchInterposer, SocketAtAGivenPath) {
    Temp_Dir dir("bench_given_socket");
    std::string path = dir.path() + "/given.sock";
    {
        int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        close(stale);
    }
    {
        pec_bench::Options options;
        options.socket_path = path;
        Bench bench{Scenario{}, options};
        EXPECT_EQ(bench.socket_path(), path);
        Lines out = run_card(path, "i2c slave 8 write 030001");
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(out[2], "write 3 0");
        EXPECT_EQ(bench.card_packets().size(), 1u);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}
