// BMC apply requests to their effect, on the bench. Per network manager:
// from the card's read of the apply packet to the new address on eth0, and
// to the write of the description set's address packet that reports it;
// and how long the link stays silent while the apply runs on the link
// thread, from the reads of pings the BMC queues right behind the apply.
// The apply path by netplan file size: the same applies with 10, 100 and
// 1,000 interfaces in the netplan file, timed to the read of the first ping.

#include "figures.h"

#include "file_replace.h"
#include "os_wrappers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

namespace figures {

namespace {

using pec_bench::proto::NET_APPLY;
using pec_bench::proto::NETWORK;

// Pings queued behind each apply; the card reads them once the apply is done
// (a ping carries no data: the card neither answers nor acts on it).
constexpr int pings_behind = 3;

bool is_apply_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.length() > 5 && e.packet.address() == NETWORK &&
           e.packet.subaddress() == NET_APPLY;
}

bool is_ping_read(const TraceEvent& e) {
    return is_packet_read(e) && e.packet.type() == pec_bench::proto::PING;
}

// A socket belongs to the network namespace it was made in: a thread joins
// the daemon's namespace, makes it and ends, so no thread stays in there.
int socket_in_netns(pid_t pid) {
    int fd = -1;
    std::thread([&] {
        Unique_Fd ns(open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY));
        if (ns.valid() && setns(ns.get(), CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
    }).join();
    return fd;
}

std::string eth0_address(int sock) {
    ifreq req{};
    snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", "eth0");
    if (ioctl(sock, SIOCGIFADDR, &req) != 0) {
        return "";
    }
    sockaddr_in in{};
    memcpy(&in, &req.ifr_addr, sizeof(in));
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) != nullptr ? text : "";
}

// Looks at eth0's address every millisecond; the bench time it first was
// `address`, or -1 when it was not within a minute.
double eth0_gets(const Bench& bench, int sock, const std::string& address) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (eth0_address(sock) == address) {
            return bench.now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

struct Apply {
    double to_eth0 = 0, to_report = 0; // from the apply's read
    double to_ping = 0, silence = 0;   // the first and the longest gap between reads after it
};

// One static address applied, pings behind it; false with *why when an
// effect did not come.
bool one_apply(Bench& bench, int sock, int round, Apply* a, std::string* why) {
    const std::string address = round % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    const size_t applies = count_of(bench, is_apply_read), pings = count_of(bench, is_ping_read),
                 reports = count_of(bench, reports_ip(address));
    bench.run_script("mode static\nip " + address +
                     "\nnetmask 255.255.255.0\ngateway 192.0.2.1\napply\nping\nping\nping\n");
    const double on_eth0 = eth0_gets(bench, sock, address);
    std::vector<TraceEvent> apply, report;
    if (on_eth0 < 0 ||
        !bench.wait_for(is_apply_read, applies + 1, std::chrono::seconds(5), &apply)) {
        *why = "eth0 did not get " + address + " within 60 s";
    } else if (!bench.wait_for(reports_ip(address), reports + 1, std::chrono::seconds(60),
                               &report)) {
        *why = "no description set with " + address + " within 60 s";
    } else if (!bench.wait_for(is_ping_read, pings + pings_behind, std::chrono::seconds(30))) {
        *why = "the pings queued behind the apply were not read within 30 s";
    }
    std::vector<double> reads; // the apply's read and the reads after it
    for (const TraceEvent& e : bench.trace()) {
        if (is_apply_read(e)) {
            reads.clear();
        }
        if (is_packet_read(e)) {
            reads.push_back(e.t);
        }
    }
    if (!why->empty() || reads.size() < 2) {
        return false;
    }
    a->to_eth0 = on_eth0 - apply.back().t;
    a->to_report = report.back().t - apply.back().t;
    a->to_ping = reads[1] - reads[0];
    for (size_t i = 1; i < reads.size(); ++i) {
        a->silence = std::max(a->silence, reads[i] - reads[i - 1]);
    }
    return true;
}

// `repeats` applies on a started bench; the figures of each, or none with *why.
std::vector<Apply> applies(Bench* bench, int* round, int repeats, std::string* why) {
    Unique_Fd sock(bench != nullptr ? socket_in_netns(bench->daemon_pid()) : -1);
    if (bench != nullptr && !sock.valid()) {
        *why = "no socket in the daemon's network namespace";
    }
    std::vector<Apply> out(static_cast<size_t>(repeats));
    for (Apply& a : out) {
        if (!why->empty() || !one_apply(*bench, sock.get(), (*round)++, &a, why)) {
            return {};
        }
    }
    return out;
}

std::vector<double> each(const std::vector<Apply>& applies, double Apply::*field) {
    std::vector<double> v;
    for (const Apply& a : applies) {
        v.push_back(a.*field);
    }
    return v;
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
    const char* const section = "BMC request to its effect";
    const std::string manager = m.name;
    std::string why;
    auto bench = started_bench(m.scenario, s, &why);
    int round = 0;
    std::vector<Apply> done = applies(bench.get(), &round, s.apply_repeats, &why);
    if (done.empty()) {
        return {not_measured(section, manager + ": apply", why)};
    }
    const std::string n =
        std::to_string(done.size()) + " apply(s), scenario " + std::string(m.scenario);
    return {{section, manager + ": apply read to address on eth0",
             stats_text(each(done, &Apply::to_eth0), 1000, 0, "ms"),
             "trace's read of the apply packet to eth0's address (SIOCGIFADDR every 1 ms); " + n +
                 "; " + m.applies},
            {section, manager + ": apply read to description set reporting it",
             stats_text(each(done, &Apply::to_report), 1000, 0, "ms"),
             "trace: read of the apply packet to the write of the set's address packet; " + n},
            {section, manager + ": longest link silence during an apply",
             stats_text(each(done, &Apply::silence), 1000, 0, "ms"),
             "trace: longest gap between the card's reads of BMC packets, from the apply's read "
             "to the last of " +
                 std::to_string(pings_behind) + " pings queued right behind it; " + n}};
}

} // namespace

Rows measure_requests(const Settings& s) {
    Rows rows;
    for (const Manager& m : managers) {
        Rows r = manager_rows(m, s);
        rows.insert(rows.end(), r.begin(), r.end());
    }
    return rows;
}

// Network::set_Config_Apply runs on the link thread: the card reads the ping
// queued behind the apply once the whole path (the file read, the document
// update, the file replaced with fsync, "netplan apply") is through.
Rows measure_apply_path(const Settings& s) {
    const char* const section = "netplan apply path (on the bench)";
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    int round = 0;
    Rows rows;
    for (int n : {10, 100, 1000}) {
        const std::string figure = "netplan apply path, " + std::to_string(n) + " interfaces";
        if (bench && replace_File((bench->run_dir() + "/etc/netplan/01-netcfg.yaml").c_str(),
                                  netplan_with_interfaces(n), 0600, File_Mode_Rule::FORCE) != 0) {
            why = "cannot write the netplan file";
        }
        std::vector<Apply> done = applies(bench.get(), &round, s.apply_repeats, &why);
        rows.push_back(done.empty() ? not_measured(section, figure, why)
                                    : Row{section, figure,
                                          stats_text(each(done, &Apply::to_ping), 1000, 2, "ms"),
                                          "trace: read of the apply packet to the read of the ping "
                                          "queued behind it; scenario netplan, its stand-in "
                                          "netplan apply; " +
                                              std::to_string(done.size()) + " apply(s)"});
    }
    return rows;
}

} // namespace figures
