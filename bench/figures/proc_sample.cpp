// What /proc says about one process: /proc/PID/stat (CPU, its children's,
// its start), /proc/PID/status (VmRSS), its threads' status (context
// switches) and /proc/PID/fd.

#include "figures.h"

#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace figures {

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    while (dirent* e = d ? readdir(d.get()) : nullptr) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    return names;
}

// The number after "key:" in a /proc status file; false when absent.
bool status_value(const std::string& path, const std::string& key, long* out) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return static_cast<bool>(std::istringstream(line.substr(key.size() + 1)) >> *out);
        }
    }
    return false;
}

double boot_clock_now() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

ProcSample sample_process(pid_t pid) {
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat;
    std::getline(std::ifstream(base + "/stat"), stat);
    // The fields after the command name (which may hold blanks): field N of
    // proc(5) is at index N - 3; utime to cstime are 14 to 17, starttime 22.
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
    std::vector<double> f(20);
    std::string skip;
    for (size_t i = 0; i < 11; ++i) {
        fields >> skip;
    }
    for (size_t i = 11; i < f.size(); ++i) {
        fields >> f[i];
    }
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    s.cpu = (f[11] + f[12]) * tick;
    s.children_cpu = (f[13] + f[14]) * tick;
    s.age = boot_clock_now() - f[19] * tick; // starttime is on the boot clock
    s.fds = static_cast<long>(entries(base + "/fd").size());
    s.ok = fields && status_value(base + "/status", "VmRSS", &s.rss_kib);
    for (const std::string& tid : entries(base + "/task")) {
        long vol = 0, invol = 0;
        const std::string status = base + "/task/" + tid + "/status";
        s.ok = s.ok && status_value(status, "voluntary_ctxt_switches", &vol) &&
               status_value(status, "nonvoluntary_ctxt_switches", &invol);
        s.voluntary += vol;
        s.involuntary += invol;
    }
    return s;
}

} // namespace figures
