// What the simulated BMC saw, as the system tests judge it: predicates on
// trace events, the card's writes grouped into the reports the main loop
// sends (description sets, temperature reports, pings), and readable forms
// for failure messages.
#pragma once

#include "system/support/names.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace systest {

using Event_Predicate = std::function<bool(const TraceEvent&)>;

// ---- Readable forms -------------------------------------------------------------

std::string show(const Bytes& b);
std::string show(const Packet& p);
std::string show(const std::vector<Packet>& packets);

// ---- Predicates -----------------------------------------------------------------

bool is_card_write(const TraceEvent& e);
bool is_card_read(const TraceEvent& e);
bool is_description(const Packet& p, uint8_t subaddress);
bool is_ping(const Packet& p);
bool is_temperature(const Packet& p);
// A card write whose packet satisfies `pred`.
Event_Predicate card_wrote(const std::function<bool(const Packet&)>& pred);
// A card write of a description set's first packet (the OS name) or last one.
bool starts_set(const TraceEvent& e);
bool ends_set(const TraceEvent& e);
// A card write of a description set's address packet carrying `ip`.
Event_Predicate reports_ip(const std::string& ip);
Event_Predicate wrote_bytes(const Bytes& raw);
size_t count_events(const std::vector<TraceEvent>& trace, const Event_Predicate& pred);

// ---- Reports ----------------------------------------------------------------------

enum class ReportKind { DESCRIPTION_SET, TEMPERATURE, PING, OTHER };

struct Report {
    ReportKind kind = ReportKind::OTHER;
    double t = 0;                // trace time of its first packet
    std::vector<Packet> packets; // a set's packets, or the one packet
    std::vector<int> results;    // the write results, in the same order
};

// Groups the successful and failed card writes: a set starts with its OS
// packet and takes the DESCRIPTION packets that follow it.
std::vector<Report> reports_of(const std::vector<TraceEvent>& trace);
std::string show(const std::vector<Report>& reports);

// The IP address text a description set carries ("" when it has none).
std::string ip_of(const Report& r);

// Compares a set packet by packet and names the first difference (gtest
// assertions; use with ASSERT_NO_FATAL_FAILURE).
void expect_set(const Report& got, const std::vector<Bytes>& want, const std::string& what);

// ---- pec-decode -------------------------------------------------------------------

// Reads the trace's transfers with pec-decode's line reader, as the kernel's
// I2C trace lines that the bench writes of them, and expects one line per
// transfer, its packet in the words of the bench's own decoder (gtest
// assertions). `transfers` is set to how many there were.
void expect_decoded_as_the_bench(const std::vector<TraceEvent>& trace, size_t* transfers);

} // namespace systest
