// The bench's trace: formatting of its two forms, and its readers.

#include "trace.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace pec_bench {

namespace {

std::string seconds_text(double t) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%.3f", t);
    return buf;
}

std::string transfer_line(const char* direction, const Packet& p) {
    return std::string(direction) + describe(p) + "   [" + hex(p.raw) + "]";
}

std::string card_write_line(const TraceEvent& ev) {
    std::string line = transfer_line("card -> BMC  ", ev.packet);
    if (ev.result < 0) {
        line += "  FAILED (" + std::string(strerror(-ev.result)) + ")";
    } else if (static_cast<size_t>(ev.result) < ev.packet.raw.size()) {
        line += "  short write: " + std::to_string(ev.result);
    }
    return line;
}

std::string card_read_line(const TraceEvent& ev) {
    if (ev.result < 0) {
        return "BMC -> card  read refused (" + std::string(strerror(-ev.result)) + ")";
    }
    if (!ev.packet.raw.empty()) {
        return transfer_line("BMC -> card  ", ev.packet);
    }
    return "BMC -> card  (idle: " + ev.detail + ")";
}

std::string other_line(const TraceEvent& ev) {
    std::string line = ev.event;
    if (!ev.device.empty()) {
        line += " " + ev.device;
    }
    if (!ev.detail.empty()) {
        line += ": " + ev.detail;
    }
    return line;
}

// Collects the matching events from index *scanned on.
void scan(const std::vector<TraceEvent>& events, size_t* scanned,
          const std::function<bool(const TraceEvent&)>& pred, std::vector<TraceEvent>* found) {
    for (; *scanned < events.size(); ++*scanned) {
        if (pred(events[*scanned])) {
            found->push_back(events[*scanned]);
        }
    }
}

std::string kernel_line(double t, const std::string& event) {
    char stamp[48];
    snprintf(stamp, sizeof(stamp), "%12.6f", t);
    return std::string("      pec-daemon-1       [000] ..... ") + stamp + ": " + event;
}

std::string dashed_hex(const Bytes& bytes) {
    std::string s = hex(bytes);
    std::replace(s.begin(), s.end(), ' ', '-');
    return s;
}

// The bytes an idle read gave: "nothing queued, 00 bytes".
Bytes idle_fill(const TraceEvent& ev) {
    const std::string prefix = "nothing queued, ";
    Bytes fill;
    if (ev.detail.compare(0, prefix.size(), prefix) != 0 ||
        !parse_hex(ev.detail.substr(prefix.size(), 2), &fill) || fill.size() != 1) {
        return Bytes(64, 0);
    }
    return Bytes(64, fill[0]);
}

} // namespace

std::vector<std::string> kernel_trace_lines(const TraceEvent& ev) {
    const int result = ev.result < 0 ? ev.result : 1; // messages transferred
    const std::string done = "i2c_result: i2c-0 n=1 ret=" + std::to_string(result);
    char slave_text[24];
    snprintf(slave_text, sizeof(slave_text), " #0 a=%03x", static_cast<unsigned>(ev.value));
    const std::string slave = slave_text;
    if (ev.event == "card_write") {
        return {kernel_line(ev.t, "i2c_write: i2c-0" + slave +
                                      " f=0000 l=" + std::to_string(ev.packet.raw.size()) + " [" +
                                      dashed_hex(ev.packet.raw) + "]"),
                kernel_line(ev.t, done)};
    }
    if (ev.event != "card_read") {
        return {};
    }
    const std::string length = std::to_string(ev.result > 0 ? ev.result : 256);
    std::vector<std::string> lines = {
        kernel_line(ev.t, "i2c_read: i2c-0" + slave + " f=0001 l=" + length)};
    if (ev.result >= 0) {
        const Bytes bytes = ev.packet.raw.empty() ? idle_fill(ev) : ev.packet.raw;
        lines.push_back(kernel_line(ev.t, "i2c_reply: i2c-0" + slave + " f=0001 l=" + length +
                                              " [" + dashed_hex(bytes) + "]"));
    }
    lines.push_back(kernel_line(ev.t, done));
    return lines;
}

std::string hex_byte(unsigned v) {
    char b[16];
    snprintf(b, sizeof(b), "%02x", v);
    return b;
}

std::string trace_json(const TraceEvent& ev) {
    std::ostringstream j;
    j << "{\"t\":" << seconds_text(ev.t) << ",\"event\":\"" << ev.event << "\"";
    if (!ev.device.empty()) {
        j << ",\"device\":\"" << ev.device << "\"";
    }
    j << ",\"result\":" << ev.result << ",\"value\":" << ev.value;
    if (!ev.detail.empty()) {
        j << ",\"detail\":\"" << json_escape(ev.detail) << "\"";
    }
    if (!ev.packet.raw.empty()) {
        j << ",\"packet\":" << packet_json(ev.packet);
    }
    j << "}";
    return j.str();
}

std::string live_line(const TraceEvent& ev) {
    // Too frequent to watch live: the line's values, slave selections,
    // closes and the watchdog's keep-alive every main-loop cycle.
    if (ev.event == "line_value" || ev.event == "slave" || ev.event == "close" ||
        (ev.event == "notify" && ev.detail == "WATCHDOG=1")) {
        return "";
    }
    std::string when = seconds_text(ev.t);
    when.insert(0, when.size() < 8 ? 8 - when.size() : 0, ' ');
    if (ev.event == "card_write") {
        return when + "  " + card_write_line(ev);
    }
    if (ev.event == "card_read") {
        return when + "  " + card_read_line(ev);
    }
    return when + "  " + other_line(ev);
}

Trace::Trace(const std::string& path, Printer printer, const std::string& i2c_path)
    : printer_(std::move(printer)), file_(fopen(path.c_str(), "we")),
      i2c_file_(i2c_path.empty() ? nullptr : fopen(i2c_path.c_str(), "we")) {}

double Trace::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Trace::record(TraceEvent ev) {
    std::lock_guard<std::mutex> lock(m_);
    ev.t = now();
    ev.json = trace_json(ev);
    if (file_ != nullptr) {
        fprintf(file_.get(), "%s\n", ev.json.c_str());
        fflush(file_.get());
    }
    if (i2c_file_ != nullptr) {
        for (const std::string& line : kernel_trace_lines(ev)) {
            fprintf(i2c_file_.get(), "%s\n", line.c_str());
        }
        fflush(i2c_file_.get());
    }
    std::string line = live_line(ev);
    if (!line.empty()) {
        print(line);
    }
    events_.push_back(std::move(ev));
    cv_.notify_all();
}

void Trace::note(const std::string& text) {
    TraceEvent ev;
    ev.event = "note";
    ev.detail = text;
    record(ev);
}

void Trace::print(const std::string& line) const {
    if (printer_) {
        printer_(line);
    }
}

bool Trace::wait_for(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                     std::chrono::milliseconds timeout, std::vector<TraceEvent>* out, size_t from) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_);
    size_t scanned = from;
    std::vector<TraceEvent> found;
    scan(events_, &scanned, pred, &found);
    while (found.size() < count && cv_.wait_until(lock, deadline) == std::cv_status::no_timeout) {
        scan(events_, &scanned, pred, &found);
    }
    scan(events_, &scanned, pred, &found);
    bool ok = found.size() >= count;
    if (out != nullptr) {
        *out = std::move(found);
    }
    return ok;
}

std::vector<TraceEvent> Trace::events() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
}

std::vector<Packet> Trace::card_packets() const {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<Packet> out;
    for (const TraceEvent& e : events_) {
        if (e.event == "card_write") {
            out.push_back(e.packet);
        }
    }
    return out;
}

size_t Trace::size() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_.size();
}

} // namespace pec_bench
