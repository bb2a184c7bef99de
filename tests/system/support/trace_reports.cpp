// What the simulated BMC saw, as the system tests judge it.
#include "system/support/trace_reports.h"

#include "wire_decode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace systest {

namespace {

bool is_description_write(const Packet& p) {
    return p.length() > 5 && p.type() == proto::WRITE && p.address() == proto::DESCRIPTION;
}

ReportKind kind_of(const Packet& p) {
    return is_description_write(p) ? ReportKind::DESCRIPTION_SET
           : is_temperature(p)     ? ReportKind::TEMPERATURE
           : is_ping(p)            ? ReportKind::PING
                                   : ReportKind::OTHER;
}

// Names of the report kinds, in the enumeration's order.
const char* const report_names[] = {"description set", "temperature", "ping", "other"};

// pec-decode names what a MODE item asks for after its value; the bench's
// decoder does not.
std::string mode_name(const Packet& p) {
    if (p.address() != proto::NETWORK || p.subaddress() != 0 || p.data().empty()) {
        return "";
    }
    return p.data()[0] == 0 ? " DHCP" : " static";
}

std::string report_line(const Report& r) {
    char t[32];
    snprintf(t, sizeof(t), "%8.3f ", r.t);
    std::string s = std::string("  ") + t + report_names[static_cast<int>(r.kind)];
    if (r.kind == ReportKind::DESCRIPTION_SET) {
        s += " (" + std::to_string(r.packets.size()) + " packets, ip \"" + ip_of(r) + "\")";
    } else {
        s += " " + show(r.packets.front().raw);
    }
    return s + "\n";
}

} // namespace

std::string show(const Bytes& b) {
    return "[" + pec_bench::hex(b) + "]";
}

std::string show(const Packet& p) {
    return pec_bench::describe(p) + " " + show(p.raw);
}

std::string show(const std::vector<Packet>& packets) {
    std::string s;
    for (const Packet& p : packets) {
        s += "  " + show(p) + "\n";
    }
    return s;
}

bool is_card_write(const TraceEvent& e) {
    return e.event == "card_write";
}

bool is_card_read(const TraceEvent& e) {
    return e.event == "card_read";
}

bool is_description(const Packet& p, uint8_t subaddress) {
    return is_description_write(p) && p.subaddress() == subaddress;
}

bool is_ping(const Packet& p) {
    return p.length() == 3 && p.type() == proto::PING;
}

bool is_temperature(const Packet& p) {
    return p.length() > 5 && p.type() == proto::WRITE && p.address() == proto::STATUS &&
           p.subaddress() == 0;
}

Event_Predicate card_wrote(const std::function<bool(const Packet&)>& pred) {
    return [pred](const TraceEvent& e) { return is_card_write(e) && pred(e.packet); };
}

bool starts_set(const TraceEvent& e) {
    return is_card_write(e) && is_description(e.packet, proto::DESC_OS);
}

bool ends_set(const TraceEvent& e) {
    return is_card_write(e) && is_description(e.packet, proto::DESC_DISK_SIZE);
}

Event_Predicate reports_ip(const std::string& ip) {
    return [ip](const TraceEvent& e) {
        return is_card_write(e) && is_description(e.packet, proto::DESC_IP_ADDRESS) &&
               e.packet.text() == ip;
    };
}

Event_Predicate wrote_bytes(const Bytes& raw) {
    return [raw](const TraceEvent& e) { return is_card_write(e) && e.packet.raw == raw; };
}

size_t count_events(const std::vector<TraceEvent>& trace, const Event_Predicate& pred) {
    size_t n = 0;
    for (const TraceEvent& e : trace) {
        n += pred(e) ? 1 : 0;
    }
    return n;
}

std::vector<Report> reports_of(const std::vector<TraceEvent>& trace) {
    std::vector<Report> out;
    for (const TraceEvent& e : trace) {
        if (!is_card_write(e)) {
            continue;
        }
        const Packet& p = e.packet;
        if (is_description_write(p) && p.subaddress() != proto::DESC_OS && !out.empty() &&
            out.back().kind == ReportKind::DESCRIPTION_SET) {
            out.back().packets.push_back(p);
            out.back().results.push_back(e.result);
            continue;
        }
        out.push_back(Report{kind_of(p), e.t, {p}, {e.result}});
    }
    return out;
}

std::string show(const std::vector<Report>& reports) {
    std::string s;
    for (const Report& r : reports) {
        s += report_line(r);
    }
    return s;
}

std::string ip_of(const Report& r) {
    for (const Packet& p : r.packets) {
        if (is_description(p, proto::DESC_IP_ADDRESS)) {
            return p.text();
        }
    }
    return "";
}

void expect_set(const Report& got, const std::vector<Bytes>& want, const std::string& what) {
    ASSERT_EQ(got.kind, ReportKind::DESCRIPTION_SET) << what;
    ASSERT_EQ(got.packets.size(), want.size()) << what << ":\n" << show(got.packets);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(show(got.packets[i].raw), show(want[i]))
            << what << ", packet " << i + 1 << " (" << pec_bench::describe(got.packets[i]) << ")";
    }
}

void expect_decoded_as_the_bench(const std::vector<TraceEvent>& trace, size_t* transfers) {
    Wire_Decoder decoder{Wire_Decode_Options()};
    std::vector<std::string> decoded;
    std::vector<std::string> expected;
    for (const TraceEvent& e : trace) {
        for (const std::string& line : pec_bench::kernel_trace_lines(e)) {
            std::vector<std::string> out = decoder.read_Line(line);
            decoded.insert(decoded.end(), out.begin(), out.end());
        }
        char t[32];
        snprintf(t, sizeof(t), "%.6f  ", e.t);
        if (is_card_write(e)) {
            expected.push_back(
                t + std::string("card -> BMC  ") + pec_bench::describe(e.packet) +
                (e.result < 0 ? "  FAILED (" + std::string(strerror(-e.result)) + ")" : ""));
        } else if (is_card_read(e) && e.result < 0) {
            expected.push_back(t + std::string("BMC -> card  read failed (") + strerror(-e.result) +
                               ")");
        } else if (is_card_read(e) && !e.packet.raw.empty()) {
            expected.push_back(t + std::string("BMC -> card  ") + pec_bench::describe(e.packet) +
                               mode_name(e.packet));
        } else if (is_card_read(e)) {
            expected.push_back(t + std::string("BMC -> card  no packet (length 0)"));
        }
    }
    std::vector<std::string> rest = decoder.finish();
    decoded.insert(decoded.end(), rest.begin(), rest.end());
    EXPECT_EQ(decoded, expected);
    *transfers = expected.size();
}

} // namespace systest
