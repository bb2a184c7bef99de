// The figures program: its settings, the rows of its one table, what the
// measurements on the bench share, and the measurements, one file each. A
// figure that cannot be measured gets a row that says why.
#pragma once

#include "pec_bench/bench.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace figures {

using pec_bench::Bench;
using pec_bench::TraceEvent;

struct Settings {
    bool brief = false;                   // the short form (seconds, for CI)
    double idle_seconds = 120;            // idle window
    int bmc_packets = 10000;              // packets from the BMC in the memory run
    int reports = 10000;                  // card writes in the memory run
    int full_queue_sets = 8;              // description sets timed write to write
    int queued_reports = 20;              // lone reports timed from queue to write
    int line_samples = 200;               // line-low-to-read samples
    int apply_repeats = 3;                // applies per network manager and per file size
    int startup_repeats = 3;              // starts with and without the sensor pause
    double scaling_seconds = 1.0;         // least time spent timing each size
    std::string daemon, interposer, self; // the binaries of this build, this program
};

// table.cpp: the rows, their statistics and number formats.
struct Row {
    std::string section, figure, value, how;
};
using Rows = std::vector<Row>;
void print_table(const std::vector<Rows>& parts); // fixed width, sections apart
std::string fixed(double v, int decimals);
double mean_of(const std::vector<double>& v);
// "mean 220.71, min 220.40, max 221.02 ms" (the one value when there is one)
// of the values times `scale` (1000 for seconds shown in ms).
std::string stats_text(const std::vector<double>& v, double scale, int decimals,
                       const std::string& unit);
Row not_measured(const std::string& section, const std::string& figure, const std::string& why);
void progress(const std::string& line); // a line on standard error, from any thread

// bench_run.cpp: a bench of the named scenario with the daemon running and
// its start-up traffic through; null with *why when that does not happen.
std::unique_ptr<Bench> started_bench(const std::string& scenario, const Settings& s,
                                     std::string* why, bool debug = false);
bool is_write(const TraceEvent& e);       // a packet the card wrote whole
bool is_packet_read(const TraceEvent& e); // a packet the card read (not an idle read)
bool ends_set(const TraceEvent& e);       // the last packet of a description set
std::function<bool(const TraceEvent&)> reports_ip(const std::string& ip);
size_t count_of(Bench& bench, const std::function<bool(const TraceEvent&)>& pred);
// Moves eth0 in the daemon's network namespace between two addresses (`n`:
// the move's number), as the card's host would, which makes the card send a
// description set; false when its address packet did not come.
bool another_set(Bench& bench, int n);

// host.cpp: the text after "key:" on the first line of a /proc file that
// starts with it; the idle figures' control run (--control SECONDS line|sleep).
std::string proc_field(const std::string& path, const std::string& key);
int run_control(double seconds, bool read_line);

// scaling.cpp: a netplan document with `interfaces` interfaces: eth0 static
// at 192.0.2.10/24, eth1... each with an address, a route and name servers.
std::string netplan_with_interfaces(int interfaces);

// The parts, in the order of the table.
Rows measure_scaling(const Settings& s);    // in-process: netplan update, set_Data by size
Rows measure_apply_path(const Settings& s); // the whole netplan apply path by file size
Rows measure_startup(const Settings& s);    // exec to the first packet
Rows measure_link(const Settings& s);       // pacing and latencies of the link
Rows measure_requests(const Settings& s);   // an apply to its effect, per manager
Rows measure_idle(const Settings& s);       // CPU and wake-ups while idle
Rows measure_memory(const Settings& s);     // memory and descriptors under load

} // namespace figures
