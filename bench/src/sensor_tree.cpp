// The simulated temperature sensor's part of the card's sysfs.

#include "sensor_tree.h"

#include "testkit/files.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace pec_bench {

namespace {

constexpr const char* chip = "adm1032";

// "NAME ADDRESS" as new_device takes it; false unless ADDRESS is a 7-bit
// number.
bool parse_request(const std::string& request, std::string* name, unsigned long* address) {
    std::istringstream in(request);
    std::string addr_text;
    in >> *name >> addr_text;
    char* end = nullptr;
    *address = strtoul(addr_text.c_str(), &end, 0);
    return end != nullptr && *end == '\0' && !addr_text.empty() && *address <= 0x7F;
}

} // namespace

SensorTree::SensorTree(const std::string& class_dir, const Sensor& sensor, Trace& trace)
    : class_dir_(class_dir), address_(sensor.address), driver_binds_(sensor.driver_binds),
      trace_(trace), millidegrees_(sensor.millidegrees) {
    if (sensor.address != 0 && sensor.bound) {
        create_device(sensor.address, driver_binds_);
    }
}

std::string SensorTree::device_dir(uint8_t address) const {
    return class_dir_ + "/i2c-adapter/i2c-0/0-00" + hex_byte(address);
}

// The kernel creates the device in any case; its driver binds (and a hwmon
// directory appears) only where a sensor answers.
void SensorTree::create_device(uint8_t address, bool with_hwmon) {
    std::string dev = device_dir(address);
    make_Dirs(dev);
    write_File(dev + "/name", std::string(chip) + "\n", 0644);
    if (!with_hwmon) {
        return;
    }
    std::string hw = dev + "/hwmon/hwmon1";
    make_Dirs(hw);
    write_File(hw + "/name", std::string(chip) + "\n", 0644);
    write_File(hw + "/temp1_input", "38000\n", 0644);
    std::string target = "../i2c-adapter/i2c-0/0-00" + hex_byte(address) + "/hwmon/hwmon1";
    symlink(target.c_str(), (class_dir_ + "/hwmon/hwmon1").c_str());
    registered_ = true;
    write_temperature();
}

void SensorTree::write_temperature() {
    if (registered_) {
        replace_Whole_File(device_dir(address_) + "/hwmon/hwmon1/temp2_input",
                           std::to_string(millidegrees_) + "\n");
    }
}

void SensorTree::take_new_device_request() {
    std::string nd = class_dir_ + "/i2c-adapter/i2c-0/new_device";
    std::string request = read_File(nd);
    if (request.empty()) {
        return;
    }
    truncate(nd.c_str(), 0);
    std::lock_guard<std::mutex> lock(m_);
    std::string name;
    unsigned long addr = 0;
    bool valid = parse_request(request, &name, &addr);
    bool create = valid && !registered_;
    bool ours = create && address_ != 0 && addr == address_ && name == chip && driver_binds_;
    // The tree is complete before the events that tell of it.
    if (create) {
        create_device(static_cast<uint8_t>(addr), ours);
    }
    TraceEvent ev;
    ev.event = "new_device";
    ev.detail = request.substr(0, request.find('\n'));
    ev.value = valid ? static_cast<int>(addr) : -1;
    trace_.record(ev);
    if (ours) {
        TraceEvent reg;
        reg.event = "sensor_registered";
        reg.value = static_cast<int>(addr);
        reg.detail =
            std::string(chip) + " at 0x" + hex_byte(static_cast<unsigned>(addr)) + " as hwmon1";
        trace_.record(reg);
    }
}

void SensorTree::set_temperature(double celsius) {
    std::lock_guard<std::mutex> lock(m_);
    millidegrees_ = static_cast<int>(celsius * 1000.0 + (celsius < 0 ? -0.5 : 0.5));
    write_temperature();
    TraceEvent ev;
    ev.event = "temperature";
    ev.value = millidegrees_;
    ev.detail = std::to_string(millidegrees_) + " millidegrees" +
                (registered_ ? "" : " (sensor not registered yet)");
    trace_.record(ev);
}

} // namespace pec_bench
