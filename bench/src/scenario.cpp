// Named scenarios of the bench.

#include "pec_bench/bench.h"

namespace pec_bench {

namespace {

struct Named {
    const char* name;
    void (*apply)(Scenario&);
};

const Named named[] = {
    {"netplan", [](Scenario&) {}},
    {"netplan-bound-4d",
     [](Scenario& s) {
         s.sensor.address = 0x4D;
         s.sensor.bound = true;
     }},
    {"sensor-4d", [](Scenario& s) { s.sensor.address = 0x4D; }},
    {"sensor-bound", [](Scenario& s) { s.sensor.bound = true; }},
    {"no-sensor", [](Scenario& s) { s.sensor.address = 0; }},
    // A device at 0x4C answers the probe, but the kernel's driver does not
    // bind to it; the stale one has its client from an earlier run.
    {"sensor-no-driver", [](Scenario& s) { s.sensor.driver_binds = false; }},
    {"sensor-stale-client",
     [](Scenario& s) {
         s.sensor.bound = true;
         s.sensor.driver_binds = false;
     }},
    {"no-serial", [](Scenario& s) { s.has_serial = false; }},
    {"no-pretty-name", [](Scenario& s) { s.os_pretty_name = false; }},
    {"no-gpio", [](Scenario& s) { s.gpio_present = false; }},
    {"ifupdown", [](Scenario& s) { s.manager = Manager::IFUPDOWN; }},
    {"nm", [](Scenario& s) { s.manager = Manager::NETWORK_MANAGER; }},
    {"nm-no-keyfile", [](Scenario& s) { s.manager = Manager::NETWORK_MANAGER_NO_KEYFILE; }},
    {"none", [](Scenario& s) { s.manager = Manager::NONE; }},
};

} // namespace

std::vector<std::string> scenario_names() {
    std::vector<std::string> names;
    for (const Named& n : named) {
        names.emplace_back(n.name);
    }
    return names;
}

bool scenario_by_name(const std::string& name, Scenario* out) {
    for (const Named& n : named) {
        if (name == n.name) {
            Scenario s;
            s.name = name;
            n.apply(s);
            *out = s;
            return true;
        }
    }
    return false;
}

std::string manager_name(Manager m) {
    switch (m) {
    case Manager::NETPLAN:
        return "netplan";
    case Manager::IFUPDOWN:
        return "ifupdown";
    case Manager::NETWORK_MANAGER:
        return "nm";
    case Manager::NETWORK_MANAGER_NO_KEYFILE:
        return "nm-no-keyfile";
    case Manager::NONE:
        return "none";
    }
    return "none";
}

} // namespace pec_bench
