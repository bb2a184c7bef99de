// The daemon's process as the host sees it in /proc: its start (the sensor
// registered at start, which pauses 5 s for the kernel's driver, or bound);
// its cost on an idle card, less the bench interposer's part (a socket round
// trip per line read where a card's kernel answers an ioctl) found by control
// runs; its memory and descriptors under packets from the BMC and reports.

#include "figures.h"

#include "os_wrappers.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/gpio.h>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace figures {

std::string proc_field(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t value = line.find_first_not_of(" \t", line.find(':') + 1);
        if (line.rfind(key, 0) == 0 && line.find(':') != std::string::npos) {
            return line.substr(std::min(line.size(), value));
        }
    }
    return "";
}

namespace {

// What /proc says about a process.
struct ProcSample {
    bool ok = false;
    double cpu = 0, children_cpu = 0;    // seconds: its threads', its reaped children's
    long voluntary = 0, involuntary = 0; // its threads' context switches: wake-ups, preemptions
    long rss_kib = 0, fds = 0;           // VmRSS, entries of /proc/PID/fd
    double age = -1;                     // seconds since it started (10 ms ticks)
};

ProcSample sample_process(pid_t pid) {
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat;
    std::getline(std::ifstream(base + "/stat"), stat);
    // The fields after the command name (which may hold blanks): field N of
    // proc(5) is at index N - 3; utime to cstime are 14 to 17, starttime 22.
    std::istringstream in(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
    std::string state;
    std::vector<double> f(20);
    in >> state;
    for (size_t i = 1; i < f.size(); ++i) {
        in >> f[i];
    }
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    timespec boot{}; // the clock of starttime
    clock_gettime(CLOCK_BOOTTIME, &boot);
    s.ok = static_cast<bool>(in);
    s.cpu = (f[11] + f[12]) * tick;
    s.children_cpu = (f[13] + f[14]) * tick;
    s.age =
        static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) * 1e-9 - f[19] * tick;
    s.rss_kib = atol(proc_field(base + "/status", "VmRSS").c_str());
    std::error_code gone; // the process ended: no entries
    using std::filesystem::directory_iterator;
    s.fds = std::distance(directory_iterator(base + "/fd", gone), directory_iterator());
    for (const auto& task : directory_iterator(base + "/task", gone)) {
        const std::string status = task.path().string() + "/status";
        s.voluntary += atol(proc_field(status, "voluntary_ctxt_switches").c_str());
        s.involuntary += atol(proc_field(status, "nonvoluntary_ctxt_switches").c_str());
    }
    return s;
}

Row start_row(const std::string& scenario, const std::string& figure, const Settings& s) {
    std::vector<double> samples;
    std::string why;
    for (int i = 0; i < s.startup_repeats && why.empty(); ++i) {
        auto bench = started_bench(scenario, s, &why);
        // The process's age (/proc, on the boot clock) carried over to the
        // trace's clock through one reading of both.
        ProcSample p = bench ? sample_process(bench->daemon_pid()) : ProcSample{};
        std::vector<TraceEvent> first;
        if (p.ok && bench->wait_for([](const TraceEvent& e) { return e.event == "card_write"; }, 1,
                                    std::chrono::seconds(0), &first)) {
            samples.push_back(first.front().t - (bench->now() - p.age));
        }
    }
    return samples.empty()
               ? not_measured("start-up", figure, why + " (or /proc not read)")
               : Row{"start-up", figure, stats_text(samples, 1, 2, "s"),
                     "process start (/proc/PID/stat, 10 ms ticks) to the first write "
                     "in the trace; " +
                         std::to_string(samples.size()) + " start(s), scenario " + scenario};
}

using Pipe = std::unique_ptr<FILE, int (*)(FILE*)>;

// The control run: this program with the interposer preloaded (a sanitizer
// build must accept it ahead of its runtime) making the link's idle passes.
Pipe start_control(const Settings& s, const std::string& socket, const char* mode) {
    const std::string command = "LD_PRELOAD=" + s.interposer + " PEC_BENCH_SOCKET=" + socket +
                                " ASAN_OPTIONS=verify_asan_link_order=0 " + s.self + " --control " +
                                fixed(s.idle_seconds, 3) + " " + mode;
    return Pipe(popen(command.c_str(), "r"), pclose);
}

// What the control run printed (its CPU and wake-ups), once it ended well.
ProcSample finish_control(Pipe pipe) {
    ProcSample c;
    c.ok = pipe && fscanf(pipe.get(), "%lf %ld", &c.cpu, &c.voluntary) == 2 &&
           pclose(pipe.release()) == 0;
    return c;
}

// The CPU and wake-ups of `a` less those of `b`.
ProcSample operator-(ProcSample a, const ProcSample& b) {
    a.ok = a.ok && b.ok;
    a.cpu -= b.cpu;
    a.children_cpu -= b.children_cpu;
    a.voluntary -= b.voluntary;
    a.involuntary -= b.involuntary;
    return a;
}

// The daemon's figures over a window of `w` seconds, the control runs', and
// what is left of the daemon's without the interposer's part.
Rows idle_rows(const std::string& section, double w, const ProcSample& d, const ProcSample& line,
               const ProcSample& alone) {
    auto percent = [w](double cpu) { return fixed(100.0 * cpu / w, 3) + " % of one core"; };
    auto per_second = [w](long n) { return fixed(static_cast<double>(n) / w, 1) + " /s"; };
    auto row = [&](const char* figure, const ProcSample& p, const char* how) {
        return p.ok ? Row{section, figure,
                          percent(p.cpu) + ", " + per_second(p.voluntary) + " wake-ups", how}
                    : not_measured(section, figure, "the control run failed");
    };
    return {{section, "daemon process CPU", percent(d.cpu),
             "utime+stime of /proc/PID/stat (both threads), scenario netplan with the sensor"},
            {section, "its children's CPU", percent(d.children_cpu),
             "cutime+cstime of /proc/PID/stat: the commands it ran and reaped (shell, cat, lsblk)"},
            {section, "daemon wake-ups",
             per_second(d.voluntary) + " (and " + per_second(d.involuntary) + " preemptions)",
             "voluntary context switches of its threads, /proc/PID/task/*/status"},
            row("control: 20 ms passes reading the line", line,
                "this program's control run, interposer preloaded, against a bench of its own "
                "(getrusage)"),
            row("control: 20 ms passes alone", alone,
                "the same passes without the line reads (getrusage)"),
            row("interposer's part", line - alone,
                "difference of the two control runs: a socket round trip per line read"),
            row("daemon without the interposer's part (estimate)", d - (line - alone),
                "the daemon's figures less the interposer's part; a card reads the line with one "
                "ioctl")};
}

constexpr int set_packets = 8;

// The BMC's side of the load, one packet: valid requests that change nothing
// on the host (settings are only kept until an apply, which never comes),
// pings, and random bytes that do not address the mode, the apply or the
// hostname.
void send_bmc_packet(Bench& bench, int n, std::mt19937& rng) {
    static const char* const valid[] = {"mode static",           "ip 192.0.2.30",
                                        "netmask 255.255.255.0", "gateway 192.0.2.1",
                                        "dns1 192.0.2.53",       "ping"};
    if (n % 8 < 6) {
        bench.command(valid[n % 8]);
        return;
    }
    pec_bench::Bytes b(std::uniform_int_distribution<size_t>(1, 80)(rng));
    std::generate(b.begin(), b.end(), [&] { return static_cast<uint8_t>(rng()); });
    while (b.size() > 4 &&
           (b[4] == pec_bench::proto::NET_MODE || b[4] == pec_bench::proto::NET_APPLY ||
            b[4] == pec_bench::proto::NET_HOSTNAME)) {
        b[4] = static_cast<uint8_t>(rng());
    }
    bench.send(b);
}

// Rounds of a share of the BMC's packets and an eth0 move (while reports are
// due), each until the card has reported the new address and read the
// packets; the largest /proc figures seen, not ok when the card stopped.
ProcSample run_load(Bench& bench, const Settings& s, ProcSample peak) {
    std::mt19937 rng(20240815);
    size_t reads = count_of(bench, is_packet_read);
    const int share = std::max(1, s.bmc_packets * set_packets / std::max(s.reports, set_packets));
    for (int round = 0, sent = 0;
         peak.ok && (round * set_packets < s.reports || sent < s.bmc_packets); ++round) {
        for (int i = 0; i < share && sent < s.bmc_packets; ++i, ++reads) {
            send_bmc_packet(bench, sent++, rng);
        }
        peak.ok = (round * set_packets >= s.reports || another_set(bench, round)) &&
                  bench.wait_for(is_packet_read, reads, std::chrono::seconds(30));
        ProcSample now = sample_process(bench.daemon_pid());
        peak.rss_kib = std::max(peak.rss_kib, now.rss_kib);
        peak.fds = std::max(peak.fds, now.fds);
        if (round % 100 == 99) {
            progress("memory: " + std::to_string(sent) + " BMC packets sent");
        }
    }
    // The rest of the last set drains from the transmit queue.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return peak;
}

} // namespace

// The card's idle link passes, a read of the feedback line (line 0 of
// /dev/gpiochip0) and a 20 ms sleep, or only the sleeps; prints its CPU
// seconds and wake-ups (voluntary context switches).
int run_control(double seconds, bool read_line) {
    Unique_Fd chip(read_line ? open("/dev/gpiochip0", O_RDWR | O_CLOEXEC) : -1);
    gpiohandle_request req{};
    req.flags = GPIOHANDLE_REQUEST_INPUT;
    req.lines = 1;
    snprintf(req.consumer_label, sizeof(req.consumer_label), "%s", "read feedback");
    Unique_Fd line(read_line && ioctl(chip.get(), GPIO_GET_LINEHANDLE_IOCTL, &req) == 0 ? req.fd
                                                                                        : -1);
    int failures = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        gpiohandle_data data{};
        failures += read_line && ioctl(line.get(), GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data) != 0;
        usleep(20000);
    }
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    timeval cpu{};
    timeradd(&use.ru_utime, &use.ru_stime, &cpu);
    printf("%ld.%06ld %ld\n", static_cast<long>(cpu.tv_sec), static_cast<long>(cpu.tv_usec),
           use.ru_nvcsw);
    return failures == 0 ? 0 : 1;
}

Rows measure_startup(const Settings& s) {
    return {start_row("netplan", "exec to first packet, sensor registered (5 s pause)", s),
            start_row("sensor-bound", "exec to first packet, sensor already bound", s)};
}

Rows measure_idle(const Settings& s) {
    const std::string section = "idle (" + fixed(s.idle_seconds, 0) + " s window)";
    const double w = s.idle_seconds;
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    if (!bench) {
        return {not_measured(section, "idle cost", why)};
    }
    Bench control{pec_bench::Scenario{}};
    Pipe line = start_control(s, control.socket_path(), "line");
    Pipe alone = start_control(s, control.socket_path(), "sleep");
    ProcSample before = sample_process(bench->daemon_pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(w));
    const ProcSample d = sample_process(bench->daemon_pid()) - before;
    if (!d.ok) {
        return {not_measured(section, "idle cost", "the daemon's /proc entries were not read")};
    }
    return idle_rows(section, w, d, finish_control(std::move(line)),
                     finish_control(std::move(alone)));
}

Rows measure_memory(const Settings& s) {
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    if (!bench) {
        return {not_measured("memory and descriptors", "memory under load", why)};
    }
    auto mib = [](long kib) { return fixed(static_cast<double>(kib) / 1024.0, 2); };
    const double start = bench->now();
    ProcSample before = sample_process(bench->daemon_pid());
    ProcSample peak = run_load(*bench, s, before);
    ProcSample after = sample_process(bench->daemon_pid());
    if (!peak.ok) {
        return {not_measured("memory and descriptors", "memory under load",
                             "the card stopped reading or reporting")};
    }
    return {{"memory and descriptors", "resident memory",
             mib(before.rss_kib) + " MiB before, " + mib(after.rss_kib) + " MiB after (max " +
                 mib(peak.rss_kib) + ")",
             "VmRSS of /proc/PID/status after start-up, after the load below, and each round"},
            {"memory and descriptors", "open descriptors",
             std::to_string(before.fds) + " before, " + std::to_string(after.fds) + " after (max " +
                 std::to_string(peak.fds) + ")",
             "entries of /proc/PID/fd"},
            {"memory and descriptors", "the load",
             std::to_string(count_of(*bench, is_packet_read)) + " packets read from the BMC, " +
                 std::to_string(count_of(*bench, is_write)) + " written to it, in " +
                 fixed(bench->now() - start, 0) + " s",
             "BMC: settings, pings, random bytes; card: a description set per eth0 move"}};
}

} // namespace figures
