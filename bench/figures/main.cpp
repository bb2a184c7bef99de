// pec_bench_figures: what the daemon costs on the link and on the host, and
// how its file work scales. Runs the unchanged daemon on the bench (as root)
// and the file work in-process, then prints one table: each figure with its
// unit and how it was measured, headed by the machine it ran on.
//
//   pec_bench_figures [--short] [--idle SEC] [--packets N] [--reports N] [--only LIST]

#include "figures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace figures;

struct Phase {
    const char* name;
    Rows (*measure)(const Settings&);
    bool on_bench; // runs the daemon on the bench (may run beside the others)
};

const Phase phases[] = {
    {"scaling", measure_scaling, false},  {"apply-path", measure_apply_path, true},
    {"startup", measure_startup, true},   {"link", measure_link, true},
    {"requests", measure_requests, true}, {"idle", measure_idle, true},
    {"memory", measure_memory, true},
};
constexpr size_t phase_count = sizeof(phases) / sizeof(phases[0]);

const char* const usage =
    "usage: pec_bench_figures [options]\n"
    "  --short        the short form: a few samples each, about a minute (CI)\n"
    "  --idle SEC     idle window (default 120)\n"
    "  --packets N    packets from the BMC in the memory run (default 10000)\n"
    "  --reports N    packets to the BMC in the memory run (default 10000)\n"
    "  --only LIST    only these, comma-separated: scaling, apply-path, startup,\n"
    "                 link, requests, idle, memory\n";

// The short form: a few samples of each, for CI to keep the program working
// (its figures are too few to mean much).
void make_short(Settings* s) {
    s->brief = true;
    s->idle_seconds = 6;
    s->bmc_packets = s->reports = 40;
    s->full_queue_sets = s->apply_repeats = s->startup_repeats = 1;
    s->queued_reports = 2;
    s->line_samples = 10;
    s->scaling_seconds = 0.05;
}

// The options over the form's settings; false with a message on a bad one.
bool parse_args(int argc, char** argv, Settings* s, std::string* only) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--short") == 0) {
            make_short(s); // before the other options, whatever their order
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s", usage);
            exit(0);
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string o = argv[i];
        if (o == "--short") {
            continue;
        }
        const char* v = i + 1 < argc ? argv[++i] : nullptr;
        char* end = nullptr;
        const double n = v != nullptr ? strtod(v, &end) : 0;
        if (v != nullptr && o == "--only") {
            *only = "," + std::string(v) + ",";
        } else if (v == nullptr || *v == '\0' || *end != '\0' || !(n > 0)) {
            fprintf(stderr, "pec_bench_figures: %s needs a positive number\n", o.c_str());
            return false;
        } else if (o == "--idle") {
            s->idle_seconds = n;
        } else if (o == "--packets" || o == "--reports") {
            (o == "--packets" ? s->bmc_packets : s->reports) = static_cast<int>(n);
        } else {
            fprintf(stderr, "pec_bench_figures: unknown option %s (see --help)\n", o.c_str());
            return false;
        }
    }
    return true;
}

// The text after "key:" on the first line of `path` that starts with it.
std::string field(const char* path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.find(':') != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", line.find(':') + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

// "2 cores, AMD EPYC, 23.4 GiB, Linux 6.1.0-...": the machine the figures
// were taken on; a shared, loaded machine's figures mean little without it.
std::string machine_text() {
    utsname u{};
    uname(&u);
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           field("/proc/cpuinfo", "model name") + ", " +
           fixed(atof(field("/proc/meminfo", "MemTotal").c_str()) / 1024 / 1024, 1) +
           " GiB, Linux " + u.release;
}

std::string load_average() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Runs the phases: the in-process one first, before any thread exists; the
// bench ones one after another, or side by side in the short form, whose
// figures are only there to show that it all runs.
void run_phases(const Settings& s, const std::string& only, std::vector<Rows>* rows,
                std::vector<double>* seconds) {
    auto run = [&](size_t i) {
        auto start = std::chrono::steady_clock::now();
        progress(std::string(phases[i].name) + ": started");
        (*rows)[i] = phases[i].measure(s);
        (*seconds)[i] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        progress(std::string(phases[i].name) + ": done in " + fixed((*seconds)[i], 0) + " s");
    };
    std::vector<std::thread> side_by_side;
    for (size_t i = 0; i < phase_count; ++i) {
        if (!only.empty() &&
            only.find(std::string(",") + phases[i].name + ",") == std::string::npos) {
            continue;
        }
        if (s.brief && phases[i].on_bench) {
            side_by_side.emplace_back(run, i);
        } else {
            run(i);
        }
    }
    for (std::thread& t : side_by_side) {
        t.join();
    }
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    std::string only;
    if (!parse_args(argc, argv, &s, &only)) {
        return 2;
    }
    s.daemon = PEC_FIGURES_DAEMON;
    s.interposer = PEC_FIGURES_INTERPOSER;
    s.poller = PEC_FIGURES_POLLER;
    const std::string load_before = load_average();
    std::vector<Rows> rows(phase_count);
    std::vector<double> seconds(phase_count, -1);
    run_phases(s, only, &rows, &seconds);
    Rows all;
    std::string times;
    for (size_t i = 0; i < phase_count; ++i) {
        all.insert(all.end(), rows[i].begin(), rows[i].end());
        if (seconds[i] >= 0) {
            times += std::string(times.empty() ? "" : ", ") + phases[i].name + " " +
                     fixed(seconds[i], 0) + " s";
        }
    }
    printf("PEC daemon figures (%s form)\n", s.brief ? "short" : "full");
    printf("machine: %s\n", machine_text().c_str());
    printf("load average: %s at the start, %s at the end\n", load_before.c_str(),
           load_average().c_str());
    printf("daemon: %s (source %s)\n", s.daemon.c_str(), PEC_SOURCE_REVISION);
    printf("time taken: %s\n\n", times.c_str());
    print_table(all);
    return 0;
}
