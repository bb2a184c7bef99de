// Start-up: from the daemon's process start to its first packet on the bus,
// once with the sensor registered at start (which pauses 5 s for the
// kernel's driver) and once with the sensor already bound.

#include "bench_run.h"
#include "proc_sample.h"

namespace figures {

namespace {

const char* const section = "start-up";

// Seconds from the daemon's start to its first write; -1 with *why.
double one_start(const Scenario& sc, const Settings& s, std::string* why) {
    Bench bench(sc);
    if (!bench.start_daemon(s.daemon)) {
        *why = "the daemon did not start";
        return -1;
    }
    std::vector<TraceEvent> first;
    if (!bench.wait_for([](const TraceEvent& e) { return e.event == "card_write"; }, 1,
                        std::chrono::seconds(60), &first)) {
        *why = "no packet within 60 s";
        return -1;
    }
    // The start time in /proc is on the boot clock; carry it over to the
    // trace's clock through one reading of both.
    double started = process_start(bench.daemon_pid());
    double trace_now = bench.now();
    double boot_now = boot_clock_now();
    if (started < 0) {
        *why = "the daemon's /proc entry was not found";
        return -1;
    }
    return first.front().t - (trace_now - (boot_now - started));
}

Row start_row(const std::string& scenario, const std::string& figure, const Settings& s) {
    std::vector<double> samples;
    std::string why;
    for (int i = 0; i < s.startup_repeats; ++i) {
        double d = one_start(named_scenario(scenario), s, &why);
        if (d < 0) {
            return not_measured(section, figure, why);
        }
        samples.push_back(d);
    }
    return {section, figure, stats_text(stats_of(samples), 1, 2, "s"),
            "process start (/proc/PID/stat, 10 ms ticks) to the first write in the trace; " +
                std::to_string(samples.size()) + " start(s), scenario " + scenario};
}

} // namespace

Rows measure_startup(const Settings& s) {
    std::string why = bench_unavailable();
    if (!why.empty()) {
        return {not_measured(section, "exec to first packet", why)};
    }
    return {start_row("netplan", "exec to first packet, sensor registered (5 s pause)", s),
            start_row("sensor-bound", "exec to first packet, sensor already bound", s)};
}

} // namespace figures
