// The simulated temperature sensor's part of the card's sysfs, in the run
// directory's sys/class: the device the kernel creates when the card writes
// a new_device request, its hwmon directory where a sensor answers at that
// address, and the temperature that directory reports.
#pragma once

#include "pec_bench/bench.h"
#include "trace.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace pec_bench {

class SensorTree {
public:
    // Binds the sensor at once when the scenario has the kernel find it at
    // start. The adapter's own files are the scenario's (scenario_files.h).
    SensorTree(const std::string& class_dir, const Sensor& sensor, Trace& trace);

    // Takes a request the card wrote to new_device, as the kernel does.
    void take_new_device_request();
    void set_temperature(double celsius);

private:
    void create_device(uint8_t address, bool with_hwmon);
    void write_temperature();
    std::string device_dir(uint8_t address) const;

    const std::string class_dir_;
    const uint8_t address_; // 0 when the board has no sensor
    const bool driver_binds_;
    Trace& trace_;
    std::mutex m_;
    bool registered_ = false;
    int millidegrees_;
};

} // namespace pec_bench
