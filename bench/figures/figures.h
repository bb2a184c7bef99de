// The figures program: what it measures, in how many samples, and the
// measurements themselves, one function per concern. Each returns its rows
// of the table; a figure that cannot be measured (no root, a bench that does
// not come up) gets a row that says why.
#pragma once

#include "table.h"

#include <string>

namespace figures {

struct Settings {
    bool brief = false;           // the short form (seconds, for CI)
    double idle_seconds = 120;    // idle window
    int bmc_packets = 10000;      // packets from the BMC in the memory run
    int reports = 10000;          // card writes in the memory run
    int full_queue_sets = 8;      // description sets timed write to write
    int queued_reports = 20;      // lone reports timed from queue to write
    int line_samples = 200;       // line-low-to-read samples
    int apply_repeats = 3;        // applies per network manager
    int startup_repeats = 3;      // starts with and without the sensor pause
    double scaling_seconds = 1.0; // least time spent timing each size
    std::string daemon;           // the daemon binary
    std::string interposer;       // the device interposer library
    std::string poller;           // the control program (line_poller)
};

Settings full_settings();
Settings short_settings();

// In-process, on this machine: the netplan document update and
// Config_File::set_Data by the size of what they work on (scaling.cpp).
Rows measure_scaling(const Settings& s);
// The whole netplan apply path in a private mount and network namespace of
// a child process (apply_path.cpp). Run before any thread is started.
Rows measure_apply_path(const Settings& s);
// On the bench, each with a daemon of its own:
Rows measure_startup(const Settings& s);  // exec to the first packet
Rows measure_link(const Settings& s);     // pacing and latencies of the link
Rows measure_requests(const Settings& s); // an apply to its effect, per manager
Rows measure_idle(const Settings& s);     // CPU and wake-ups while idle
Rows measure_memory(const Settings& s);   // memory and descriptors under load

} // namespace figures
