// What the measurements on the bench share.

#include "figures.h"

#include <cstdlib>

namespace figures {

namespace {

using pec_bench::proto::DESCRIPTION;

bool is_description(const TraceEvent& e, uint8_t subaddress) {
    return is_write(e) && e.packet.length() > 5 && e.packet.address() == DESCRIPTION &&
           e.packet.subaddress() == subaddress;
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

std::unique_ptr<Bench> started_bench(const std::string& scenario, const Settings& s,
                                     std::string* why, bool debug) {
    pec_bench::Scenario sc;
    pec_bench::scenario_by_name(scenario, &sc);
    sc.debug = debug;
    auto bench = std::make_unique<Bench>(sc);
    if (!bench->start_daemon(s.daemon)) {
        *why = "the daemon did not start: " + last_note(*bench);
        return nullptr;
    }
    const auto timeout = std::chrono::seconds(90);
    auto temperature = [](const TraceEvent& e) {
        return is_write(e) && e.packet.address() == pec_bench::proto::STATUS;
    };
    if (!bench->wait_for(ends_set, 2, timeout) ||
        (sc.sensor.address != 0 && !bench->wait_for(temperature, 1, timeout))) {
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
    return is_description(e, pec_bench::proto::DESC_DISK_SIZE);
}

Predicate reports_ip(const std::string& ip) {
    return [ip](const TraceEvent& e) {
        return is_description(e, pec_bench::proto::DESC_IP_ADDRESS) && e.packet.text() == ip;
    };
}

size_t count_of(const Bench& bench, const Predicate& pred) {
    size_t n = 0;
    for (const TraceEvent& e : bench.trace()) {
        n += pred(e) ? 1 : 0;
    }
    return n;
}

bool move_eth0(const Bench& bench, const std::string& address) {
    const std::string change = "nsenter -t " + std::to_string(bench.daemon_pid()) +
                               " -n -- sh -c 'ip -4 addr flush dev eth0 && ip addr add " + address +
                               "/24 dev eth0 && ip route replace default via 192.0.2.1 "
                               "dev eth0' >/dev/null 2>&1";
    return bench.daemon_pid() != 0 && system(change.c_str()) == 0;
}

} // namespace figures
