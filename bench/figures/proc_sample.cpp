// What /proc says about one process.

#include "proc_sample.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace figures {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool to_long(const std::string& text, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

// The fields of /proc/PID/stat after the command name (which may hold
// blanks): [0] is the state, field N of proc(5) is at N - 3.
std::vector<std::string> stat_fields(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream in(stat.substr(close + 1));
    std::string f;
    while (in >> f) {
        fields.push_back(f);
    }
    return fields;
}

// The value of "Key:" in a /proc status file; false when absent.
bool status_value(const std::string& status, const std::string& key, long* out) {
    std::istringstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            std::istringstream value(line.substr(key.size() + 1));
            std::string number;
            return value >> number && to_long(number, out);
        }
    }
    return false;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    while (dirent* e = d ? readdir(d.get()) : nullptr) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    return names;
}

bool add_context_switches(const std::string& base, ProcSample* s) {
    const std::string tasks = base + "/task/";
    for (const std::string& tid : entries(tasks)) {
        std::string status = read_text(tasks + tid + "/status");
        long vol = 0, invol = 0;
        if (!status_value(status, "voluntary_ctxt_switches", &vol) ||
            !status_value(status, "nonvoluntary_ctxt_switches", &invol)) {
            return false;
        }
        s->voluntary += vol;
        s->involuntary += invol;
    }
    return true;
}

} // namespace

ProcSample sample_process(pid_t pid) {
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    std::vector<std::string> f = stat_fields(pid);
    long ticks[4] = {}; // utime, stime, cutime, cstime: fields 14 to 17
    if (f.size() < 15) {
        return s;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!to_long(f[11 + i], &ticks[i])) {
            return s;
        }
    }
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    s.cpu = static_cast<double>(ticks[0] + ticks[1]) * tick;
    s.children_cpu = static_cast<double>(ticks[2] + ticks[3]) * tick;
    s.fds = static_cast<int>(entries(base + "/fd").size());
    s.ok = status_value(read_text(base + "/status"), "VmRSS", &s.rss_kib) &&
           add_context_switches(base, &s);
    return s;
}

double process_start(pid_t pid) {
    std::vector<std::string> f = stat_fields(pid);
    long start = 0;
    if (f.size() < 20 || !to_long(f[19], &start)) { // starttime, field 22
        return -1;
    }
    return static_cast<double>(start) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double boot_clock_now() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace figures
