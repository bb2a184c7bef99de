// Memory and descriptors under load: the daemon's resident memory and open
// descriptors after start-up and after many packets from the BMC (valid
// requests and random bytes) and many reports to it. Reports are brought on
// by moving eth0 between two addresses: each move makes the card send a
// description set, eight packets, the most a main-loop cycle sends.

#include "figures.h"

#include <algorithm>
#include <map>
#include <random>
#include <thread>

namespace figures {

namespace {

const char* const section = "memory and descriptors";
constexpr int set_packets = 8;

// The BMC's side of the load, one packet: valid requests that change nothing
// on the host (settings are only kept until an apply, which never comes),
// pings, and random bytes that do not address the mode, the apply or the
// hostname.
void send_bmc_packet(Bench& bench, int n, std::mt19937& rng) {
    static const char* const valid[] = {"mode static",           "ip 192.0.2.30",
                                        "netmask 255.255.255.0", "gateway 192.0.2.1",
                                        "dns1 192.0.2.53",       "ping"};
    if (n % 8 < 6) {
        bench.command(valid[n % 8]);
        return;
    }
    pec_bench::Bytes b(std::uniform_int_distribution<size_t>(1, 80)(rng));
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    while (b.size() > 4 &&
           (b[4] == pec_bench::proto::NET_MODE || b[4] == pec_bench::proto::NET_APPLY ||
            b[4] == pec_bench::proto::NET_HOSTNAME)) {
        b[4] = static_cast<uint8_t>(rng());
    }
    bench.send(b);
}

// Rounds of an eth0 move (while reports are due) and a share of the BMC's
// packets, each until the card has read them and reported the new address;
// the peak /proc figures seen, or !ok when the card stopped doing either.
ProcSample run_load(Bench& bench, const Settings& s, ProcSample peak) {
    std::mt19937 rng(20240815);
    std::map<std::string, size_t> reported;
    size_t reads = count_of(bench, is_packet_read);
    for (const char* address : {"192.0.2.10", "192.0.2.11"}) {
        reported[address] = count_of(bench, reports_ip(address));
    }
    const int share = std::max(1, s.bmc_packets * set_packets / std::max(s.reports, set_packets));
    int sent = 0;
    for (int round = 0; round * set_packets < s.reports || sent < s.bmc_packets; ++round) {
        const bool move = round * set_packets < s.reports;
        const std::string address = round % 2 == 0 ? "192.0.2.11" : "192.0.2.10";
        peak.ok = !move || move_eth0(bench, address);
        for (int i = 0; i < share && sent < s.bmc_packets; ++i, ++reads) {
            send_bmc_packet(bench, sent++, rng);
        }
        peak.ok = peak.ok && bench.wait_for(is_packet_read, reads, std::chrono::seconds(30)) &&
                  (!move || bench.wait_for(reports_ip(address), ++reported[address],
                                           std::chrono::seconds(30)));
        ProcSample now = sample_process(bench.daemon_pid());
        peak.rss_kib = std::max(peak.rss_kib, now.rss_kib);
        peak.fds = std::max(peak.fds, now.fds);
        if (!peak.ok) {
            return peak;
        }
        if (round % 100 == 99) {
            progress("memory: " + std::to_string(sent) + " BMC packets, about " +
                     std::to_string((round + 1) * set_packets) + " reports");
        }
    }
    // The rest of the last set drains from the transmit queue.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return peak;
}

std::string mib(long kib) {
    return fixed(static_cast<double>(kib) / 1024.0, 2);
}

} // namespace

Rows measure_memory(const Settings& s) {
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    if (!bench) {
        return {not_measured(section, "memory under load", why)};
    }
    const double start = bench->now();
    ProcSample before = sample_process(bench->daemon_pid());
    ProcSample peak = before.ok ? run_load(*bench, s, before) : before;
    if (!peak.ok) {
        return {
            not_measured(section, "memory under load", "the card stopped reading or reporting")};
    }
    const double seconds = bench->now() - start;
    ProcSample after = sample_process(bench->daemon_pid());
    return {{section, "resident memory",
             mib(before.rss_kib) + " MiB before, " + mib(after.rss_kib) + " MiB after (max " +
                 mib(peak.rss_kib) + ")",
             "VmRSS of /proc/PID/status after start-up, after the load below, and each round"},
            {section, "open descriptors",
             std::to_string(before.fds) + " before, " + std::to_string(after.fds) + " after (max " +
                 std::to_string(peak.fds) + ")",
             "entries of /proc/PID/fd"},
            {section, "the load",
             std::to_string(count_of(*bench, is_packet_read)) + " packets read from the BMC, " +
                 std::to_string(count_of(*bench, is_write)) + " written to it, in " +
                 fixed(seconds, 0) + " s",
             "BMC: settings, pings, random bytes; card: a description set per eth0 move"}};
}

} // namespace figures
