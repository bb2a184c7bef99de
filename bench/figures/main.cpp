// pec_bench_figures: what the daemon costs on the link and on the host, and
// how its file work scales. Runs the unchanged daemon on the bench (as root)
// and the file work in-process, then prints one table: each figure with its
// unit and how it was measured, headed by the machine it ran on.
//
//   pec_bench_figures [--short] [--idle SEC] [--packets N] [--reports N] [--only LIST]

#include "figures.h"
#include "machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#ifndef PEC_FIGURES_DAEMON
#define PEC_FIGURES_DAEMON "pec_daemon"
#endif
#ifndef PEC_FIGURES_INTERPOSER
#define PEC_FIGURES_INTERPOSER "libpec_bench_interposer.so"
#endif
#ifndef PEC_FIGURES_POLLER
#define PEC_FIGURES_POLLER "pec_bench_line_poller"
#endif
#ifndef PEC_SOURCE_REVISION
#define PEC_SOURCE_REVISION "unknown"
#endif

namespace {

using figures::Rows;
using figures::Settings;

struct Phase {
    const char* name;
    Rows (*measure)(const Settings&);
    bool on_bench; // runs the daemon on the bench (may run beside the others)
};

const Phase phases[] = {
    {"scaling", figures::measure_scaling, false},
    {"apply-path", figures::measure_apply_path, false},
    {"startup", figures::measure_startup, true},
    {"link", figures::measure_link, true},
    {"requests", figures::measure_requests, true},
    {"idle", figures::measure_idle, true},
    {"memory", figures::measure_memory, true},
};

void usage() {
    printf("usage: pec_bench_figures [options]\n"
           "  --short        the short form: a few samples each, about a minute (CI)\n"
           "  --idle SEC     idle window (default 120)\n"
           "  --packets N    packets from the BMC in the memory run (default 10000)\n"
           "  --reports N    packets to the BMC in the memory run (default 10000)\n"
           "  --only LIST    only these, comma-separated: scaling, apply-path, startup,\n"
           "                 link, requests, idle, memory\n");
}

bool positive(const char* text, double* out) {
    char* end = nullptr;
    double v = strtod(text, &end);
    if (*text == '\0' || *end != '\0' || !(v > 0)) {
        fprintf(stderr, "pec_bench_figures: not a positive number: %s\n", text);
        return false;
    }
    *out = v;
    return true;
}

bool apply_option(const std::string& o, const char* v, Settings* s, std::string* only) {
    double n = 0;
    if (o == "--only") {
        *only = "," + std::string(v) + ",";
        return true;
    }
    if (!positive(v, &n)) {
        return false;
    }
    if (o == "--idle") {
        s->idle_seconds = n;
    } else if (o == "--packets") {
        s->bmc_packets = static_cast<int>(n);
    } else if (o == "--reports") {
        s->reports = static_cast<int>(n);
    } else {
        fprintf(stderr, "pec_bench_figures: unknown option %s (see --help)\n", o.c_str());
        return false;
    }
    return true;
}

bool parse_args(int argc, char** argv, Settings* s, std::string* only) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--short") == 0) {
            continue; // taken first, below
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            exit(0);
        }
        if (i + 1 >= argc || !apply_option(argv[i], argv[i + 1], s, only)) {
            if (i + 1 >= argc) {
                fprintf(stderr, "pec_bench_figures: %s needs a value\n", argv[i]);
            }
            return false;
        }
        ++i;
    }
    return true;
}

Settings base_settings(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--short") == 0) {
            return figures::short_settings();
        }
    }
    return figures::full_settings();
}

// Runs the phases: the in-process ones first, before any thread exists (one
// of them forks); the bench ones one after another, or side by side in the
// short form, whose figures are only there to show that it all runs.
std::vector<Rows> run_phases(const Settings& s, const std::string& only,
                             std::vector<double>* seconds) {
    const size_t count = sizeof(phases) / sizeof(phases[0]);
    std::vector<Rows> rows(count);
    seconds->assign(count, -1);
    auto run = [&](size_t i) {
        auto start = std::chrono::steady_clock::now();
        figures::progress(std::string(phases[i].name) + ": started");
        rows[i] = phases[i].measure(s);
        (*seconds)[i] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        figures::progress(std::string(phases[i].name) + ": done in " +
                          figures::fixed((*seconds)[i], 0) + " s");
    };
    std::vector<std::thread> side_by_side;
    for (size_t i = 0; i < count; ++i) {
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
    return rows;
}

void print_report(const Settings& s, const std::vector<Rows>& rows,
                  const std::vector<double>& seconds, const std::string& load_before) {
    Rows all;
    std::string times;
    for (size_t i = 0; i < rows.size(); ++i) {
        all.insert(all.end(), rows[i].begin(), rows[i].end());
        if (seconds[i] >= 0) {
            times += std::string(times.empty() ? "" : ", ") + phases[i].name + " " +
                     figures::fixed(seconds[i], 0) + " s";
        }
    }
    printf("PEC daemon figures (%s form)\n", s.brief ? "short" : "full");
    printf("machine: %s\n", figures::machine_text().c_str());
    printf("load average: %s at the start, %s at the end\n", load_before.c_str(),
           figures::load_average().c_str());
    printf("daemon: %s (source %s)\n", s.daemon.c_str(), PEC_SOURCE_REVISION);
    printf("time taken: %s\n\n", times.c_str());
    figures::print_table(all);
}

} // namespace

int main(int argc, char** argv) {
    Settings s = base_settings(argc, argv);
    std::string only;
    if (!parse_args(argc, argv, &s, &only)) {
        return 2;
    }
    s.daemon = PEC_FIGURES_DAEMON;
    s.interposer = PEC_FIGURES_INTERPOSER;
    s.poller = PEC_FIGURES_POLLER;
    const std::string load_before = figures::load_average();
    std::vector<double> seconds;
    std::vector<Rows> rows = run_phases(s, only, &seconds);
    print_report(s, rows, seconds, load_before);
    return 0;
}
