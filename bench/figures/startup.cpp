// Start-up: from the daemon's process start to its first packet on the bus,
// once with the sensor registered at start (which pauses 5 s for the
// kernel's driver) and once with the sensor already bound.

#include "figures.h"

namespace figures {

namespace {

const char* const section = "start-up";

// Seconds from the daemon's start to its first write; -1 with *why.
double one_start(const std::string& scenario, const Settings& s, std::string* why) {
    pec_bench::Scenario sc;
    pec_bench::scenario_by_name(scenario, &sc);
    Bench bench(sc);
    std::vector<TraceEvent> first;
    if (!bench.start_daemon(s.daemon) ||
        !bench.wait_for([](const TraceEvent& e) { return e.event == "card_write"; }, 1,
                        std::chrono::seconds(60), &first)) {
        *why = "the daemon did not start, or wrote nothing within 60 s";
        return -1;
    }
    // The process's age (from /proc, on the boot clock) carried over to the
    // trace's clock through one reading of both.
    ProcSample p = sample_process(bench.daemon_pid());
    double now = bench.now();
    if (!p.ok) {
        *why = "the daemon's /proc entry was not read";
        return -1;
    }
    return first.front().t - (now - p.age);
}

Row start_row(const std::string& scenario, const std::string& figure, const Settings& s) {
    std::vector<double> samples;
    std::string why;
    for (int i = 0; i < s.startup_repeats; ++i) {
        double d = one_start(scenario, s, &why);
        if (d < 0) {
            return not_measured(section, figure, why);
        }
        samples.push_back(d);
    }
    return {section, figure, stats_text(samples, 1, 2, "s"),
            "process start (/proc/PID/stat, 10 ms ticks) to the first write in the trace; " +
                std::to_string(samples.size()) + " start(s), scenario " + scenario};
}

} // namespace

Rows measure_startup(const Settings& s) {
    return {start_row("netplan", "exec to first packet, sensor registered (5 s pause)", s),
            start_row("sensor-bound", "exec to first packet, sensor already bound", s)};
}

} // namespace figures
