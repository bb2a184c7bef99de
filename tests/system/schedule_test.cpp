// The report schedule of the main loop, seen on the bus: exactly one of a
// description set, a temperature report or a ping per cycle (or nothing),
// chosen in a fixed order of precedence.
#include "system/support/card_host.h"
#include "system/support/daemon_log.h"
#include "system/support/expected_packets.h"
#include "system/support/fixture_and_waits.h"

#include "support/text.h"
#include "support/wire_examples.h"

namespace systest {
namespace {

class ScheduleTest : public BenchTest {};

// Without a sensor no temperature is ever reported: after the start-up sets
// a ping goes on every 11th quiet cycle, about 22 s apart.
TEST_F(ScheduleTest, PingOnEveryEleventhQuietCycleWithoutSensor) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    std::vector<TraceEvent> pings;
    ASSERT_TRUE(bench().wait_for(card_wrote(is_ping), 3, seconds(150), &pings));

    std::vector<Report> reports = reports_of(bench().trace());
    ASSERT_GE(reports.size(), 5u) << show(reports);
    EXPECT_EQ(reports[0].kind, ReportKind::DESCRIPTION_SET) << show(reports);
    EXPECT_EQ(reports[1].kind, ReportKind::DESCRIPTION_SET) << show(reports);
    for (size_t i = 2; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].kind, ReportKind::PING) << "report " << i << "\n" << show(reports);
        EXPECT_EQ(pec_bench::hex(reports[i].packets[0].raw), wire_Example("ping").wire);
    }
    // The second set goes in cycle 1, the pings in cycles 12, 23, 34.
    double previous = reports[1].t;
    for (const TraceEvent& p : pings) {
        double gap = p.t - previous;
        EXPECT_GE(gap, 18.0) << "ping at " << p.t << "\n" << show(reports);
        EXPECT_LE(gap, 30.0) << "ping at " << p.t << "\n" << show(reports);
        previous = p.t;
    }
    EXPECT_EQ(daemon_err(),
              error_line("Sensor", "init_PEC_Sensor", "Onboard Temperature Sensor not found"));
    EXPECT_EQ(count_Of(daemon_out(), "[Sensor]"), 0u) << daemon_out();
}

// A temperature report goes in the cycle after each change of temp2_input,
// also when it changes every cycle, and none while it stays; a temperature
// that stays the same gives a ping in the 11th quiet cycle after the last
// report.
TEST_F(ScheduleTest, TemperatureReportOnEveryChangeAndNoneWhileItStays) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("netplan")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));

    const std::vector<float> values = {47.25f, -5.5f, 47.25f, 0.125f};
    std::vector<size_t> changed_before; // cycle count when each change was made
    for (float v : values) {
        changed_before.push_back(wait_next_cycle_line());
        bench().set_temperature(v);
    }
    ASSERT_TRUE(bench().wait_for(card_wrote(is_ping), 1, seconds(60)))
        << "no ping after the changes";
    ASSERT_TRUE(wait_log_caught_up());

    std::vector<Report> reports = reports_of(bench().trace());
    std::vector<Bytes> temperatures;
    for (const Report& r : reports) {
        if (r.kind == ReportKind::TEMPERATURE) {
            temperatures.push_back(r.packets[0].raw);
        }
    }
    std::vector<Bytes> want = {temperature_report(41.5f)};
    for (float v : values) {
        want.push_back(temperature_report(v));
    }
    ASSERT_EQ(temperatures.size(), want.size()) << show(reports);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(show(temperatures[i]), show(want[i])) << "report " << i;
    }

    // Cycle by cycle: each change is reported in the cycle that follows it,
    // the quiet cycles after the last one send nothing until the ping.
    std::vector<Cycle> cycles = cycles_of(daemon_out());
    for (size_t i = 0; i < values.size(); ++i) {
        size_t c = changed_before[i] + 1;
        ASSERT_LT(c, cycles.size()) << show(cycles);
        EXPECT_EQ(cycles[c].writes, std::vector<int>{9}) << "cycle " << c << "\n" << show(cycles);
    }
    size_t last = changed_before.back() + 1;
    size_t ping_cycle = 0;
    for (size_t c = last + 1; c < cycles.size() && ping_cycle == 0; ++c) {
        if (wrote(cycles[c], 3)) {
            ping_cycle = c;
        } else {
            EXPECT_TRUE(cycles[c].writes.empty()) << "cycle " << c << "\n" << show(cycles);
        }
    }
    EXPECT_EQ(ping_cycle, last + 11) << show(cycles);
}

// A change of eth0's address is reported with the description set in the
// next cycle. When a temperature change is pending in that cycle too, the
// set goes first and the temperature report in the cycle after.
TEST_F(ScheduleTest, AddressChangeSendsTheSetFirstAndTemperatureNextCycle) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("netplan")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));
    size_t marks_before = bench().trace().size();

    size_t cycle = wait_next_cycle_line();
    bench().set_temperature(52.75);
    ASSERT_TRUE(change_eth0_address(bench(), "192.0.2.77"));
    ASSERT_TRUE(bench().wait_for(card_wrote(is_temperature), 2, seconds(30)));
    ASSERT_TRUE(wait_log_caught_up());

    std::vector<TraceEvent> trace = bench().trace();
    std::vector<Report> after = reports_of(
        std::vector<TraceEvent>(trace.begin() + static_cast<long>(marks_before), trace.end()));
    ASSERT_GE(after.size(), 2u) << show(after);
    ASSERT_NO_FATAL_FAILURE(expect_set(after[0],
                                       description_set(expected_description(bench(), "192.0.2.77")),
                                       "set after change"));
    EXPECT_EQ(after[1].kind, ReportKind::TEMPERATURE) << show(after);
    EXPECT_EQ(show(after[1].packets[0].raw), show(temperature_report(52.75f)));

    std::vector<Cycle> cycles = cycles_of(daemon_out());
    ASSERT_LT(cycle + 2, cycles.size()) << show(cycles);
    EXPECT_TRUE(cycles[cycle + 1].description) << "cycle " << cycle + 1 << "\n" << show(cycles);
    EXPECT_EQ(cycles[cycle + 1].temperature, "52.75") << show(cycles);
    EXPECT_FALSE(cycles[cycle + 2].description) << show(cycles);
    EXPECT_TRUE(wrote(cycles[cycle + 2], 9)) << "cycle " << cycle + 2 << "\n" << show(cycles);
    EXPECT_NE(daemon_out().find(
                  info_line("Network", "update_Default_IP_Info",
                            "IP: 192.0.2.77, Subnetmask: 255.255.255.0, Gateway: 192.0.2.1")),
              std::string::npos);
}

// Slow: the description set goes on its own every 60 cycles. The address
// changes just before the 60-cycle set falls due, so the change is still
// pending after it and sends a second set in the next cycle. Meanwhile the
// quiet cycles send their pings every 11 cycles.
TEST_F(ScheduleTest, SetEverySixtyCyclesAndPendingChangeAfterIt) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("netplan")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));

    size_t cycle = 0;
    while (cycle < 60) {
        cycle = wait_next_cycle_line(seconds(30));
        ASSERT_TRUE(bench().daemon_running());
    }
    ASSERT_EQ(cycle, 60u) << "the cycle lines were not seen one by one";
    ASSERT_TRUE(change_eth0_address(bench(), "192.0.2.61"));
    ASSERT_TRUE(bench().wait_for(reports_ip("192.0.2.61"), 2, seconds(40)));
    wait_next_cycle_line(seconds(30));
    ASSERT_TRUE(wait_log_caught_up());

    std::vector<Cycle> cycles = cycles_of(daemon_out());
    std::vector<size_t> sets, pings;
    for (size_t c = 0; c < cycles.size(); ++c) {
        if (cycles[c].description) {
            sets.push_back(c);
        }
        if (c > 2 && wrote(cycles[c], 3)) {
            pings.push_back(c);
        }
    }
    EXPECT_EQ(sets, (std::vector<size_t>{0, 1, 61, 62})) << show(cycles);
    EXPECT_EQ(pings, (std::vector<size_t>{13, 24, 35, 46, 57})) << show(cycles);

    std::vector<Report> reports = reports_of(bench().trace());
    std::vector<std::string> set_ips;
    for (const Report& r : reports) {
        if (r.kind == ReportKind::DESCRIPTION_SET) {
            set_ips.push_back(ip_of(r));
        }
    }
    EXPECT_EQ(set_ips, (std::vector<std::string>{"", "192.0.2.10", "192.0.2.61", "192.0.2.61"}))
        << show(reports);
}

} // namespace
} // namespace systest
