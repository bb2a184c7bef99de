// The onboard temperature sensor as the daemon finds it at start: already
// bound, registered through new_device, or absent.
#include "system/support/daemon_log.h"
#include "system/support/expected_packets.h"
#include "system/support/fixture_and_waits.h"

#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace systest {
namespace {

class SensorTest : public BenchTest {};

bool is_smbus(const TraceEvent& e) {
    return e.event == "smbus";
}
bool is_new_device(const TraceEvent& e) {
    return e.event == "new_device";
}

// A sensor the kernel already has at 0x4D is read through its hwmon directory
// without any probe on the bus and without a registration.
TEST_F(SensorTest, BoundAt4DIsUsedWithoutProbingOrRegistering) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("netplan-bound-4d")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));
    bench().set_temperature(36.625);
    ASSERT_TRUE(bench().wait_for(wrote_bytes(temperature_report(36.625f)), 1, seconds(30)));

    std::vector<TraceEvent> trace = bench().trace();
    EXPECT_EQ(count_events(trace, is_smbus), 0u);
    EXPECT_EQ(count_events(trace, is_new_device), 0u);
    EXPECT_EQ(count_events(trace, wrote_bytes(temperature_report(41.5f))), 1u);
    std::string out = daemon_out();
    EXPECT_NE(out.find(info_line("Sensor", "init_PEC_Sensor",
                                 "Onboard Temperature sensor address: 0x4D") +
                       info_line("Sensor", "init_PEC_Sensor", "PEC Sensor init")),
              std::string::npos)
        << out;
    EXPECT_EQ(daemon_err(), "");
}

// An unbound sensor at 0x4C answers the first probe; it is registered as an
// adm1032 through new_device, and then read once its hwmon directory exists.
TEST_F(SensorTest, UnboundAt4CIsRegisteredThroughNewDeviceThenRead) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("netplan")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));

    std::vector<TraceEvent> trace = bench().trace();
    std::vector<TraceEvent> probes, registrations;
    for (const TraceEvent& e : trace) {
        if (is_smbus(e)) {
            probes.push_back(e);
        }
        if (is_new_device(e)) {
            registrations.push_back(e);
        }
    }
    ASSERT_EQ(probes.size(), 1u) << "one probe, at 0x4C, which answers";
    EXPECT_EQ(probes[0].value, 0x4C);
    EXPECT_EQ(probes[0].result, 0);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].detail, "adm1032 0x4c");
    EXPECT_LT(probes[0].t, registrations[0].t);
    EXPECT_EQ(count_events(trace, wrote_bytes(temperature_report(41.5f))), 1u);
    EXPECT_NE(daemon_out().find(info_line("Sensor", "init_PEC_Sensor",
                                                     "Onboard Temperature sensor address: 0x4C")),
              std::string::npos);
    EXPECT_EQ(daemon_err(), "");
}

// An unbound sensor at 0x4D: the probe of 0x4C finds nothing, 0x4D answers
// and is registered.
TEST_F(SensorTest, UnboundAt4DIsFoundAfter4CAndRegistered) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("sensor-4d")));
    ASSERT_NO_FATAL_FAILURE(wait_started(true));

    std::vector<TraceEvent> trace = bench().trace();
    std::vector<std::pair<int, int>> probes;
    for (const TraceEvent& e : trace) {
        if (is_smbus(e)) {
            probes.emplace_back(e.value, e.result);
        }
    }
    EXPECT_EQ(probes, (std::vector<std::pair<int, int>>{{0x4C, -ENXIO}, {0x4D, 0}}));
    std::vector<TraceEvent> registrations;
    ASSERT_TRUE(bench().wait_for(is_new_device, 1, seconds(1), &registrations));
    EXPECT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].detail, "adm1032 0x4d");
    EXPECT_EQ(count_events(trace, wrote_bytes(temperature_report(41.5f))), 1u);
    EXPECT_NE(daemon_out().find(info_line("Sensor", "init_PEC_Sensor",
                                                     "Onboard Temperature sensor address: 0x4D")),
              std::string::npos);
}

// Nothing answers at either address: both are probed, nothing is registered,
// one ERROR line, no INFO line of the sensor, and the quiet cycles ping.
TEST_F(SensorTest, AbsentSensorGivesOneErrorAndPings) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    ASSERT_TRUE(bench().wait_for(card_wrote(is_ping), 1, seconds(90)));

    std::vector<TraceEvent> trace = bench().trace();
    std::vector<std::pair<int, int>> probes;
    for (const TraceEvent& e : trace) {
        if (is_smbus(e)) {
            probes.emplace_back(e.value, e.result);
        }
    }
    EXPECT_EQ(probes, (std::vector<std::pair<int, int>>{{0x4C, -ENXIO}, {0x4D, -ENXIO}}));
    EXPECT_EQ(count_events(trace, is_new_device), 0u);
    EXPECT_EQ(count_events(trace, card_wrote(is_temperature)), 0u);
    EXPECT_EQ(daemon_err(),
              error_line("Sensor", "init_PEC_Sensor", "Onboard Temperature Sensor not found"));
    EXPECT_EQ(count_Of(daemon_out(), "[Sensor]"), 0u);
}

// A device answers the probe at 0x4C but no driver binds to its client, so no
// hwmon directory appears: registered once (not again when the client is
// left from an earlier run), one ERROR line, and the quiet cycles ping.
struct Without_Driver {
    const char* scenario;
    size_t registrations;
};

class SensorWithoutDriverTest : public BenchTest,
                                public ::testing::WithParamInterface<Without_Driver> {};

TEST_P(SensorWithoutDriverTest, GivesOneErrorAndPings) {
    ASSERT_NO_FATAL_FAILURE(start(scenario(GetParam().scenario)));
    ASSERT_TRUE(bench().wait_for(card_wrote(is_ping), 1, seconds(90)));
    std::vector<TraceEvent> trace = bench().trace();
    EXPECT_EQ(count_events(trace, is_new_device), GetParam().registrations);
    EXPECT_EQ(count_events(trace, card_wrote(is_temperature)), 0u);
    EXPECT_EQ(daemon_err(), error_line("Sensor", "init_PEC_Sensor",
                                       "Onboard Temperature Sensor at 0x4C has no hwmon device"));
    EXPECT_EQ(count_Of(daemon_out(), "[Sensor]"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SensorWithoutDriverTest,
                         ::testing::Values(Without_Driver{"sensor-no-driver", 1},
                                           Without_Driver{"sensor-stale-client", 0}),
                         [](const ::testing::TestParamInfo<Without_Driver>& row) {
                             std::string name = row.param.scenario;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

} // namespace
} // namespace systest
