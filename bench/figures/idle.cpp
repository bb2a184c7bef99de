// The daemon's cost on an idle card: CPU of its process and of its children,
// its wake-ups, and the part of it that is the bench's own interposer, which
// answers each of the link's line reads over a socket where the card's
// kernel answers an ioctl. That part is measured by a control run: a
// program making the link's idle passes alone, with and without the line
// reads, against a bench of its own and alongside the daemon's window.

#include "figures.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace figures {

namespace {

struct Control {
    pid_t pid = -1;
    bool ok = false;
    double cpu = 0; // seconds
    long wakeups = 0;
};

// Starts the control program with the interposer preloaded. A sanitizer
// build of it must accept the interposer ahead of its runtime.
Control start_control(const Settings& s, const std::string& socket, const char* mode) {
    std::vector<std::string> env = {"LD_PRELOAD=" + s.interposer, "PEC_BENCH_SOCKET=" + socket,
                                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::string seconds = fixed(s.idle_seconds, 3), how = mode, poller = s.poller;
    char* argv[] = {&poller[0], &seconds[0], &how[0], nullptr};
    Control c;
    if (posix_spawn(&c.pid, s.poller.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
        c.pid = -1;
    }
    return c;
}

void finish_control(Control* c) {
    int status = 0;
    rusage use{};
    c->ok = c->pid > 0 && wait4(c->pid, &status, 0, &use) == c->pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0;
    c->cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
             static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    c->wakeups = use.ru_nvcsw;
}

} // namespace

Rows measure_idle(const Settings& s) {
    const std::string section = "idle (" + fixed(s.idle_seconds, 0) + " s window)";
    std::string why;
    auto bench = started_bench("netplan", s, &why);
    if (!bench) {
        return {not_measured(section, "idle cost", why)};
    }
    Bench control{pec_bench::Scenario{}};
    Control line = start_control(s, control.socket_path(), "line");
    Control alone = start_control(s, control.socket_path(), "sleep");
    ProcSample before = sample_process(bench->daemon_pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(s.idle_seconds));
    ProcSample after = sample_process(bench->daemon_pid());
    finish_control(&line);
    finish_control(&alone);
    if (!before.ok || !after.ok) {
        return {not_measured(section, "idle cost", "the daemon's /proc entries were not read")};
    }
    const double w = s.idle_seconds;
    auto percent = [w](double cpu) { return fixed(100.0 * cpu / w, 3) + " % of one core"; };
    auto per_second = [w](long n) { return fixed(static_cast<double>(n) / w, 1) + " /s"; };
    auto cost = [&](double cpu, long wakeups) {
        return percent(cpu) + ", " + per_second(wakeups) + " wake-ups";
    };
    const double cpu = after.cpu - before.cpu;
    const long wakeups = after.voluntary - before.voluntary;
    Rows rows = {
        {section, "daemon process CPU", percent(cpu),
         "utime+stime of /proc/PID/stat (both threads), scenario netplan with the sensor"},
        {section, "its children's CPU", percent(after.children_cpu - before.children_cpu),
         "cutime+cstime of /proc/PID/stat: the commands it ran and reaped (shell, cat, lsblk)"},
        {section, "daemon wake-ups",
         per_second(wakeups) + " (and " + per_second(after.involuntary - before.involuntary) +
             " preemptions)",
         "voluntary context switches of its threads, /proc/PID/task/*/status"}};
    if (!line.ok || !alone.ok) {
        rows.push_back(not_measured(section, "interposer's part", "the control program failed"));
        return rows;
    }
    const double part_cpu = line.cpu - alone.cpu;
    const long part_wakeups = line.wakeups - alone.wakeups;
    Rows controls = {
        {section, "control: 20 ms passes reading the line", cost(line.cpu, line.wakeups),
         "line_poller, interposer preloaded, against a bench of its own (getrusage)"},
        {section, "control: 20 ms passes alone", cost(alone.cpu, alone.wakeups),
         "line_poller without the line reads (getrusage)"},
        {section, "interposer's part", cost(part_cpu, part_wakeups),
         "difference of the two control runs: a socket round trip per line read"},
        {section, "daemon without the interposer's part (estimate)",
         cost(cpu - part_cpu, wakeups - part_wakeups),
         "the daemon's figures less the interposer's part; a card reads the line with one "
         "ioctl"}};
    rows.insert(rows.end(), controls.begin(), controls.end());
    return rows;
}

} // namespace figures
