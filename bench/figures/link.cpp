// The link, timed from the trace's stamps: writes with a full transmit queue,
// a lone report from its queueing to its write, a BMC packet from the line
// going low to its read; per network manager, an apply's read to its effects
// and the link's longest silence while the apply runs on the link thread;
// and the whole netplan apply path by netplan file size.

#include "figures.h"

#include "file_replace.h"
#include "os_wrappers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <net/if.h>
#include <numeric>
#include <random>
#include <sched.h>
#include <sys/socket.h>
#include <thread>

namespace figures {

namespace {

// Write to write intervals within description sets (eight packets queued
// at once), brought on by moving eth0 back and forth.
Rows full_queue_rows(Bench& bench, const Settings& s) {
    for (int i = 0; i < s.full_queue_sets; ++i) {
        const size_t ends = count_of(bench, ends_set);
        if (!another_set(bench, i) ||
            !bench.wait_for(ends_set, ends + 1, std::chrono::seconds(5))) {
            return {not_measured("link", "write interval, full queue",
                                 "a description set was due and did not come")};
        }
    }
    std::vector<double> v;
    double previous = -1; // the last write of a set so far
    for (const TraceEvent& e : bench.trace()) {
        bool in_set = is_write(e) && e.packet.address() == pec_bench::proto::DESCRIPTION &&
                      e.packet.length() > 5;
        if (in_set && e.packet.subaddress() != pec_bench::proto::DESC_OS && previous >= 0) {
            v.push_back(e.t - previous);
        }
        previous = in_set ? e.t : is_write(e) ? -1 : previous;
    }
    const std::string how =
        "trace stamps of consecutive writes in " + std::to_string(v.size() / 7) +
        " description sets (8 packets queued at once), " + std::to_string(v.size()) + " intervals";
    auto row = [&](const char* which, double x) {
        return Row{"link", std::string("write interval, full queue: ") + which,
                   fixed(x * 1000, 2) + " ms = " + fixed(x / 0.220, 4) +
                       " x 220 ms", // 220 ms: the 200 ms pause and one 20 ms pass
                   how};
    };
    auto range = std::minmax_element(v.begin(), v.end()); // the start's two sets at least
    return {row("mean", mean_of(v)), row("min", *range.first), row("max", *range.second)};
}

// Each temperature change is reported by the next cycle, which logs the
// value it read (DEBUG=1) right before it queues the report: the line is
// looked for every millisecond. A write between the two means the queue was
// not empty; that report is left out.
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
        const std::string line = "update_Temperature: temperature: " + fixed(celsius, 2);
        std::ifstream out(bench.run_dir() + "/daemon.stdout", std::ios::ate); // from now on
        std::string fresh;
        bench.set_temperature(celsius);
        double queued = -1;
        for (int ms = 0; ms < 10000 && queued < 0; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            out.clear(); // past the end of a file that grows
            fresh.append(std::istreambuf_iterator<char>(out), {});
            queued = fresh.find(line) != std::string::npos ? bench.now() : -1;
        }
        std::vector<TraceEvent> written;
        if (!bench.wait_for(report, 1, std::chrono::seconds(10), &written)) {
            return not_measured("link", "report queued to written",
                                "no report of " + fixed(celsius, 2));
        }
        auto write_between = [&](const TraceEvent& e) {
            return e.event == "card_write" && e.t > queued && e.t < written.front().t;
        };
        if (queued >= 0 && count_of(bench, write_between) == 0) {
            latencies.push_back(written.front().t - queued);
        }
    }
    return {"link", "report queued to written (queue empty)", stats_text(latencies, 1000, 1, "ms"),
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
            return not_measured("link", "line low to read", "a packet was not read in 5 s");
        }
        latencies.push_back(read.back().t - queued);
    }
    return {"link", "line pulled low to the card's read", stats_text(latencies, 1000, 1, "ms"),
            "queueing the packet (the line goes low) to the card's read of it in the trace; " +
                std::to_string(latencies.size()) + " pings at random phase"};
}

bool is_apply_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.length() > 5 &&
           e.packet.address() == pec_bench::proto::NETWORK &&
           e.packet.subaddress() == pec_bench::proto::NET_APPLY;
}

bool is_ping_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.type() == pec_bench::proto::PING;
}

// The bench time at which eth0 in the daemon's network namespace first had
// `address`, looked at every millisecond for a minute; -1 if never. A thread
// joins the namespace to make a socket in it, looks, and ends.
double eth0_gets(const Bench& bench, const std::string& address) {
    double at = -1;
    std::thread([&] {
        Unique_Fd ns(open(("/proc/" + std::to_string(bench.daemon_pid()) + "/ns/net").c_str(),
                          O_RDONLY | O_CLOEXEC));
        Unique_Fd sock(ns.valid() && setns(ns.get(), CLONE_NEWNET) == 0
                           ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)
                           : -1);
        sockaddr_in want{}, got{};
        inet_pton(AF_INET, address.c_str(), &want.sin_addr);
        ifreq req{};
        snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", "eth0");
        for (int ms = 0; sock.valid() && at < 0 && ms < 60000; ++ms) {
            const bool read = ioctl(sock.get(), SIOCGIFADDR, &req) == 0;
            memcpy(&got, &req.ifr_addr, sizeof(got));
            at = read && got.sin_addr.s_addr == want.sin_addr.s_addr ? bench.now() : -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }).join();
    return at;
}

struct Applies {                                              // from the card's read of the apply
    std::vector<double> to_eth0, to_report, to_ping, silence; // silence: the longest read gap
    int round = 0;
};

// One static address applied, three pings behind it: the card reads them
// once the apply is done, and neither answers nor acts on them. False with
// *why when an effect did not come.
bool one_apply(Bench& bench, Applies* out, std::string* why) {
    const std::string address = out->round++ % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    const size_t applies = count_of(bench, is_apply_read), pings = count_of(bench, is_ping_read),
                 reports = count_of(bench, reports_ip(address));
    bench.run_script("mode static\nip " + address +
                     "\nnetmask 255.255.255.0\ngateway 192.0.2.1\napply\nping\nping\nping\n");
    const double on_eth0 = eth0_gets(bench, address);
    std::vector<TraceEvent> apply, report, ping;
    if (on_eth0 < 0 ||
        !bench.wait_for(is_apply_read, applies + 1, std::chrono::seconds(5), &apply)) {
        *why = "eth0 did not get " + address + " within 60 s";
    } else if (!bench.wait_for(reports_ip(address), reports + 1, std::chrono::seconds(60),
                               &report)) {
        *why = "no description set with " + address + " within 60 s";
    } else if (!bench.wait_for(is_ping_read, pings + 3, std::chrono::seconds(30), &ping)) {
        *why = "the pings queued behind the apply were not read within 30 s";
    }
    if (!why->empty()) {
        return false;
    }
    // The card reads nothing but the pings after the apply.
    std::vector<double> gaps = {apply.back().t, ping[ping.size() - 3].t, ping[ping.size() - 2].t,
                                ping.back().t};
    std::adjacent_difference(gaps.begin(), gaps.end(), gaps.begin());
    out->to_eth0.push_back(on_eth0 - apply.back().t);
    out->to_report.push_back(report.back().t - apply.back().t);
    out->to_ping.push_back(gaps[1]);
    out->silence.push_back(*std::max_element(gaps.begin() + 1, gaps.end()));
    return true;
}

Rows manager_rows(const char* scenario, const std::string& manager, const char* applied,
                  const Settings& s) {
    const char* const section = "BMC request to its effect";
    std::string why;
    auto bench = started_bench(scenario, s, &why);
    Applies done;
    for (int i = 0; i < s.apply_repeats && why.empty(); ++i) {
        one_apply(*bench, &done, &why);
    }
    if (!why.empty()) {
        return {not_measured(section, manager + ": apply", why)};
    }
    const std::string n = std::to_string(done.round) + " apply(s), scenario " + scenario;
    return {{section, manager + ": apply read to address on eth0",
             stats_text(done.to_eth0, 1000, 0, "ms"),
             "trace's read of the apply packet to eth0's address (SIOCGIFADDR every 1 ms); " + n +
                 "; " + applied},
            {section, manager + ": apply read to description set reporting it",
             stats_text(done.to_report, 1000, 0, "ms"),
             "trace: read of the apply packet to the write of the set's address packet; " + n},
            {section, manager + ": longest link silence during an apply",
             stats_text(done.silence, 1000, 0, "ms"),
             "trace: longest gap between the card's reads of BMC packets from the apply's to "
             "the last of 3 pings queued right behind it; " +
                 n}};
}

} // namespace

Rows measure_link(const Settings& s) {
    std::string why;
    auto bench = started_bench("netplan", s, &why, true);
    if (!bench) {
        return {not_measured("link", "pacing and latencies", why)};
    }
    Rows rows = full_queue_rows(*bench, s);
    rows.push_back(queued_row(*bench, s));
    rows.push_back(line_row(*bench, s));
    return rows;
}

Rows measure_requests(const Settings& s) {
    Rows rows = manager_rows("netplan", "netplan",
                             "stand-in netplan apply: the real netplan generator, then ip", s);
    Rows ifupdown = manager_rows("ifupdown", "ifupdown",
                                 "stand-in systemctl restart: the real ifdown and ifup", s);
    Rows nm = manager_rows("nm", "NetworkManager", "the real NetworkManager", s);
    rows.insert(rows.end(), ifupdown.begin(), ifupdown.end());
    rows.insert(rows.end(), nm.begin(), nm.end());
    return rows;
}

// Network::set_Config_Apply runs on the link thread: the card reads the ping
// queued behind the apply once the whole path (the file read, the document
// update, the file replaced with fsync, "netplan apply") is through.
Rows measure_apply_path(const Settings& s) {
    const char* const section = "netplan apply path (on the bench)";
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    Applies done;
    Rows rows;
    for (int n : {10, 100, 1000}) {
        const std::string figure = "netplan apply path, " + std::to_string(n) + " interfaces";
        if (why.empty() &&
            replace_File((bench->run_dir() + "/etc/netplan/01-netcfg.yaml").c_str(),
                         netplan_with_interfaces(n), 0600, File_Mode_Rule::FORCE) != 0) {
            why = "cannot write the netplan file";
        }
        done.to_ping.clear();
        for (int i = 0; i < s.apply_repeats && why.empty(); ++i) {
            one_apply(*bench, &done, &why);
        }
        rows.push_back(why.empty() ? Row{section, figure, stats_text(done.to_ping, 1000, 2, "ms"),
                                         "trace: read of the apply packet to the read of the ping "
                                         "queued behind it; scenario netplan, its stand-in "
                                         "netplan apply; " +
                                             std::to_string(done.to_ping.size()) + " apply(s)"}
                                   : not_measured(section, figure, why));
    }
    return rows;
}

} // namespace figures
