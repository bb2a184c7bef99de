// The request-script language: parsing of a line, and the table of verbs.
// A verb's handler returns "" when it did its work, else why the line was
// refused.

#include "script.h"

#include "pec_bench/wire.h"

#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

namespace pec_bench {

std::string script_help() {
    return "Request script, one command a line (# starts a comment):\n"
           "  mode static|dhcp|N       network mode (one UINT8)\n"
           "  ip A.B.C.D               address         netmask A.B.C.D   gateway A.B.C.D\n"
           "  dns1 A.B.C.D             dns2 A.B.C.D\n"
           "  apply [N]                apply the network settings (UINT8, default 1)\n"
           "  hostname NAME            hostname request\n"
           "  ping                     a PING to the card\n"
           "  raw HEX...               any bytes, e.g. raw 0c 00 55 00 05 55 62 75 6e 74 75 00\n"
           "  garbage [N]              N random bytes (default 40)\n"
           "  truncated K HEX...       a packet of which only K bytes are handed over\n"
           "  node N                   node id of the following requests (default 1)\n"
           "  temp CELSIUS             sensor temperature\n"
           "  wait SECONDS             pause the script\n"
           "  wait-for ip A.B.C.D [S]  until the card reports this address (default 60 s)\n"
           "  fault write-fail N|always|off    fault write-short N|off   fault read-fail "
           "N|always|off\n"
           "  fault line-low on|off    fault line-read-fail on|off   fault smbus-fail on|off\n"
           "  fault idle 00|ff|nack    what an idle BMC returns on a read\n"
           "  echo TEXT                a note in the trace\n";
}

uint8_t Script::node() const {
    std::lock_guard<std::mutex> lock(m_);
    return node_;
}

void Script::set_node(uint8_t node) {
    std::lock_guard<std::mutex> lock(m_);
    node_ = node;
}

Bytes Script::random_bytes(size_t n) {
    std::lock_guard<std::mutex> lock(m_);
    Bytes b(n);
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng_());
    }
    return b;
}

namespace {

// ---- values ---------------------------------------------------------------

bool is_ipv4_text(const std::string& s) {
    int parts = 0;
    std::istringstream in(s);
    std::string p;
    while (std::getline(in, p, '.')) {
        char* end = nullptr;
        long v = strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || v < 0 || v > 255) {
            return false;
        }
        ++parts;
    }
    return parts == 4 && s.back() != '.';
}

// A count of 0 to 100000, "always" (-1) or "off" (0).
bool parse_count(const std::string& s, int* out) {
    if (s == "always" || s == "off") {
        *out = s == "always" ? -1 : 0;
        return true;
    }
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < 0 || v > 100000) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool parse_switch(const std::string& s, bool* out) {
    if (s != "on" && s != "off") {
        return false;
    }
    *out = s == "on";
    return true;
}

bool parse_double(const std::string& s, double* out) {
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

// ---- verbs ----------------------------------------------------------------

// A line without its comment, and its words.
struct Line {
    std::string text;
    std::vector<std::string> w;
};

using Handler = std::string (*)(Script&, const Line&);

void send_uint8(Script& s, uint8_t address, uint8_t subaddress, uint8_t value) {
    s.board.queue(make_packet(s.node(), proto::WRITE, proto::UINT8, address, subaddress, {value}),
                  0);
}

std::string setting(Script& s, const Line& l, uint8_t subaddress) {
    if (l.w.size() != 2 || !is_ipv4_text(l.w[1])) {
        return "expected one dotted-quad address";
    }
    s.board.queue(make_string_packet(s.node(), proto::NETWORK, subaddress, l.w[1], true), 0);
    return "";
}

std::string mode(Script& s, const Line& l) {
    const char* why = "expected static, dhcp or a number";
    int v = 0;
    if (l.w.size() != 2) {
        return why;
    }
    if (l.w[1] == "static" || l.w[1] == "dhcp") {
        v = l.w[1] == "static" ? 1 : 0;
    } else if (!parse_count(l.w[1], &v) || v > 255) {
        return why;
    }
    send_uint8(s, proto::NETWORK, proto::NET_MODE, static_cast<uint8_t>(v));
    return "";
}

std::string apply(Script& s, const Line& l) {
    int v = 1;
    if (l.w.size() > 2 || (l.w.size() == 2 && (!parse_count(l.w[1], &v) || v > 255))) {
        return "expected an optional number";
    }
    send_uint8(s, proto::NETWORK, proto::NET_APPLY, static_cast<uint8_t>(v));
    return "";
}

std::string hostname(Script& s, const Line& l) {
    if (l.w.size() != 2) {
        return "expected one name";
    }
    s.board.queue(make_string_packet(s.node(), proto::NETWORK, proto::NET_HOSTNAME, l.w[1], true),
                  0);
    return "";
}

std::string ping(Script& s, const Line&) {
    s.board.queue(make_packet(s.node(), proto::PING, 0, 0, 0, {}), 0);
    return "";
}

// The bytes written from word `first` on, of which `deliver` are handed over
// (0: all).
std::string bytes(Script& s, const Line& l, size_t first, int deliver) {
    std::string text;
    for (size_t i = first; i < l.w.size(); ++i) {
        text += l.w[i] + " ";
    }
    Bytes b;
    if (!parse_hex(text, &b) || b.empty() || b.size() > wire::max_payload) {
        return "expected hexadecimal bytes";
    }
    s.board.queue(b, static_cast<size_t>(deliver));
    return "";
}

std::string raw(Script& s, const Line& l) {
    return bytes(s, l, 1, 0);
}

std::string truncated(Script& s, const Line& l) {
    int k = 0;
    if (l.w.size() < 3 || !parse_count(l.w[1], &k) || k <= 0) {
        return "expected a byte count and bytes";
    }
    return bytes(s, l, 2, k);
}

std::string garbage(Script& s, const Line& l) {
    int n = 40;
    if (l.w.size() > 2 || (l.w.size() == 2 && (!parse_count(l.w[1], &n) || n < 1 || n > 256))) {
        return "expected a byte count of 1 to 256";
    }
    s.board.queue(s.random_bytes(static_cast<size_t>(n)), 0);
    return "";
}

std::string node(Script& s, const Line& l) {
    int v = 0;
    if (l.w.size() != 2 || !parse_count(l.w[1], &v) || v > 127) {
        return "expected a node id of 0 to 127";
    }
    s.set_node(static_cast<uint8_t>(v));
    return "";
}

std::string temp(Script& s, const Line& l) {
    double c = 0;
    if (l.w.size() != 2 || !parse_double(l.w[1], &c) || c < -100 || c > 200) {
        return "expected degrees Celsius";
    }
    s.sensor.set_temperature(c);
    return "";
}

std::string wait_seconds(Script&, const Line& l) {
    double sec = 0;
    if (l.w.size() != 2 || !parse_double(l.w[1], &sec) || sec < 0 || sec > 3600) {
        return "expected seconds";
    }
    std::this_thread::sleep_for(millis(sec));
    return "";
}

// Until the card's description set carries the address, counting only what
// it writes from now on.
std::string wait_for_ip(Script& s, const Line& l) {
    double sec = 60;
    if (l.w.size() < 3 || l.w[1] != "ip" || !is_ipv4_text(l.w[2]) ||
        (l.w.size() == 4 && !parse_double(l.w[3], &sec)) || l.w.size() > 4) {
        return "expected wait-for ip A.B.C.D [seconds]";
    }
    const std::string& want = l.w[2];
    auto reports = [&want](const TraceEvent& e) {
        return e.event == "card_write" && e.packet.address() == proto::DESCRIPTION &&
               e.packet.subaddress() == proto::DESC_IP_ADDRESS && e.packet.text() == want;
    };
    bool ok = s.trace.wait_for(reports, 1, millis(sec), nullptr, s.trace.size());
    s.trace.note(ok ? "card reports " + want : "card did not report " + want + " in time");
    return "";
}

std::string echo(Script& s, const Line& l) {
    s.trace.note(l.text.substr(l.text.find("echo") + 4));
    return "";
}

// ---- faults ---------------------------------------------------------------

bool idle_fill(const std::string& v, Faults* f) {
    Bytes b;
    if (v == "nack") {
        f->idle_fill = -1;
    } else if (parse_hex(v, &b) && b.size() == 1) {
        f->idle_fill = b[0];
    } else {
        return false;
    }
    return true;
}

struct FaultSetting {
    const char* name;
    bool (*set)(const std::string& value, Faults* f);
};

const FaultSetting fault_settings[] = {
    {"write-fail", [](const std::string& v, Faults* f) { return parse_count(v, &f->write_fail); }},
    {"write-short",
     [](const std::string& v, Faults* f) {
         return parse_count(v, &f->write_short) && f->write_short >= 0;
     }},
    {"read-fail", [](const std::string& v, Faults* f) { return parse_count(v, &f->read_fail); }},
    {"line-low",
     [](const std::string& v, Faults* f) { return parse_switch(v, &f->line_stuck_low); }},
    {"line-read-fail",
     [](const std::string& v, Faults* f) { return parse_switch(v, &f->line_read_fail); }},
    {"smbus-fail", [](const std::string& v, Faults* f) { return parse_switch(v, &f->smbus_fail); }},
    {"idle", idle_fill},
};

std::string fault(Script& s, const Line& l) {
    if (l.w.size() != 3) {
        return "expected fault NAME VALUE";
    }
    for (const FaultSetting& setting : fault_settings) {
        if (l.w[1] != setting.name) {
            continue;
        }
        Faults f = s.board.faults();
        if (!setting.set(l.w[2], &f)) {
            return "bad fault value";
        }
        s.board.set_faults(f);
        TraceEvent ev;
        ev.event = "fault";
        ev.detail = l.w[1] + " " + l.w[2];
        s.trace.record(ev);
        return "";
    }
    return "unknown fault";
}

// ---- the table ------------------------------------------------------------

struct Verb {
    const char* name;
    Handler run;
};

const Verb verbs[] = {
    {"mode", mode},
    {"ip", [](Script& s, const Line& l) { return setting(s, l, proto::NET_IP); }},
    {"netmask", [](Script& s, const Line& l) { return setting(s, l, proto::NET_NETMASK); }},
    {"gateway", [](Script& s, const Line& l) { return setting(s, l, proto::NET_GATEWAY); }},
    {"dns1", [](Script& s, const Line& l) { return setting(s, l, proto::NET_DNS1); }},
    {"dns2", [](Script& s, const Line& l) { return setting(s, l, proto::NET_DNS2); }},
    {"apply", apply},
    {"hostname", hostname},
    {"ping", ping},
    {"raw", raw},
    {"truncated", truncated},
    {"garbage", garbage},
    {"node", node},
    {"temp", temp},
    {"wait", wait_seconds},
    {"wait-for", wait_for_ip},
    {"echo", echo},
    {"fault", fault},
};

Line split(const std::string& raw_line) {
    Line l;
    l.text = raw_line.substr(0, raw_line.find('#'));
    std::istringstream in(l.text);
    std::string word;
    while (in >> word) {
        l.w.push_back(word);
    }
    return l;
}

} // namespace

bool Script::command(const std::string& raw_line, std::string* error) {
    Line l = split(raw_line);
    if (l.w.empty()) {
        return true;
    }
    std::string why = "unknown command";
    for (const Verb& v : verbs) {
        if (l.w[0] == v.name) {
            why = v.run(*this, l);
            break;
        }
    }
    if (why.empty()) {
        return true;
    }
    if (error != nullptr) {
        *error = why + ": " + raw_line;
    }
    return false;
}

} // namespace pec_bench
