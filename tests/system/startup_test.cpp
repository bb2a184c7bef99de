// Start-up of the daemon on the bench: the order of its set-up steps, the
// banner, and the two description sets it sends before anything else, byte
// for byte.
#include "system/support/card_host.h"
#include "system/support/daemon_log.h"
#include "system/support/expected_packets.h"
#include "system/support/fixture_and_waits.h"

#include "support/text.h"
#include "support/wire_examples.h"

#include <functional>
#include <regex>

namespace systest {
namespace {

class StartupTest : public BenchTest {};

// READY=1 comes once, with the first status line, when the link runs and
// the first description set is queued; the status line follows the address;
// the watchdog is fed on every cycle.
TEST_F(StartupTest, TellsTheServiceManagerItsState) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    const std::string ready = "READY=1\nSTATUS=BMC link running; network manager netplan; eth0 "
                              "address none";
    const std::string status = "STATUS=BMC link running; network manager netplan; eth0 address "
                               "192.0.2.10";
    EXPECT_TRUE(wait_main_loop_cycles(3, seconds(60)));
    std::vector<TraceEvent> messages;
    for (const TraceEvent& e : bench().trace())
        if (e.event == "notify")
            messages.push_back(e);
    auto shown = [&] {
        std::string all;
        for (const TraceEvent& m : messages)
            all += "[" + m.detail + "] ";
        return all;
    };
    auto count = [&](const std::string& message) {
        return count_events(messages, [&](const TraceEvent& e) { return e.detail == message; });
    };
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].detail, ready) << shown();
    EXPECT_EQ(count(ready), 1u) << shown();
    EXPECT_EQ(count(status), 1u) << shown();
    // The set was queued before READY: its first packet is on the wire.
    EXPECT_GE(count_events(bench().trace(), is_card_write), 1u);
}

TEST_F(StartupTest, SendsTheDescriptionSetTwiceFirstWithEmptyAddress) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("netplan")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));

    std::vector<Report> reports = reports_of(bench().trace());
    ASSERT_GE(reports.size(), 3u) << show(reports);
    // The first set goes before the first refresh of eth0's state, so its
    // address is the empty text (a lone NUL); the first loop cycle then sees
    // the address and sends the set again with it.
    ASSERT_NO_FATAL_FAILURE(
        expect_set(reports[0], description_set(expected_description(bench(), "")), "first set"));
    ASSERT_NO_FATAL_FAILURE(expect_set(
        reports[1], description_set(expected_description(bench(), "192.0.2.10")), "second set"));
    EXPECT_EQ(pec_bench::hex(reports[0].packets[1].raw), wire_Example("empty address").wire);
    // The processor name: 26 characters and the NUL, 32 bytes on the wire;
    // the memory size: one UINT64, a packet of 13 bytes.
    EXPECT_EQ(reports[0].packets[3].length(), 32);
    EXPECT_EQ(reports[0].packets[3].data().size(), 27u);
    EXPECT_EQ(reports[0].packets[4].length(), 13);
    // The sensor read 41.5 in the first cycle; its report waits for the next.
    EXPECT_EQ(reports[2].kind, ReportKind::TEMPERATURE) << show(reports);
    EXPECT_EQ(show(reports[2].packets[0].raw), show(temperature_report(41.5f)));
    for (const Report& r : reports) {
        for (size_t i = 0; i < r.packets.size(); ++i) {
            EXPECT_EQ(r.results[i], static_cast<int>(r.packets[i].raw.size()))
                << "every packet goes in one whole write: " << show(r.packets[i]);
        }
    }
}

TEST_F(StartupTest, SetsUpInOrderAndLogsTheBanner) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("netplan")));
    ASSERT_TRUE(bench().wait_for(starts_set, 1, seconds(60)));
    ASSERT_TRUE(wait_stdout("Halvorne LN PEC Main Daemon", 1, seconds(30)));

    // Order of the set-up as the simulated board saw it: the sensor probe and
    // its registration, then the link thread takes the feedback line and the
    // bus, then the first packet.
    std::vector<TraceEvent> trace = bench().trace();
    auto first = [&](const std::function<bool(const TraceEvent&)>& pred) {
        for (size_t i = 0; i < trace.size(); ++i) {
            if (pred(trace[i])) {
                return static_cast<long>(i);
            }
        }
        return -1L;
    };
    long probe = first([](const TraceEvent& e) { return e.event == "smbus"; });
    long registered = first([](const TraceEvent& e) { return e.event == "new_device"; });
    long line = first([](const TraceEvent& e) { return e.event == "line_request"; });
    long write = first(is_card_write);
    ASSERT_GE(probe, 0);
    EXPECT_LT(probe, registered);
    EXPECT_LT(registered, line);
    EXPECT_LT(line, write);
    long line_request = first([](const TraceEvent& e) {
        return e.event == "line_request" && e.detail == "handle line 0 \"read feedback\" input";
    });
    EXPECT_EQ(line_request, line) << "the feedback line is line 0, an input, \"read feedback\"";

    // INFO lines in start-up order; the banner comes after the sensor set-up.
    std::string out = daemon_out();
    size_t manager = out.find(
        info_line("Network", "set_Interface_Name", "Interface: eth0, Manager Type: netplan"));
    size_t sensor = out.find(info_line("Sensor", "init_PEC_Sensor", "PEC Sensor init"));
    size_t banner = out.find("[INFO]\t[main] main: Halvorne LN PEC Main Daemon ");
    ASSERT_NE(manager, std::string::npos) << out;
    ASSERT_NE(sensor, std::string::npos) << out;
    ASSERT_NE(banner, std::string::npos) << out;
    EXPECT_LT(manager, sensor);
    EXPECT_LT(sensor, banner);
    std::string banner_line = out.substr(banner, out.find('\n', banner) - banner);
    EXPECT_TRUE(std::regex_match(
        banner_line,
        std::regex("\\[INFO\\]\t\\[main\\] main: Halvorne LN PEC Main Daemon v1\\.1\\.2 "
                   "\\[[0-9a-f]{40}\\] - (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|"
                   "Dec) [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]")))
        << banner_line;
    EXPECT_EQ(count_Of(out, "Halvorne LN PEC Main Daemon"), 1u);
    EXPECT_EQ(daemon_err(), "") << "no error at a normal start";
}

// Without the EEPROM's marker the serial number is "N/A", without
// PRETTY_NAME the OS name is empty (one NUL); neither is an error.
TEST_F(StartupTest, FallbacksForMissingSerialAndOsName) {
    Scenario sc = scenario("netplan");
    sc.has_serial = false;
    sc.os_pretty_name = false;
    ASSERT_NO_FATAL_FAILURE(start(sc));
    ASSERT_TRUE(bench().wait_for(ends_set, 2, seconds(90)));

    std::vector<Report> reports = reports_of(bench().trace());
    ASSERT_GE(reports.size(), 2u);
    ASSERT_NO_FATAL_FAILURE(
        expect_set(reports[0], description_set(expected_description(bench(), "")), "first set"));
    ASSERT_NO_FATAL_FAILURE(expect_set(
        reports[1], description_set(expected_description(bench(), "192.0.2.10")), "second set"));
    EXPECT_EQ(pec_bench::hex(reports[1].packets[0].raw), wire_Example("empty OS name").wire);
    EXPECT_EQ(pec_bench::hex(reports[1].packets[2].raw), wire_Example("serial N/A").wire);
    EXPECT_EQ(count_Of(daemon_err(), "[Config]"), 0u) << daemon_err();
}

// A serial number longer than the staging area is sent cut to 99 characters.
TEST_F(StartupTest, LongSerialIsCutTo99Characters) {
    Scenario sc = scenario("no-sensor");
    sc.serial = std::string(150, 'S');
    ASSERT_NO_FATAL_FAILURE(start(sc));
    ASSERT_TRUE(bench().wait_for(ends_set, 1, seconds(60)));
    std::vector<Report> reports = reports_of(bench().trace());
    ASSERT_FALSE(reports.empty());
    ASSERT_GE(reports[0].packets.size(), 3u);
    EXPECT_EQ(show(reports[0].packets[2].raw),
              show(description_string(proto::DESC_SERIAL, std::string(99, 'S'))));
    EXPECT_EQ(reports[0].packets[2].length(), 105);
}

} // namespace
} // namespace systest
