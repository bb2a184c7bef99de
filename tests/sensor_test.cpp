// Onboard temperature sensor: a missing sensor (no I2C bus here), and a
// sensor already bound to its driver, with a crafted sysfs tree in a private
// mount namespace. The module keeps its start-up state for the life of the
// process, so every case runs in a child process of its own.
#include "sensor.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "log.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "testkit/files.h"
#include "testkit/namespaces.h"
#include "testkit/processes.h"

namespace {

class Sensor_Test : public Fake_Bin_Test {};

const char* const hwmon_4c = "/sys/class/i2c-adapter/i2c-0/0-004c/hwmon";
const char* const hwmon_4d = "/sys/class/i2c-adapter/i2c-0/0-004d/hwmon";

TEST_F(Sensor_Test, MissingSensorLogsOnceAndIsNeverRead) {
    if (access("/dev/i2c-0", F_OK) == 0 || access(hwmon_4c, F_OK) == 0 ||
        access(hwmon_4d, F_OK) == 0)
        GTEST_SKIP() << "this host has an I2C adapter 0 or a bound sensor";
    // A recording cat shows whether a reading was attempted.
    add_Fake_Command("cat", "12000\n");

    Child_Result child = run_In_Child(dir + "/child.log", HOST_NAMESPACES, [&](std::ostream& out) {
        init_PEC_Sensor();
        update_Temperature();
        update_Temperature();
        out << "flag=" << get_Onboard_Temperature_Update_Flag()
            << " temperature=" << get_Onboard_Temperature()
            << " detect=" << static_cast<int>(get_Onboard_Temperature_Sensor_Detect()) << "\n";
    });
    EXPECT_EQ(child.results, "flag=0 temperature=0 detect=0\n");
    const std::string probe_error =
        log_Line("ERROR", "[Sensor] get_I2C_Slave_Check: i2c file open error!");
    // Start-up probes both addresses, then says once that there is no sensor;
    // the last two lines are the detection asked for afterwards.
    EXPECT_EQ(without_Colours(child.log),
              probe_error + probe_error +
                  log_Line("ERROR", "[Sensor] init_PEC_Sensor: Onboard Temperature Sensor not found") +
                  probe_error + probe_error);
    EXPECT_EQ(get_Calls("cat"), "");
}

// Where a kernel lists I2C adapter 0: under the i2c-adapter class, or only on
// the I2C bus (a kernel without that class).
enum Adapter_Listing { CLASS_LISTING, BUS_LISTING };

// A sysfs tree with the sensor bound at each address of `addresses` (hwmon7
// for 0x4c, hwmon8 for 0x4d) on the adapter listed as `listing` says, then
// `body`.
void with_Bound_Sensor(const std::string& addresses, Adapter_Listing listing,
                       const std::function<void()>& body) {
    if (mount("none", "/sys/class", "tmpfs", 0, nullptr) != 0 ||
        (listing == BUS_LISTING && mount("none", "/sys/bus", "tmpfs", 0, nullptr) != 0))
        return;
    const std::string adapter =
        listing == CLASS_LISTING ? "/sys/class/i2c-adapter/i2c-0" : "/sys/bus/i2c/devices/i2c-0";
    mkdir("/sys/class/hwmon", 0755);
    make_Dirs(adapter);
    for (const char* address : {"4c", "4d"}) {
        if (addresses.find(address) == std::string::npos)
            continue;
        std::string hwmon = std::string(address) == "4c" ? "hwmon7" : "hwmon8";
        std::string device = adapter + "/0-00" + address;
        std::string device_hwmon = device + "/hwmon";
        mkdir(device.c_str(), 0755);
        mkdir(device_hwmon.c_str(), 0755);
        mkdir(device_hwmon.append("/").append(hwmon).c_str(), 0755);
        mkdir(("/sys/class/hwmon/" + hwmon).c_str(), 0755);
    }
    body();
}

TEST_F(Sensor_Test, BoundSensorIsReadOnChange) {
    Child_Result child = run_In_Child(dir + "/child.log", PRIVATE_MOUNTS, [&](std::ostream& out) {
        with_Bound_Sensor("4d", CLASS_LISTING, [&] {
            const std::string input = "/sys/class/hwmon/hwmon8/temp2_input";
            set_Debug_Log(true);
            init_PEC_Sensor();
            auto sample = [&](const char* name, const char* content) {
                if (content != nullptr)
                    write_File(input, content);
                else
                    unlink(input.c_str());
                update_Temperature();
                out << name << "=" << get_Onboard_Temperature() << ","
                    << get_Onboard_Temperature_Update_Flag() << "\n";
            };
            sample("first", "41250\n");
            out << "flag_after_read=" << get_Onboard_Temperature_Update_Flag() << "\n";
            sample("same", "41250\n");
            sample("small", "875\n");
            sample("negative", "-5500\n");
            sample("not_a_number", "garbage\n");
            sample("missing", nullptr);
            sample("empty", "");
            sample("back", "41250");
        });
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "first=41.25,1\n"
                             "flag_after_read=0\n"
                             "same=41.25,0\n"
                             "small=0.875,1\n"
                             "negative=-5.5,1\n"
                             "not_a_number=0,1\n"
                             "missing=0,0\n"
                             "empty=0,0\n"
                             "back=41.25,1\n");
    // Used as found: no probe, no registration, and the address in the log.
    EXPECT_EQ(child.log.find("[ERROR]"), std::string::npos) << child.log;
    EXPECT_NE(child.log.find("[INFO]\t[Sensor] init_PEC_Sensor: Onboard Temperature sensor "
                             "address: 0x4D\n[INFO]\t[Sensor] init_PEC_Sensor: PEC Sensor init\n"),
              std::string::npos)
        << child.log;
    EXPECT_NE(without_Colours(child.log)
                  .find(log_Line("DEBUG", "[Sensor] update_Temperature: temperature: 41.25")),
              std::string::npos)
        << child.log;
}

// On a kernel that lists the adapter on the I2C bus only.
TEST_F(Sensor_Test, FirstAddressWinsWhenBothAreBound) {
    Child_Result child = run_In_Child(dir + "/child.log", PRIVATE_MOUNTS, [&](std::ostream& out) {
        with_Bound_Sensor("4c 4d", BUS_LISTING, [&] {
            write_File("/sys/class/hwmon/hwmon7/temp2_input", "30000\n");
            write_File("/sys/class/hwmon/hwmon8/temp2_input", "50000\n");
            init_PEC_Sensor();
            update_Temperature();
            out << get_Onboard_Temperature() << "\n";
        });
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "30\n");
    EXPECT_NE(child.log.find("address: 0x4C\n"), std::string::npos) << child.log;
}

} // namespace
