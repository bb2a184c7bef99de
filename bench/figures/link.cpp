// The link's pacing and latencies, from the trace's time stamps: writes with
// a full transmit queue, a lone report from its queueing to its write, and
// a packet of the BMC from the line going low to the card's read.

#include "bench_run.h"
#include "log_stamps.h"

#include <random>
#include <thread>

namespace figures {

namespace {

const char* const section = "link";
constexpr double protocol_interval = 0.220; // the 200 ms pause and one 20 ms pass

size_t count_events(const Bench& bench, const Predicate& pred) {
    size_t n = 0;
    for (const TraceEvent& e : bench.trace()) {
        n += pred(e) ? 1 : 0;
    }
    return n;
}

// Moves eth0 back and forth so that each move makes the card send a
// description set: eight packets queued at once.
bool more_sets(Bench& bench, int sets) {
    for (int i = 0; i < sets; ++i) {
        const std::string address = i % 2 == 0 ? "192.0.2.11" : "192.0.2.10";
        size_t seen = count_events(bench, reports_ip(address));
        if (!move_eth0(bench, address) ||
            !bench.wait_for(reports_ip(address), seen + 1, std::chrono::seconds(30))) {
            return false;
        }
        bench.wait_for(ends_set, count_events(bench, ends_set) + 1, std::chrono::seconds(5));
    }
    return true;
}

// Intervals between consecutive writes of each description set in the trace.
std::vector<double> set_intervals(const std::vector<TraceEvent>& trace) {
    std::vector<double> out;
    const TraceEvent* previous = nullptr;
    for (const TraceEvent& e : trace) {
        if (!is_write(e)) {
            continue;
        }
        bool in_set = e.packet.address() == pec_bench::proto::DESCRIPTION && e.packet.length() > 5;
        bool first = in_set && e.packet.subaddress() == pec_bench::proto::DESC_OS;
        if (in_set && !first && previous != nullptr) {
            out.push_back(e.t - previous->t);
        }
        previous = in_set ? &e : nullptr;
    }
    return out;
}

Rows full_queue_rows(Bench& bench, const Settings& s) {
    if (!more_sets(bench, s.full_queue_sets)) {
        return {not_measured(section, "write interval, full queue",
                             "a description set was due and did not come")};
    }
    Stats st = stats_of(set_intervals(bench.trace()));
    const std::string how = "trace stamps of consecutive writes in " + std::to_string(st.n / 7) +
                            " description sets (8 packets queued at once), " +
                            std::to_string(st.n) + " intervals";
    auto row = [&](const char* which, double v) {
        return Row{section, std::string("write interval, full queue: ") + which,
                   fixed(v * 1000, 2) + " ms = " + fixed(v / protocol_interval, 4) + " x 220 ms",
                   how};
    };
    return {row("mean", st.mean), row("min", st.min), row("max", st.max)};
}

// A write between the report's queueing and its own write means that the
// queue was not empty.
bool written_alone(const std::vector<TraceEvent>& trace, double queued, double written) {
    for (const TraceEvent& e : trace) {
        if (e.event == "card_write" && e.t > queued && e.t < written) {
            return false;
        }
    }
    return true;
}

// Each temperature change is reported by the next cycle, which logs the
// value it read right before it queues the report.
Row queued_row(Bench& bench, const Settings& s) {
    LogStamps log(bench, bench.run_dir() + "/daemon.stdout");
    std::vector<double> latencies;
    for (int i = 1; i <= s.queued_reports; ++i) {
        const double celsius = 30.0 + 0.5 * i;
        bench.set_temperature(celsius);
        std::vector<TraceEvent> report;
        if (!bench.wait_for(reports_temperature(static_cast<float>(celsius)), 1,
                            std::chrono::seconds(10), &report)) {
            return not_measured(section, "report queued to written",
                                "no report of " + fixed(celsius, 2));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the stamper's next look
        double queued = log.first("update_Temperature: temperature: " + fixed(celsius, 2));
        if (queued >= 0 && written_alone(bench.trace(), queued, report.front().t)) {
            latencies.push_back(report.front().t - queued);
        }
    }
    return {section, "report queued to written (queue empty)",
            stats_text(stats_of(latencies), 1000, 1, "ms"),
            "DEBUG=1: the cycle's temperature line, logged just before it queues the report "
            "(stamped within 1 ms), to the write; " +
                std::to_string(latencies.size()) + " temperature reports"};
}

// Packets queued one at a time, at a random point of the card's 20 ms pass.
Row line_row(Bench& bench, const Settings& s) {
    std::mt19937 rng(20240815);
    std::uniform_int_distribution<int> phase_us(0, 40000);
    size_t reads = count_events(bench, is_packet_read);
    std::vector<double> latencies;
    for (int i = 0; i < s.line_samples; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(phase_us(rng)));
        double queued = bench.now();
        bench.send({0x03, 0x01, pec_bench::proto::PING});
        std::vector<TraceEvent> read;
        if (!bench.wait_for(is_packet_read, ++reads, std::chrono::seconds(5), &read)) {
            return not_measured(section, "line low to read", "a packet was not read in 5 s");
        }
        latencies.push_back(read.back().t - queued);
    }
    return {section, "line pulled low to the card's read",
            stats_text(stats_of(latencies), 1000, 1, "ms"),
            "from queueing the packet (the line goes low) to the card's read of it in the "
            "trace; " +
                std::to_string(latencies.size()) + " pings at random phase"};
}

} // namespace

Rows measure_link(const Settings& s) {
    std::string why = bench_unavailable();
    Scenario sc = named_scenario("netplan");
    sc.debug = true;
    auto bench = why.empty() ? started_bench(sc, s, &why) : nullptr;
    if (!bench) {
        return {not_measured(section, "pacing and latencies", why)};
    }
    Rows rows = full_queue_rows(*bench, s);
    rows.push_back(queued_row(*bench, s));
    rows.push_back(line_row(*bench, s));
    return rows;
}

} // namespace figures
