// What the measurements on the bench share: a started bench, predicates on
// its trace, and eth0 moved on the card's host.

#include "figures.h"

#include <cstdlib>

namespace figures {

static bool is_description(const TraceEvent& e, uint8_t subaddress) {
    return is_write(e) && e.packet.length() > 5 &&
           e.packet.address() == pec_bench::proto::DESCRIPTION &&
           e.packet.subaddress() == subaddress;
}

std::unique_ptr<Bench> started_bench(const std::string& scenario, const Settings& s,
                                     std::string* why, bool debug) {
    pec_bench::Scenario sc;
    pec_bench::scenario_by_name(scenario, &sc);
    sc.debug = debug;
    auto bench = std::make_unique<Bench>(sc);
    auto temperature = [](const TraceEvent& e) {
        return is_write(e) && e.packet.address() == pec_bench::proto::STATUS;
    };
    if (bench->start_daemon(s.daemon) && bench->wait_for(ends_set, 2, std::chrono::seconds(90)) &&
        (sc.sensor.address == 0 || bench->wait_for(temperature, 1, std::chrono::seconds(90)))) {
        return bench;
    }
    std::string note; // the last note or the daemon's end says why
    for (const TraceEvent& e : bench->trace()) {
        note = e.event == "note" || e.event == "daemon_exit" ? e.detail : note;
    }
    *why = "no start-up traffic from the daemon (" + note + ")";
    return nullptr;
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

std::function<bool(const TraceEvent&)> reports_ip(const std::string& ip) {
    return [ip](const TraceEvent& e) {
        return is_description(e, pec_bench::proto::DESC_IP_ADDRESS) && e.packet.text() == ip;
    };
}

size_t count_of(Bench& bench, const std::function<bool(const TraceEvent&)>& pred) {
    std::vector<TraceEvent> found;
    bench.wait_for(pred, 0, std::chrono::milliseconds(0), &found);
    return found.size();
}

bool another_set(Bench& bench, int n) {
    const std::string address = n % 2 == 0 ? "192.0.2.11" : "192.0.2.10";
    const size_t seen = count_of(bench, reports_ip(address));
    const std::string change = "nsenter -t " + std::to_string(bench.daemon_pid()) +
                               " -n -- sh -c 'ip -4 addr flush dev eth0 && ip addr add " + address +
                               "/24 dev eth0 && ip route replace default via 192.0.2.1 dev eth0' "
                               ">/dev/null 2>&1";
    return bench.daemon_pid() != 0 && system(change.c_str()) == 0 &&
           bench.wait_for(reports_ip(address), seen + 1, std::chrono::seconds(30));
}

} // namespace figures
