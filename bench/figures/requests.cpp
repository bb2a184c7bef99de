// A BMC request to its effect, per network manager: from the card's read of
// the apply packet to the new address on eth0, and to the write of the
// description set's address packet that reports it; and how long the link
// stays silent while the apply runs on the link thread, from the reads of
// pings the BMC queues right behind the apply.

#include "bench_run.h"
#include "eth0_watch.h"

#include <algorithm>

namespace figures {

namespace {

const char* const section = "BMC request to its effect";

bool is_apply_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.length() > 5 &&
           e.packet.address() == pec_bench::proto::NETWORK &&
           e.packet.subaddress() == pec_bench::proto::NET_APPLY;
}

// Pings queued behind each apply; the card reads them once the apply is done
// (a ping carries no data: the card neither answers nor acts on it).
constexpr int pings_behind = 3;

bool is_ping_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.type() == pec_bench::proto::PING;
}

// The longest gap between consecutive reads of BMC packets, from the last
// apply read in the trace to the read of the last ping queued behind it.
double longest_silence(const std::vector<TraceEvent>& trace) {
    size_t from = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        from = is_apply_read(trace[i]) ? i : from;
    }
    double longest = 0;
    double last = trace[from].t;
    int pings = 0;
    for (size_t i = from + 1; i < trace.size() && pings < pings_behind; ++i) {
        if (is_packet_read(trace[i])) {
            longest = std::max(longest, trace[i].t - last);
            last = trace[i].t;
            pings += is_ping_read(trace[i]) ? 1 : 0;
        }
    }
    return longest;
}

struct Timing {
    double to_eth0 = 0;
    double to_report = 0;
    double silence = 0;
};

// One static address applied; false with *why when an effect did not come.
bool one_apply(Bench& bench, const Eth0Watch& eth0, int round, Timing* t, std::string* why) {
    const std::string address = round % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    bench.run_script("mode static\nip " + address +
                     "\nnetmask 255.255.255.0\n"
                     "gateway 192.0.2.1\napply\nping\nping\nping\n");
    double on_eth0 = eth0.wait_for(address, std::chrono::seconds(60));
    std::vector<TraceEvent> apply, report;
    if (!bench.wait_for(is_apply_read, static_cast<size_t>(round) + 1, std::chrono::seconds(5),
                        &apply) ||
        on_eth0 < 0) {
        *why = "eth0 did not get " + address + " within 60 s";
        return false;
    }
    if (!bench.wait_for(reports_ip(address), static_cast<size_t>(round / 2) + 1,
                        std::chrono::seconds(60), &report)) {
        *why = "no description set with " + address + " within 60 s";
        return false;
    }
    if (!bench.wait_for(is_ping_read, static_cast<size_t>(round + 1) * pings_behind,
                        std::chrono::seconds(30))) {
        *why = "the pings queued behind the apply were not read within 30 s";
        return false;
    }
    t->to_eth0 = on_eth0 - apply.back().t;
    t->to_report = report.back().t - apply.back().t;
    t->silence = longest_silence(bench.trace());
    return true;
}

struct Manager {
    const char* scenario;
    const char* name;
    const char* applies; // what carries the change out on the bench
};

const Manager managers[] = {
    {"netplan", "netplan", "stand-in netplan apply: the real netplan generator, then ip"},
    {"ifupdown", "ifupdown", "stand-in systemctl restart: the real ifdown and ifup"},
    {"nm", "NetworkManager", "the real NetworkManager"},
};

Rows manager_rows(const Manager& m, const Settings& s) {
    const std::string scenario = m.scenario;
    const std::string manager = m.name;
    std::string why;
    auto bench = started_bench(named_scenario(scenario), s, &why);
    if (!bench) {
        return {not_measured(section, manager + ": apply", why)};
    }
    Eth0Watch eth0(*bench);
    if (!eth0.ready()) {
        why = "no socket in the daemon's network namespace";
    }
    std::vector<double> to_eth0, to_report, silence;
    for (int round = 0; why.empty() && round < s.apply_repeats; ++round) {
        Timing t;
        if (one_apply(*bench, eth0, round, &t, &why)) {
            to_eth0.push_back(t.to_eth0);
            to_report.push_back(t.to_report);
            silence.push_back(t.silence);
        }
    }
    if (!why.empty()) {
        return {not_measured(section, manager + ": apply", why)};
    }
    const std::string n = std::to_string(to_eth0.size()) + " apply(s), scenario " + scenario;
    return {{section, manager + ": apply read to address on eth0",
             stats_text(stats_of(to_eth0), 1000, 0, "ms"),
             "trace's read of the apply packet to eth0's address (SIOCGIFADDR every 1 ms); " + n +
                 "; " + m.applies},
            {section, manager + ": apply read to description set reporting it",
             stats_text(stats_of(to_report), 1000, 0, "ms"),
             "trace: read of the apply packet to the write of the set's address packet; " + n},
            {section, manager + ": longest link silence during an apply",
             stats_text(stats_of(silence), 1000, 0, "ms"),
             "trace: longest gap between the card's reads of BMC packets, from the apply's read "
             "to the last of " +
                 std::to_string(pings_behind) + " pings queued right behind it; " + n}};
}

} // namespace

Rows measure_requests(const Settings& s) {
    std::string why = bench_unavailable();
    if (!why.empty()) {
        return {not_measured(section, "apply to effect", why)};
    }
    Rows rows;
    for (const Manager& m : managers) {
        Rows r = manager_rows(m, s);
        rows.insert(rows.end(), r.begin(), r.end());
    }
    return rows;
}

} // namespace figures
