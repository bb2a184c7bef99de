// What the measurements on the bench share.

#include "bench_run.h"

#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace figures {

namespace {

constexpr std::chrono::seconds start_timeout(90);

bool is_description(const Packet& p, uint8_t subaddress) {
    return p.length() > 5 && p.type() == pec_bench::proto::WRITE &&
           p.address() == pec_bench::proto::DESCRIPTION && p.subaddress() == subaddress;
}

std::string last_note(const Bench& bench) {
    std::vector<TraceEvent> trace = bench.trace();
    for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
        if (it->event == "note" || it->event == "daemon_exit") {
            return it->detail;
        }
    }
    return "no note in the trace";
}

} // namespace

std::string bench_unavailable() {
    return geteuid() == 0 ? "" : "needs root (the bench runs the daemon in namespaces)";
}

Scenario named_scenario(const std::string& name) {
    Scenario sc;
    pec_bench::scenario_by_name(name, &sc);
    return sc;
}

std::unique_ptr<Bench> started_bench(const Scenario& sc, const Settings& s, std::string* why) {
    auto bench = std::make_unique<Bench>(sc);
    if (!bench->start_daemon(s.daemon)) {
        *why = "the daemon did not start: " + last_note(*bench);
        return nullptr;
    }
    bool sets = bench->wait_for(ends_set, 2, start_timeout);
    bool temperature = sc.sensor.address == 0 ||
                       bench->wait_for(
                           [](const TraceEvent& e) {
                               return is_write(e) && e.packet.address() == pec_bench::proto::STATUS;
                           },
                           1, start_timeout);
    if (!sets || !temperature) {
        *why = "no start-up traffic from the daemon (" + last_note(*bench) + ")";
        return nullptr;
    }
    return bench;
}

bool is_write(const TraceEvent& e) {
    return e.event == "card_write" && e.result > 0;
}

bool is_packet_read(const TraceEvent& e) {
    return e.event == "card_read" && !e.packet.raw.empty();
}

bool ends_set(const TraceEvent& e) {
    return is_write(e) && is_description(e.packet, pec_bench::proto::DESC_DISK_SIZE);
}

Predicate reports_ip(const std::string& ip) {
    return [ip](const TraceEvent& e) {
        return is_write(e) && is_description(e.packet, pec_bench::proto::DESC_IP_ADDRESS) &&
               e.packet.text() == ip;
    };
}

Predicate reports_temperature(float celsius) {
    pec_bench::Bytes data(sizeof(celsius));
    memcpy(data.data(), &celsius, sizeof(celsius));
    return [data](const TraceEvent& e) {
        return is_write(e) && e.packet.address() == pec_bench::proto::STATUS &&
               e.packet.data() == data;
    };
}

bool move_eth0(const Bench& bench, const std::string& address) {
    pid_t pid = bench.daemon_pid();
    if (pid == 0) {
        return false;
    }
    std::string change = "ip -4 addr flush dev eth0 && ip addr add " + address +
                         "/24 dev eth0 && ip route replace default via 192.0.2.1 dev eth0";
    return run_quietly(
               {"nsenter", "-t", std::to_string(pid), "-n", "--", "/bin/sh", "-c", change}) == 0;
}

int run_quietly(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

} // namespace figures
