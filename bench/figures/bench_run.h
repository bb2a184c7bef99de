// What the measurements on the bench share: a bench with the daemon started
// and its start-up traffic through, predicates on the trace, and changes
// made inside the daemon's namespaces.
#pragma once

#include "figures.h"

#include "pec_bench/bench.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace figures {

using pec_bench::Bench;
using pec_bench::Packet;
using pec_bench::Scenario;
using pec_bench::TraceEvent;
using Predicate = std::function<bool(const TraceEvent&)>;

// "" when the bench can run the daemon here, else why not.
std::string bench_unavailable();

// A bench on `sc` with the daemon running, once both description sets of
// the start and, with a sensor, the first temperature report are written.
// Null, with *why, when that does not happen.
std::unique_ptr<Bench> started_bench(const Scenario& sc, const Settings& s, std::string* why);
Scenario named_scenario(const std::string& name);

// A packet the card wrote whole.
bool is_write(const TraceEvent& e);
// A packet the card read (not an idle read).
bool is_packet_read(const TraceEvent& e);
// The last packet of a description set.
bool ends_set(const TraceEvent& e);
// The address packet of a description set that carries `ip`.
Predicate reports_ip(const std::string& ip);
// The card's temperature report of `celsius`.
Predicate reports_temperature(float celsius);

// Gives eth0 in the daemon's network namespace `address`/24, with the
// default route via 192.0.2.1, as a change made on the card's host would.
bool move_eth0(const Bench& bench, const std::string& address);

// Runs a program (searched on PATH) with its output discarded; its exit
// status, or -1 when it could not be run or did not exit.
int run_quietly(const std::vector<std::string>& argv);

} // namespace figures
