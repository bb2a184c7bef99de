// A BMC request to its effect, per network manager: from the card's read of
// the apply packet to the new address on eth0, and to the write of the
// description set's address packet that reports it.

#include "bench_run.h"
#include "eth0_watch.h"

namespace figures {

namespace {

const char* const section = "BMC request to its effect";

bool is_apply_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.length() > 5 &&
           e.packet.address() == pec_bench::proto::NETWORK &&
           e.packet.subaddress() == pec_bench::proto::NET_APPLY;
}

struct Timing {
    double to_eth0 = 0;
    double to_report = 0;
};

// One static address applied; false with *why when an effect did not come.
bool one_apply(Bench& bench, const Eth0Watch& eth0, int round, Timing* t, std::string* why) {
    const std::string address = round % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    bench.run_script("mode static\nip " + address +
                     "\nnetmask 255.255.255.0\n"
                     "gateway 192.0.2.1\napply\n");
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
    t->to_eth0 = on_eth0 - apply.back().t;
    t->to_report = report.back().t - apply.back().t;
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
    std::vector<double> to_eth0, to_report;
    for (int round = 0; why.empty() && round < s.apply_repeats; ++round) {
        Timing t;
        if (one_apply(*bench, eth0, round, &t, &why)) {
            to_eth0.push_back(t.to_eth0);
            to_report.push_back(t.to_report);
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
             "trace: read of the apply packet to the write of the set's address packet; " + n}};
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
