// The daemon's cost on an idle card: CPU of its process and of its children,
// its wake-ups, and the part of it that is the bench's own interposer, which
// answers each of the link's line reads over a socket where the card's
// kernel answers an ioctl. That part is measured by a control run: a
// program making the link's idle passes alone, with and without the line
// reads, against a bench of its own and alongside the daemon's window.

#include "bench_run.h"
#include "proc_sample.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace figures {

namespace {

const char* const section_name = "idle";

struct ControlRun {
    bool ok = false;
    double cpu = 0; // seconds
    long wakeups = 0;
};

// Starts the control program with the interposer preloaded; its pid, or -1.
pid_t start_control(const Settings& s, const std::string& socket, const char* mode) {
    // A sanitizer build of the control program must accept the interposer
    // ahead of its runtime.
    std::vector<std::string> env = {"LD_PRELOAD=" + s.interposer, "PEC_BENCH_SOCKET=" + socket,
                                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    const std::string seconds = fixed(s.idle_seconds, 3);
    pid_t pid = fork();
    if (pid == 0) {
        execle(s.poller.c_str(), s.poller.c_str(), seconds.c_str(), mode,
               static_cast<char*>(nullptr), envp.data());
        _exit(127);
    }
    return pid;
}

ControlRun finish_control(pid_t pid) {
    ControlRun r;
    int status = 0;
    rusage use{};
    if (pid > 0 && wait4(pid, &status, 0, &use) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        r.ok = true;
        r.cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
        r.wakeups = use.ru_nvcsw;
    }
    return r;
}

std::string percent(double cpu_seconds, double window) {
    return fixed(100.0 * cpu_seconds / window, 3) + " % of one core";
}

std::string per_second(long count, double window) {
    return fixed(static_cast<double>(count) / window, 1) + " /s";
}

// The control runs, and what is left of the daemon's figures without the
// interposer's part.
Rows control_rows(const ControlRun& line, const ControlRun& sleep, const ProcSample& daemon,
                  double window, const std::string& section) {
    if (!line.ok || !sleep.ok) {
        return {not_measured(section, "interposer's part", "the control program failed")};
    }
    const double cpu = line.cpu - sleep.cpu;
    const long wakeups = line.wakeups - sleep.wakeups;
    return {{section, "control: 20 ms passes reading the line",
             percent(line.cpu, window) + ", " + per_second(line.wakeups, window) + " wake-ups",
             "line_poller, interposer preloaded, against a bench of its own (getrusage)"},
            {section, "control: 20 ms passes alone",
             percent(sleep.cpu, window) + ", " + per_second(sleep.wakeups, window) + " wake-ups",
             "line_poller without the line reads (getrusage)"},
            {section, "interposer's part",
             percent(cpu, window) + ", " + per_second(wakeups, window) + " wake-ups",
             "difference of the two control runs: a socket round trip per line read"},
            {section, "daemon without the interposer's part (estimate)",
             percent(daemon.cpu - cpu, window) + ", " +
                 per_second(daemon.voluntary - wakeups, window) + " wake-ups",
             "the daemon's figures less the interposer's part; a card reads the line with one "
             "ioctl"}};
}

} // namespace

Rows measure_idle(const Settings& s) {
    const std::string section =
        std::string(section_name) + " (" + fixed(s.idle_seconds, 0) + " s window)";
    std::string why = bench_unavailable();
    auto bench = why.empty() ? started_bench(named_scenario("netplan"), s, &why) : nullptr;
    if (!bench) {
        return {not_measured(section, "idle cost", why)};
    }
    pid_t pid = bench->daemon_pid();
    Bench control{Scenario{}};
    pid_t with_line = start_control(s, control.socket_path(), "line");
    pid_t sleeps_only = start_control(s, control.socket_path(), "sleep");
    ProcSample before = sample_process(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(s.idle_seconds));
    ProcSample after = sample_process(pid);
    ControlRun line = finish_control(with_line);
    ControlRun sleep = finish_control(sleeps_only);
    if (!before.ok || !after.ok) {
        return {not_measured(section, "idle cost", "the daemon's /proc entries were not read")};
    }
    ProcSample d; // the window's share
    d.cpu = after.cpu - before.cpu;
    d.voluntary = after.voluntary - before.voluntary;
    const double w = s.idle_seconds;
    Rows rows = {
        {section, "daemon process CPU", percent(d.cpu, w),
         "utime+stime of /proc/PID/stat (both threads), scenario netplan with the sensor"},
        {section, "its children's CPU", percent(after.children_cpu - before.children_cpu, w),
         "cutime+cstime of /proc/PID/stat: the commands it ran and reaped (shell, cat, lsblk)"},
        {section, "daemon wake-ups",
         per_second(d.voluntary, w) + " (and " +
             per_second(after.involuntary - before.involuntary, w) + " preemptions)",
         "voluntary context switches of its threads, /proc/PID/task/*/status"}};
    Rows controls = control_rows(line, sleep, d, w, section);
    rows.insert(rows.end(), controls.begin(), controls.end());
    return rows;
}

} // namespace figures
