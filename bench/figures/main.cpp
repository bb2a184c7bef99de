// pec_bench_figures: what the daemon costs on the link and the host (the
// unchanged daemon on the bench, as root) and how its file work scales (in
// process), in one table headed by the machine it ran on.

#include "figures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace figures;

// The parts, the in-process one first; the others run the daemon on benches.
const std::pair<const char*, Rows (*)(const Settings&)> phases[] = {
    {"scaling", measure_scaling}, {"apply-path", measure_apply_path}, {"startup", measure_startup},
    {"link", measure_link},       {"requests", measure_requests},     {"idle", measure_idle},
    {"memory", measure_memory},
};

const char* const usage =
    "usage: pec_bench_figures [--short] [--idle SEC] [--packets N] [--reports N] [--only LIST]\n"
    "  --short: a few samples each (CI); --idle: the idle window (120 s); --packets, --reports:\n"
    "  the memory run's load (10000 each); --only: some of scaling, apply-path, startup, link,\n"
    "  requests, idle, memory\n";

// The form's settings (--short: a few samples of each, for CI to keep the
// program working), then the other options; false on a bad one.
bool parse_args(int argc, char** argv, Settings* s, std::string* only) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (std::find(a.begin(), a.end(), "--short") != a.end()) {
        s->brief = true;
        s->idle_seconds = 6;
        s->bmc_packets = s->reports = 40;
        s->full_queue_sets = s->apply_repeats = s->startup_repeats = 1;
        s->queued_reports = 2;
        s->line_samples = 10;
        s->scaling_seconds = 0.05;
        a.erase(std::remove(a.begin(), a.end(), "--short"), a.end());
    }
    for (size_t i = 0; i + 1 < a.size(); i += 2) {
        char* end = nullptr;
        const double n = strtod(a[i + 1].c_str(), &end);
        const bool number = *end == '\0' && n > 0;
        if (a[i] == "--only") {
            *only = "," + a[i + 1] + ",";
        } else if (a[i] == "--idle" && number) {
            s->idle_seconds = n;
        } else if (a[i] == "--packets" && number) {
            s->bmc_packets = static_cast<int>(n);
        } else if (a[i] == "--reports" && number) {
            s->reports = static_cast<int>(n);
        } else {
            return false;
        }
    }
    return a.size() % 2 == 0;
}

std::string load_average() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Runs the phases: the in-process one first, before any thread exists; the
// bench ones one after another, or side by side in the short form, whose
// figures are only there to show that it all runs. "scaling 1 s, ...".
std::string run_phases(const Settings& s, const std::string& only, std::vector<Rows>* rows) {
    std::vector<std::string> took(std::size(phases));
    auto run = [&](size_t i) {
        auto start = std::chrono::steady_clock::now();
        (*rows)[i] = phases[i].second(s);
        std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        took[i] = phases[i].first + (" " + fixed(seconds.count(), 0)) + " s";
        progress(took[i]);
    };
    std::vector<std::thread> side_by_side;
    for (size_t i = 0; i < std::size(phases); ++i) {
        const bool chosen =
            only.find(std::string(",") + phases[i].first + ",") != std::string::npos;
        if (chosen && s.brief && i > 0) {
            side_by_side.emplace_back(run, i);
        } else if (chosen) {
            run(i);
        }
    }
    for (std::thread& t : side_by_side) {
        t.join();
    }
    std::string times;
    for (const std::string& t : took) {
        times += t.empty() ? "" : (times.empty() ? "" : ", ") + t;
    }
    return times;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--control") == 0) {
        return run_control(atof(argv[2]), strcmp(argv[3], "line") == 0);
    }
    Settings s;
    std::string only = ",scaling,apply-path,startup,link,requests,idle,memory,";
    if (!parse_args(argc, argv, &s, &only)) {
        const bool help = argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"));
        fputs(usage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    s.daemon = PEC_FIGURES_DAEMON;
    s.interposer = PEC_FIGURES_INTERPOSER;
    s.self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string load_before = load_average();
    std::vector<Rows> rows(std::size(phases));
    const std::string times = run_phases(s, only, &rows);
    // The machine the figures were taken on: a shared, loaded machine's
    // figures mean little without it.
    utsname u{};
    uname(&u);
    printf("PEC daemon figures (%s form)\nmachine: %ld cores, %s, %s GiB, Linux %s\n"
           "load average: %s at the start, %s at the end\ndaemon: %s (source %s)\n"
           "time taken: %s\n\n",
           s.brief ? "short" : "full", sysconf(_SC_NPROCESSORS_ONLN),
           proc_field("/proc/cpuinfo", "model name").c_str(),
           fixed(atof(proc_field("/proc/meminfo", "MemTotal").c_str()) / 1024 / 1024, 1).c_str(),
           u.release, load_before.c_str(), load_average().c_str(), s.daemon.c_str(),
           PEC_SOURCE_REVISION, times.c_str());
    print_table(rows);
    return 0;
}
