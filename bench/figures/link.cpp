// The link's pacing and latencies, from the trace's time stamps: writes with
// a full transmit queue, a lone report from its queueing to its write, and
// a packet of the BMC from the line going low to the card's read.

#include "figures.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

namespace figures {

namespace {

const char* const section = "link";
constexpr double protocol_interval = 0.220; // the 200 ms pause and one 20 ms pass

// Moves eth0 back and forth so that each move makes the card send a
// description set: eight packets queued at once.
bool more_sets(Bench& bench, int sets) {
    for (int i = 0; i < sets; ++i) {
        const std::string address = i % 2 == 0 ? "192.0.2.11" : "192.0.2.10";
        size_t seen = count_of(bench, reports_ip(address)), ends = count_of(bench, ends_set);
        if (!move_eth0(bench, address) ||
            !bench.wait_for(reports_ip(address), seen + 1, std::chrono::seconds(30))) {
            return false;
        }
        bench.wait_for(ends_set, ends + 1, std::chrono::seconds(5));
    }
    return true;
}

Rows full_queue_rows(Bench& bench, const Settings& s) {
    if (!more_sets(bench, s.full_queue_sets)) {
        return {not_measured(section, "write interval, full queue",
                             "a description set was due and did not come")};
    }
    // Intervals between consecutive writes within each description set.
    std::vector<double> v;
    const TraceEvent* previous = nullptr;
    std::vector<TraceEvent> trace = bench.trace();
    for (const TraceEvent& e : trace) {
        if (!is_write(e)) {
            continue;
        }
        bool in_set = e.packet.address() == pec_bench::proto::DESCRIPTION && e.packet.length() > 5;
        if (in_set && e.packet.subaddress() != pec_bench::proto::DESC_OS && previous != nullptr) {
            v.push_back(e.t - previous->t);
        }
        previous = in_set ? &e : nullptr;
    }
    if (v.empty()) {
        return {not_measured(section, "write interval, full queue", "no description set")};
    }
    const std::string how =
        "trace stamps of consecutive writes in " + std::to_string(v.size() / 7) +
        " description sets (8 packets queued at once), " + std::to_string(v.size()) + " intervals";
    auto row = [&](const char* which, double x) {
        return Row{section, std::string("write interval, full queue: ") + which,
                   fixed(x * 1000, 2) + " ms = " + fixed(x / protocol_interval, 4) + " x 220 ms",
                   how};
    };
    return {row("mean", mean_of(v)), row("min", *std::min_element(v.begin(), v.end())),
            row("max", *std::max_element(v.begin(), v.end()))};
}

// The bench time at which `text` appeared in the daemon's output past byte
// `from`, looking every millisecond; -1 when it did not within 10 s.
double text_appears(const Bench& bench, size_t from, const std::string& text) {
    std::ifstream in(bench.run_dir() + "/daemon.stdout", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::string seen;
    char buf[4096];
    for (int ms = 0; ms < 10000; ++ms) {
        while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
            seen.append(buf, static_cast<size_t>(in.gcount()));
        }
        in.clear(); // past the end of a file that grows
        if (seen.find(text) != std::string::npos) {
            return bench.now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

// Each temperature change is reported by the next cycle, which logs the
// value it read (DEBUG=1) right before it queues the report. A write between
// the two means the queue was not empty; that report is left out.
Row queued_row(Bench& bench, const Settings& s) {
    std::vector<double> latencies;
    for (int i = 1; i <= s.queued_reports; ++i) {
        const float celsius = 30.0f + 0.5f * static_cast<float>(i);
        pec_bench::Bytes data(sizeof(celsius));
        memcpy(data.data(), &celsius, sizeof(celsius));
        auto report = [&](const TraceEvent& e) {
            return is_write(e) && e.packet.address() == pec_bench::proto::STATUS &&
                   e.packet.data() == data;
        };
        const size_t from = bench.daemon_stdout().size();
        bench.set_temperature(celsius);
        double queued =
            text_appears(bench, from, "update_Temperature: temperature: " + fixed(celsius, 2));
        std::vector<TraceEvent> written;
        if (!bench.wait_for(report, 1, std::chrono::seconds(10), &written)) {
            return not_measured(section, "report queued to written",
                                "no report of " + fixed(celsius, 2));
        }
        auto write_between = [&](const TraceEvent& e) {
            return e.event == "card_write" && e.t > queued && e.t < written.front().t;
        };
        if (queued >= 0 && count_of(bench, write_between) == 0) {
            latencies.push_back(written.front().t - queued);
        }
    }
    return {section, "report queued to written (queue empty)", stats_text(latencies, 1000, 1, "ms"),
            "DEBUG=1: the cycle's temperature line, logged just before it queues the report "
            "(seen within 1 ms), to the write; " +
                std::to_string(latencies.size()) + " temperature reports"};
}

// Packets queued one at a time, at a random point of the card's 20 ms pass.
Row line_row(Bench& bench, const Settings& s) {
    std::mt19937 rng(20240815);
    std::uniform_int_distribution<int> phase_us(0, 40000);
    size_t reads = count_of(bench, is_packet_read);
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
    return {section, "line pulled low to the card's read", stats_text(latencies, 1000, 1, "ms"),
            "from queueing the packet (the line goes low) to the card's read of it in the "
            "trace; " +
                std::to_string(latencies.size()) + " pings at random phase"};
}

} // namespace

Rows measure_link(const Settings& s) {
    std::string why;
    auto bench = started_bench("netplan", s, &why, true);
    if (!bench) {
        return {not_measured(section, "pacing and latencies", why)};
    }
    Rows rows = full_queue_rows(*bench, s);
    rows.push_back(queued_row(*bench, s));
    rows.push_back(line_row(*bench, s));
    return rows;
}

} // namespace figures
