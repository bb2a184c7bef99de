// The host files of a scenario, written into a fresh run directory before
// the sandbox binds them over the card's view: the EEPROM window, the fixed
// part of the sensor's sysfs tree, os-release, the network manager's files,
// and scenario.env for the sandbox's first process.
#pragma once

#include "pec_bench/bench.h"

#include <string>

namespace pec_bench {

// The size of the EEPROM window file; the card maps it at this offset.
constexpr long eeprom_window = 0x10000000;

// Writes them all; "" when every one was written, else the files that were
// not, each with its error ("etc/os-release: No space left on device; ...").
std::string write_scenario_files(const std::string& run_dir, const Scenario& sc);

} // namespace pec_bench
