// Shared helpers of the system tests: the real daemon binary runs on the
// bench (a simulated BMC and board in private namespaces) and the tests judge
// what the simulated BMC saw on the bus, what the stand-in programs were
// asked to do and what the daemon logged.
//
// - BenchTest: a fixture that skips without root, starts one bench with the
//   daemon per test and, when a test fails, prints the tail of the trace and
//   the daemon's log for the post-mortem.
// - Expected wire bytes of every report the card sends, built here from the
//   protocol's rules independently of the daemon's packet code.
// - Grouping of the card's writes into reports (description sets,
//   temperature reports, pings) and look-ups in the trace and the log.
// - Commands run inside the daemon's namespaces (nsenter), to read or change
//   the card's view of the machine (eth0, hostname, lsblk).
#pragma once

#include "pec_bench/bench.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace systest {

using pec_bench::Bench;
using pec_bench::Bytes;
using pec_bench::Packet;
using pec_bench::Scenario;
using pec_bench::TraceEvent;
namespace proto = pec_bench::proto;

using std::chrono::milliseconds;
using std::chrono::seconds;

// ---- Scenarios ------------------------------------------------------------------

inline Scenario scenario(const std::string& name) {
    Scenario sc;
    if (!pec_bench::scenario_by_name(name, &sc)) {
        ADD_FAILURE() << "unknown bench scenario " << name;
    }
    return sc;
}

inline Scenario debug_scenario(const std::string& name) {
    Scenario sc = scenario(name);
    sc.debug = true;
    return sc;
}

// ---- Expected packets -----------------------------------------------------------

// control2 byte of a card's report: the packet type in bits 0-2, the data type
// in bits 3-6, no response required.
inline uint8_t control2(uint8_t type, uint8_t data_type) {
    return static_cast<uint8_t>(type | (data_type << 3));
}

// A WRITE from the card (node BMC, no broadcast) with the given data.
inline Bytes card_write(uint8_t address, uint8_t subaddress, uint8_t data_type, const Bytes& data) {
    Bytes b;
    b.reserve(5 + data.size());
    for (uint8_t byte : {static_cast<uint8_t>(5 + data.size()), uint8_t{0x00},
                         control2(proto::WRITE, data_type), address, subaddress})
        b.push_back(byte);
    for (uint8_t byte : data)
        b.push_back(byte);
    return b;
}

// A DESCRIPTION string as the card sends it: the text and its NUL.
inline Bytes description_string(uint8_t subaddress, const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    return card_write(proto::DESCRIPTION, subaddress, proto::STRING, data);
}

inline Bytes description_uint8(uint8_t subaddress, uint8_t value) {
    return card_write(proto::DESCRIPTION, subaddress, proto::UINT8, {value});
}

inline Bytes description_uint64(uint8_t subaddress, uint64_t value) {
    Bytes data;
    for (int i = 0; i < 8; ++i) {
        data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return card_write(proto::DESCRIPTION, subaddress, proto::UINT64, data);
}

// The onboard temperature report: one little-endian binary32.
inline Bytes temperature_report(float celsius) {
    uint32_t bits = 0;
    memcpy(&bits, &celsius, sizeof(bits));
    Bytes data;
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
    return card_write(proto::STATUS, 0, proto::FLOAT, data);
}

// The keep-alive ping: a header-only PING from node BMC.
inline Bytes ping_packet() {
    return {0x03, 0x00, 0x01};
}

inline const char* const cpu_name = "Socionext SynQuacer SC2A11";
inline const char* const os_pretty_name = "Debian GNU/Linux 12 (bookworm)";

// What one description set carries.
struct Description {
    std::string os;
    std::string ip;
    std::string serial;
    uint64_t memory_gib = 0;
    bool disks = true; // rows 6 to 8 present
    uint8_t disk_count = 0;
    std::string disk_names;
    std::string disk_sizes;
};

// The eight packets of a description set, in order.
inline std::vector<Bytes> description_set(const Description& d) {
    std::vector<Bytes> set = {
        description_string(proto::DESC_OS, d.os),
        description_string(proto::DESC_IP_ADDRESS, d.ip),
        description_string(proto::DESC_SERIAL, d.serial),
        description_string(proto::DESC_CPU, cpu_name),
        description_uint64(proto::DESC_MEMORY_SIZE, d.memory_gib),
    };
    if (d.disks) {
        set.push_back(description_uint8(proto::DESC_DISK_COUNT, d.disk_count));
        set.push_back(description_string(proto::DESC_DISK_NAME, d.disk_names));
        set.push_back(description_string(proto::DESC_DISK_SIZE, d.disk_sizes));
    }
    return set;
}

// ---- Readable forms for failure messages ----------------------------------------

inline std::string show(const Bytes& b) {
    return "[" + pec_bench::hex(b) + "]";
}

inline std::string show(const Packet& p) {
    return pec_bench::describe(p) + " " + show(p.raw);
}

inline std::string show(const std::vector<Packet>& packets) {
    std::string s;
    for (const Packet& p : packets) {
        s += "  " + show(p) + "\n";
    }
    return s;
}

// ---- Trace predicates -------------------------------------------------------------

inline bool is_card_write(const TraceEvent& e) {
    return e.event == "card_write";
}

inline bool is_description(const Packet& p, uint8_t subaddress) {
    return p.length() > 5 && p.type() == proto::WRITE && p.address() == proto::DESCRIPTION &&
           p.subaddress() == subaddress;
}

inline bool is_ping(const Packet& p) {
    return p.length() == 3 && p.type() == proto::PING;
}

inline bool is_temperature(const Packet& p) {
    return p.length() > 5 && p.type() == proto::WRITE && p.address() == proto::STATUS &&
           p.subaddress() == 0;
}

inline std::function<bool(const TraceEvent&)> card_wrote(std::function<bool(const Packet&)> pred) {
    return [pred](const TraceEvent& e) { return is_card_write(e) && pred(e.packet); };
}

// A card write of the description set's first packet (the OS name).
inline bool starts_set(const TraceEvent& e) {
    return is_card_write(e) && is_description(e.packet, proto::DESC_OS);
}

inline bool ends_set(const TraceEvent& e) {
    return is_card_write(e) && is_description(e.packet, proto::DESC_DISK_SIZE);
}

inline std::function<bool(const TraceEvent&)> reports_ip(const std::string& ip) {
    return [ip](const TraceEvent& e) {
        return is_card_write(e) && is_description(e.packet, proto::DESC_IP_ADDRESS) &&
               e.packet.text() == ip;
    };
}

inline std::function<bool(const TraceEvent&)> wrote_bytes(const Bytes& raw) {
    return [raw](const TraceEvent& e) { return is_card_write(e) && e.packet.raw == raw; };
}

inline size_t count_events(const std::vector<TraceEvent>& trace,
                           const std::function<bool(const TraceEvent&)>& pred) {
    size_t n = 0;
    for (const TraceEvent& e : trace) {
        n += pred(e) ? 1 : 0;
    }
    return n;
}

// ---- Reports: the card's writes grouped as the main loop sends them --------------

enum class ReportKind { DESCRIPTION_SET, TEMPERATURE, PING, OTHER };

inline const char* report_name(ReportKind k) {
    switch (k) {
    case ReportKind::DESCRIPTION_SET:
        return "description set";
    case ReportKind::TEMPERATURE:
        return "temperature";
    case ReportKind::PING:
        return "ping";
    case ReportKind::OTHER:
        return "other";
    }
    return "?";
}

struct Report {
    ReportKind kind = ReportKind::OTHER;
    double t = 0;                // trace time of its first packet
    std::vector<Packet> packets; // a set's packets, or the one packet
    std::vector<int> results;    // the write results, in the same order
};

// Groups the successful and failed card writes: a set starts with its OS
// packet and takes the DESCRIPTION packets that follow it.
inline std::vector<Report> reports_of(const std::vector<TraceEvent>& trace) {
    std::vector<Report> out;
    for (const TraceEvent& e : trace) {
        if (!is_card_write(e)) {
            continue;
        }
        const Packet& p = e.packet;
        bool desc = p.length() > 5 && p.type() == proto::WRITE && p.address() == proto::DESCRIPTION;
        if (desc && p.subaddress() != proto::DESC_OS && !out.empty() &&
            out.back().kind == ReportKind::DESCRIPTION_SET) {
            out.back().packets.push_back(p);
            out.back().results.push_back(e.result);
            continue;
        }
        Report r;
        r.t = e.t;
        r.kind = desc                ? ReportKind::DESCRIPTION_SET
                 : is_temperature(p) ? ReportKind::TEMPERATURE
                 : is_ping(p)        ? ReportKind::PING
                                     : ReportKind::OTHER;
        r.packets.push_back(p);
        r.results.push_back(e.result);
        out.push_back(r);
    }
    return out;
}

inline std::string show(const std::vector<Report>& reports) {
    std::string s;
    char t[32];
    for (const Report& r : reports) {
        snprintf(t, sizeof(t), "%8.3f ", r.t);
        s += std::string("  ") + t + report_name(r.kind);
        if (r.kind == ReportKind::DESCRIPTION_SET) {
            s += " (" + std::to_string(r.packets.size()) + " packets, ip \"";
            for (const Packet& p : r.packets) {
                if (is_description(p, proto::DESC_IP_ADDRESS)) {
                    s += p.text();
                }
            }
            s += "\")";
        } else {
            s += " " + show(r.packets.front().raw);
        }
        s += "\n";
    }
    return s;
}

// The IP address text a description set carries ("" when it has none).
inline std::string ip_of(const Report& r) {
    for (const Packet& p : r.packets) {
        if (is_description(p, proto::DESC_IP_ADDRESS)) {
            return p.text();
        }
    }
    return "";
}

// ---- Log lines --------------------------------------------------------------------

inline std::string info_line(const std::string& tag, const std::string& function,
                             const std::string& text) {
    return "[INFO]\t[" + tag + "] " + function + ": " + text + "\n";
}

inline std::string error_line(const std::string& tag, const std::string& function,
                              const std::string& text) {
    return "\x1b[31m[ERROR]\t[" + tag + "] " + function + ": " + text + "\x1b[0m\n";
}

inline std::string debug_line(const std::string& tag, const std::string& function,
                              const std::string& text) {
    return "\x1b[32m[DEBUG]\t[" + tag + "] " + function + ": " + text + "\x1b[0m\n";
}

// How often `part` occurs in `text` (non-overlapping).
inline size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); !part.empty() && at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}

// Polls `get` until `pred` holds on its value or the timeout passes.
inline bool eventually(const std::function<bool()>& pred, milliseconds timeout,
                       milliseconds step = milliseconds(100)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
}

// ---- Host facts ---------------------------------------------------------------------

inline std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// MemTotal of /proc/meminfo in whole GiB (the namespaces share the host's memory).
inline uint64_t memory_total_gib() {
    std::istringstream in(read_text_file("/proc/meminfo"));
    std::string key;
    uint64_t kb = 0;
    while (in >> key) {
        if (key == "MemTotal:") {
            in >> kb;
            break;
        }
        in.ignore(1 << 12, '\n');
    }
    return kb >> 20;
}

// Output of a command run through the shell, with its exit status.
inline std::string run_output(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    int st = pclose(p);
    if (status != nullptr) {
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return out;
}

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

// The daemon binary under test: the build tree's, or the one PEC_BENCH_DAEMON
// names (a build for the card's CPU, which runs under qemu).
inline std::string daemon_path() {
    const char* path = getenv("PEC_BENCH_DAEMON");
    return path != nullptr && path[0] != '\0' ? path : PEC_DAEMON_PATH;
}

// The host pid of the daemon of this bench (0 when it is not found): the one
// daemon process whose environment names this bench's run directory.
inline pid_t daemon_host_pid(const Bench& bench) {
    const std::string want = "BENCH_RUN_DIR=" + bench.run_dir();
    // The kernel keeps the first 15 bytes of the program's name.
    const std::string path = daemon_path();
    const std::string name = path.substr(path.rfind('/') + 1).substr(0, 15) + "\n";
    DIR* d = opendir("/proc");
    if (d == nullptr) {
        return 0;
    }
    pid_t found = 0;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        std::string base = std::string("/proc/") + e->d_name;
        std::string comm = read_text_file(base + "/comm");
        if (comm != name) {
            continue;
        }
        std::string env = read_text_file(base + "/environ");
        std::istringstream vars(env);
        std::string var;
        while (std::getline(vars, var, '\0')) {
            if (var == want) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        if (found != 0) {
            break;
        }
    }
    closedir(d);
    return found;
}

// Runs `command` with bash as a process of the card's host sees it and
// returns its output (standard error included): in the daemon's mount
// namespace (its /etc, its /run with NetworkManager's bus), network namespace
// (its eth0), UTS namespace (its hostname) and PID namespace (NetworkManager
// hides a profile's settings from a caller whose process it cannot see).
// Status -1 when the daemon is not found, and the output says so.
inline std::string in_sandbox(const Bench& bench, const std::string& command,
                              int* status = nullptr) {
    pid_t pid = daemon_host_pid(bench);
    if (pid == 0) {
        if (status != nullptr) {
            *status = -1;
        }
        return "no daemon process found for " + bench.run_dir();
    }
    return run_output("nsenter -t " + std::to_string(pid) + " -m -n -u -p -- /bin/bash -c " +
                          shell_quote(command) + " 2>&1",
                      status);
}

// The path of a file of the card's host as the test sees it: the bench binds
// its run directory's etc/ tree over the sandbox's configuration directories.
inline std::string host_path(const Bench& bench, const std::string& path) {
    return bench.run_dir() + path;
}

// The disks as lsblk lists them in the daemon's namespaces, in the form the
// description set carries them ("|"-joined names and sizes).
inline bool sandbox_disks(const Bench& bench, Description* d) {
    int status = 0;
    std::string out = in_sandbox(bench, "lsblk -p -o NAME,SIZE,TYPE -n --exclude 1,7", &status);
    if (status != 0) {
        return false;
    }
    d->disk_count = 0;
    d->disk_names.clear();
    d->disk_sizes.clear();
    for (const std::string& line : lines_of(out)) {
        std::istringstream fields(line);
        std::string name, size, type;
        if (!(fields >> name >> size >> type) || type != "disk") {
            continue;
        }
        d->disk_names += (d->disk_count == 0 ? "" : "|") + name;
        d->disk_sizes += (d->disk_count == 0 ? "" : "|") + size;
        ++d->disk_count;
    }
    return true;
}

// The description set the card should send on this bench, with `ip`.
inline Description expected_description(const Bench& bench, const std::string& ip) {
    const Scenario& sc = bench.scenario();
    Description d;
    d.os = sc.os_pretty_name ? os_pretty_name : "";
    d.ip = ip;
    d.serial = sc.has_serial ? sc.serial : "N/A";
    d.memory_gib = memory_total_gib();
    EXPECT_TRUE(sandbox_disks(bench, &d)) << "lsblk could not be run in the sandbox";
    return d;
}

// Compares a set packet by packet and names the first difference.
inline void expect_set(const Report& got, const std::vector<Bytes>& want, const std::string& what) {
    ASSERT_EQ(got.kind, ReportKind::DESCRIPTION_SET) << what;
    ASSERT_EQ(got.packets.size(), want.size()) << what << ":\n" << show(got.packets);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(show(got.packets[i].raw), show(want[i]))
            << what << ", packet " << i + 1 << " (" << pec_bench::describe(got.packets[i]) << ")";
    }
}

// Moves eth0 to `address`/24 with the default route via 192.0.2.1, inside the
// sandbox. True when the commands succeeded.
inline bool change_eth0_address(const Bench& bench, const std::string& address) {
    int status = 0;
    std::string out =
        in_sandbox(bench,
                   "ip -4 addr flush dev eth0 && ip addr add " + address +
                       "/24 dev eth0 && ip route replace default via 192.0.2.1 dev eth0",
                   &status);
    if (status != 0) {
        ADD_FAILURE() << "cannot move eth0 to " << address << ": " << out;
    }
    return status == 0;
}

// ---- Main-loop cycles as the daemon's DEBUG output shows them -------------------------
//
// With DEBUG=1 and a sensor, every cycle writes "temperature: ..." right
// before its report step, the description set writes "Memory Total Size"
// while it is built, and the link thread writes "Write Packet length: N"
// after each packet (about 220 ms after it was queued, well inside the 2 s
// the cycle then sleeps). Cutting standard output at the temperature lines
// therefore gives, per cycle, what the cycle sent.

struct Cycle {
    bool description = false; // the cycle built a description set
    std::vector<int> writes;  // lengths of the packets written during the cycle
    std::string temperature;  // the value the cycle read
};

// cycles[0] is everything before the first cycle (start-up); cycles[k] is
// the k-th loop cycle.
inline std::vector<Cycle> cycles_of(const std::string& out) {
    const std::string cycle_mark = "[Sensor] update_Temperature: temperature: ";
    const std::string set_mark = "[main] update_Broadcast_Packet: Memory Total Size: ";
    const std::string write_mark = "[I2C Packet] set_I2C_Packet_Write: Write Packet length: ";
    std::vector<Cycle> cycles(1);
    for (const std::string& line : lines_of(out)) {
        size_t at;
        if ((at = line.find(cycle_mark)) != std::string::npos) {
            cycles.emplace_back();
            std::string v = line.substr(at + cycle_mark.size());
            cycles.back().temperature = v.substr(0, v.find('\x1b'));
        } else if (line.find(set_mark) != std::string::npos) {
            cycles.back().description = true;
        } else if ((at = line.find(write_mark)) != std::string::npos) {
            cycles.back().writes.push_back(atoi(line.c_str() + at + write_mark.size()));
        }
    }
    return cycles;
}

inline bool wrote(const Cycle& c, int length) {
    for (int w : c.writes) {
        if (w == length) {
            return true;
        }
    }
    return false;
}

inline std::string show(const std::vector<Cycle>& cycles) {
    std::string s;
    for (size_t i = 0; i < cycles.size(); ++i) {
        s += "  cycle " + std::to_string(i) + ": t=" + cycles[i].temperature +
             (cycles[i].description ? " SET" : "") + " writes";
        for (int w : cycles[i].writes) {
            s += " " + std::to_string(w);
        }
        s += "\n";
    }
    return s;
}

// ---- Fixture ------------------------------------------------------------------------

class BenchTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "the bench runs the daemon in mount, network and PID namespaces, "
                            "which needs root";
        }
    }

    void TearDown() override {
        if (bench_ && HasFailure()) {
            dump();
        }
        bench_.reset();
    }

    // Starts a bench with `sc` and the daemon in it. Use with
    // ASSERT_NO_FATAL_FAILURE(start(sc)).
    void start(const Scenario& sc, const pec_bench::Faults* faults = nullptr) {
        bench_.reset(new Bench(sc));
        if (faults != nullptr) {
            bench_->set_faults(*faults);
        }
        ASSERT_TRUE(bench_->start_daemon(daemon_path()))
            << "the bench could not start " << daemon_path();
    }

    Bench& bench() { return *bench_; }

    // Waits for `count` matching trace events (the whole trace counts).
    bool wait_events(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                     seconds timeout, std::vector<TraceEvent>* out = nullptr) {
        return bench_->wait_for(pred, count, timeout, out);
    }

    // Waits until the start-up traffic is through: both description sets and,
    // with a sensor, the first temperature report.
    void wait_started(bool with_temperature) {
        ASSERT_TRUE(wait_events(ends_set, 2, seconds(90))) << "no two description sets";
        if (with_temperature) {
            ASSERT_TRUE(wait_events(card_wrote(is_temperature), 1, seconds(60)))
                << "no first temperature report";
        }
    }

    // Waits until stdout holds `count` occurrences of `part`.
    bool wait_stdout(const std::string& part, size_t count, seconds timeout) {
        return eventually([&] { return count_of(bench_->daemon_stdout(), part) >= count; },
                          timeout);
    }

    // Waits for the daemon's next main-loop cycle boundary (with DEBUG=1): the
    // temperature line each cycle writes just before its report step; the
    // cycle then sleeps 2 s, so a change made right after it is seen by the
    // following cycle. Returns the number of such lines so far.
    size_t wait_next_cycle_line(seconds timeout = seconds(30)) {
        const std::string line = "[Sensor] update_Temperature: temperature: ";
        size_t before = count_of(bench_->daemon_stdout(), line);
        eventually([&] { return count_of(bench_->daemon_stdout(), line) > before; }, timeout,
                   milliseconds(20));
        return count_of(bench_->daemon_stdout(), line);
    }

    // With DEBUG=1: waits until standard output holds the link's line for
    // every successful write in the trace (the line follows the write).
    bool wait_log_caught_up(seconds timeout = seconds(10)) {
        size_t written = count_events(
            bench_->trace(), [](const TraceEvent& e) { return is_card_write(e) && e.result > 0; });
        return wait_stdout("[I2C Packet] set_I2C_Packet_Write: Write Packet length: ", written,
                           timeout);
    }

    void dump() {
        std::vector<TraceEvent> trace = bench_->trace();
        size_t from = trace.size() > 150 ? trace.size() - 150 : 0;
        std::string s;
        for (size_t i = from; i < trace.size(); ++i) {
            if (trace[i].event != "line_value" && trace[i].event != "slave") {
                s += trace[i].json + "\n";
            }
        }
        std::string out = bench_->daemon_stdout();
        std::string err = bench_->daemon_stderr();
        if (out.size() > 6000) {
            out = "..." + out.substr(out.size() - 6000);
        }
        if (err.size() > 3000) {
            err = "..." + err.substr(err.size() - 3000);
        }
        printf("---- trace (last events) ----\n%s---- reports ----\n%s---- daemon stdout "
               "----\n%s\n---- daemon stderr ----\n%s\n---- sandbox.log ----\n%s\n",
               s.c_str(), show(reports_of(trace)).c_str(), out.c_str(), err.c_str(),
               read_text_file(bench_->run_dir() + "/sandbox.log").c_str());
    }

    std::unique_ptr<Bench> bench_;
};

} // namespace systest
