// The simulated sensor's sysfs tree: registration through new_device, the
// bound scenarios and temperature changes (no sandbox, no root needed).

#include "bench_test_util.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

using pec_bench::Bench;
using pec_bench::Scenario;

namespace {

void request(const Bench& bench, const std::string& line) {
    write_File(bench.run_dir() + "/sys/class/i2c-adapter/i2c-0/new_device", line + "\n", 0644);
}

} // namespace

TEST(BenchSensor, RegistrationCreatesTheHwmonTree) {
    Bench bench{Scenario{}};
    std::string cls = bench.run_dir() + "/sys/class";
    EXPECT_FALSE(is_Directory(cls + "/i2c-adapter/i2c-0/0-004c/hwmon"));
    request(bench, "adm1032 0x4c");
    ASSERT_TRUE(bench.wait_for([](const auto& e) { return e.event == "sensor_registered"; }, 1,
                               std::chrono::seconds(5)));
    EXPECT_TRUE(is_Directory(cls + "/i2c-adapter/i2c-0/0-004c/hwmon/hwmon1"));
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/temp2_input"), "41500\n");
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/name"), "adm1032\n");
    // The request was taken, as the kernel takes it.
    EXPECT_EQ(read_File(cls + "/i2c-adapter/i2c-0/new_device"), "");
    bench.set_temperature(43.25);
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/temp2_input"), "43250\n");
    bench.set_temperature(-5.5);
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/temp2_input"), "-5500\n");
}

TEST(BenchSensor, RegistrationWhereNoSensorAnswersBindsNothing) {
    struct Case {
        uint8_t sensor;
        const char* request;
        const char* device;
    };
    const Case cases[] = {{0x4C, "adm1032 0x4d", "0-004d"}, {0, "adm1032 0x4c", "0-004c"}};
    for (const Case& c : cases) {
        Scenario sc;
        sc.sensor.address = c.sensor;
        Bench bench{sc};
        request(bench, c.request);
        ASSERT_TRUE(bench.wait_for([](const auto& e) { return e.event == "new_device"; }, 1,
                                   std::chrono::seconds(5)));
        std::string dev = bench.run_dir() + "/sys/class/i2c-adapter/i2c-0/" + c.device;
        EXPECT_TRUE(is_Directory(dev)) << c.request;
        EXPECT_FALSE(is_Directory(dev + "/hwmon")) << c.request;
        EXPECT_FALSE(bench_test::has_event(bench.trace(), "sensor_registered"));
    }
}

TEST(BenchSensor, BoundScenarioHasTheTreeAtStart) {
    Scenario sc;
    ASSERT_TRUE(pec_bench::scenario_by_name("netplan-bound-4d", &sc));
    Bench bench{sc};
    std::string cls = bench.run_dir() + "/sys/class";
    EXPECT_TRUE(is_Directory(cls + "/i2c-adapter/i2c-0/0-004d/hwmon/hwmon1"));
    EXPECT_FALSE(is_Directory(cls + "/i2c-adapter/i2c-0/0-004c"));
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/temp2_input"), "41500\n");
    ASSERT_TRUE(bench.command("temp 50"));
    EXPECT_EQ(read_File(cls + "/hwmon/hwmon1/temp2_input"), "50000\n");
}
