// Memory and descriptors under load: the daemon's resident memory and open
// descriptors after start-up and after many packets from the BMC (valid
// requests and random bytes) and many reports to it. Reports are brought on
// by moving eth0 between two addresses: each move makes the card send a
// description set, eight packets, the most a main-loop cycle sends.

#include "bench_run.h"
#include "proc_sample.h"

#include <algorithm>
#include <map>
#include <random>
#include <thread>

namespace figures {

namespace {

const char* const section = "memory and descriptors";
constexpr int set_packets = 8;

// The BMC's side of the load: valid requests that change nothing on the
// host (settings are only kept until an apply, which never comes), pings,
// and random bytes that do not address the mode, the apply or the hostname.
class BmcTraffic {
public:
    void send_next(Bench& bench) {
        static const char* const valid[] = {"mode static",           "ip 192.0.2.30",
                                            "netmask 255.255.255.0", "gateway 192.0.2.1",
                                            "dns1 192.0.2.53",       "ping"};
        const size_t kind = sent_++ % 8;
        if (kind < sizeof(valid) / sizeof(valid[0])) {
            bench.command(valid[kind]);
            return;
        }
        pec_bench::Bytes b(std::uniform_int_distribution<size_t>(1, 80)(rng_));
        for (uint8_t& x : b) {
            x = static_cast<uint8_t>(rng_());
        }
        while (b.size() > 4 &&
               (b[4] == pec_bench::proto::NET_MODE || b[4] == pec_bench::proto::NET_APPLY ||
                b[4] == pec_bench::proto::NET_HOSTNAME)) {
            b[4] = static_cast<uint8_t>(rng_());
        }
        bench.send(b);
    }
    int sent() const { return static_cast<int>(sent_); }

private:
    size_t sent_ = 0;
    std::mt19937 rng_{20240815};
};

struct Load {
    int rounds = 0;
    double seconds = 0;
    ProcSample peak;                        // the largest memory and descriptor counts seen
    std::map<std::string, size_t> reported; // description sets so far, by address
};

// One round: eth0 moves (while reports are due), a share of the BMC's
// packets is queued, and the round ends when the card has read them and
// reported the new address. False when the card stops doing either.
bool one_round(Bench& bench, const Settings& s, BmcTraffic& bmc, Load& load, size_t* reads) {
    const bool move = load.rounds * set_packets < s.reports;
    const std::string address = load.rounds % 2 == 0 ? "192.0.2.11" : "192.0.2.10";
    if (move && !move_eth0(bench, address)) {
        return false;
    }
    int share = std::max(1, s.bmc_packets * set_packets / std::max(s.reports, set_packets));
    for (int i = 0; i < share && bmc.sent() < s.bmc_packets; ++i, ++*reads) {
        bmc.send_next(bench);
    }
    size_t reported = move ? ++load.reported[address] : 0;
    ++load.rounds;
    return bench.wait_for(is_packet_read, *reads, std::chrono::seconds(30)) &&
           (!move || bench.wait_for(reports_ip(address), reported, std::chrono::seconds(30)));
}

bool run_load(Bench& bench, const Settings& s, Load* load) {
    BmcTraffic bmc;
    size_t reads = 0;
    for (const TraceEvent& e : bench.trace()) {
        reads += is_packet_read(e) ? 1 : 0;
        for (const char* address : {"192.0.2.10", "192.0.2.11"}) {
            load->reported[address] += reports_ip(address)(e) ? 1 : 0;
        }
    }
    const double start = bench.now();
    pid_t pid = bench.daemon_pid();
    while (load->rounds * set_packets < s.reports || bmc.sent() < s.bmc_packets) {
        if (!one_round(bench, s, bmc, *load, &reads)) {
            return false;
        }
        ProcSample now = sample_process(pid);
        load->peak.rss_kib = std::max(load->peak.rss_kib, now.rss_kib);
        load->peak.fds = std::max(load->peak.fds, now.fds);
        if (load->rounds % 100 == 0) {
            progress("memory: " + std::to_string(bmc.sent()) + " BMC packets, about " +
                     std::to_string(load->rounds * set_packets) + " reports");
        }
    }
    // The rest of the last set drains from the transmit queue.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    load->seconds = bench.now() - start;
    return true;
}

std::string mib(long kib) {
    return fixed(static_cast<double>(kib) / 1024.0, 2);
}

} // namespace

Rows measure_memory(const Settings& s) {
    std::string why = bench_unavailable();
    auto bench = why.empty() ? started_bench(named_scenario("netplan"), s, &why) : nullptr;
    if (!bench) {
        return {not_measured(section, "memory under load", why)};
    }
    ProcSample before = sample_process(bench->daemon_pid());
    Load load;
    load.peak = before;
    if (!before.ok || !run_load(*bench, s, &load)) {
        return {
            not_measured(section, "memory under load", "the card stopped reading or reporting")};
    }
    ProcSample after = sample_process(bench->daemon_pid());
    size_t reads = 0, writes = 0;
    for (const TraceEvent& e : bench->trace()) {
        reads += is_packet_read(e) ? 1 : 0;
        writes += is_write(e) ? 1 : 0;
    }
    return {{section, "resident memory",
             mib(before.rss_kib) + " MiB before, " + mib(after.rss_kib) + " MiB after (max " +
                 mib(load.peak.rss_kib) + ")",
             "VmRSS of /proc/PID/status after start-up, after the load below, and each round"},
            {section, "open descriptors",
             std::to_string(before.fds) + " before, " + std::to_string(after.fds) + " after (max " +
                 std::to_string(load.peak.fds) + ")",
             "entries of /proc/PID/fd"},
            {section, "the load",
             std::to_string(reads) + " packets read from the BMC, " + std::to_string(writes) +
                 " written to it, in " + fixed(load.seconds, 0) + " s",
             "BMC: settings, pings, random bytes; card: a description set per eth0 move"}};
}

} // namespace figures
