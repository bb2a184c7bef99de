// pec_bmc_sim: the simulated BMC and board as a command.
//
// Starts a scenario, optionally runs the card daemon in its sandbox (or serves
// a daemon started elsewhere, on a socket path given), prints
// every packet decoded as it passes, takes request lines from a script and
// from standard input, and stops after a set time, on Ctrl-C, or when the
// daemon ends, leaving nothing behind.

#include "pec_bench/bench.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

void usage() {
    std::string names;
    for (const std::string& n : pec_bench::scenario_names()) {
        names += " " + n;
    }
    printf("usage: pec_bmc_sim [options]\n"
           "  --scenario NAME   one of:%s (default netplan)\n"
           "  --daemon PATH     run this daemon binary in the sandbox (needs root)\n"
           "  --socket PATH     without --daemon: listen here for a card started elsewhere\n"
           "                    (its init system); the script waits for it to open the bus\n"
           "  --script FILE     request script to run once the daemon has started\n"
           "  --duration SEC    stop after this many seconds (default: run until Ctrl-C)\n"
           "  --trace FILE      write the JSON trace here (default: in the run directory)\n"
           "  --show-log        print the daemon's own log lines too\n"
           "  --debug           run the daemon with DEBUG=1\n"
           "  --temp CELSIUS    sensor temperature at start\n"
           "  --no-stdin        do not read request lines from standard input\n"
           "  --keep            keep the run directory (for a post-mortem)\n\n%s",
           names.c_str(), pec_bench::script_help().c_str());
}

struct Args {
    std::string scenario = "netplan";
    std::string daemon;
    std::string socket;
    std::string script;
    std::string trace;
    double duration = 0;
    bool show_log = false;
    bool debug = false;
    bool read_stdin = true;
    bool keep = false;
    double temp = -1000;
};

bool parse_number(const char* s, double* out) {
    char* end = nullptr;
    double v = strtod(s, &end);
    if (*s == '\0' || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

bool parse_args(int argc, char** argv, Args* a) {
    for (int i = 1; i < argc; ++i) {
        std::string o = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "pec_bmc_sim: %s needs a value\n", o.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (o == "--scenario" && value(&v)) {
            a->scenario = v;
        } else if (o == "--daemon" && value(&v)) {
            a->daemon = v;
        } else if (o == "--socket" && value(&v)) {
            a->socket = v;
        } else if (o == "--script" && value(&v)) {
            a->script = v;
        } else if (o == "--trace" && value(&v)) {
            a->trace = v;
        } else if (o == "--duration" && value(&v)) {
            if (!parse_number(v, &a->duration) || a->duration < 0) {
                fprintf(stderr, "pec_bmc_sim: bad duration %s\n", v);
                return false;
            }
        } else if (o == "--temp" && value(&v)) {
            if (!parse_number(v, &a->temp)) {
                fprintf(stderr, "pec_bmc_sim: bad temperature %s\n", v);
                return false;
            }
        } else if (o == "--show-log") {
            a->show_log = true;
        } else if (o == "--debug") {
            a->debug = true;
        } else if (o == "--no-stdin") {
            a->read_stdin = false;
        } else if (o == "--keep") {
            a->keep = true;
        } else if (o == "--help" || o == "-h") {
            usage();
            exit(0);
        } else {
            if (v == nullptr) {
                fprintf(stderr, "pec_bmc_sim: unknown option %s (see --help)\n", o.c_str());
            }
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parse_args(argc, argv, &args)) {
        return 2;
    }
    if (!args.socket.empty() && !args.daemon.empty()) {
        fprintf(stderr, "pec_bmc_sim: --socket serves a daemon started elsewhere, not --daemon\n");
        return 2;
    }
    pec_bench::Scenario scenario;
    if (!pec_bench::scenario_by_name(args.scenario, &scenario)) {
        fprintf(stderr, "pec_bmc_sim: unknown scenario %s (see --help)\n", args.scenario.c_str());
        return 2;
    }
    scenario.debug = args.debug;
    if (args.temp > -1000) {
        scenario.sensor.millidegrees = static_cast<int>(args.temp * 1000);
    }
    std::string script_text;
    if (!args.script.empty()) {
        std::ifstream in(args.script);
        if (!in) {
            fprintf(stderr, "pec_bmc_sim: cannot read %s\n", args.script.c_str());
            return 2;
        }
        std::ostringstream s;
        s << in.rdbuf();
        script_text = s.str();
    }
    if (args.keep) {
        setenv("PEC_BENCH_KEEP", "1", 1);
    }

    // Signals are taken by the main thread alone, so that teardown is orderly.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    std::mutex out_lock;
    pec_bench::Options options;
    options.trace_path = args.trace;
    options.socket_path = args.socket;
    options.print_daemon_log = args.show_log;
    options.printer = [&out_lock](const std::string& line) {
        std::lock_guard<std::mutex> g(out_lock);
        printf("%s\n", line.c_str());
        fflush(stdout);
    };
    int rc = 0;
    {
        std::unique_ptr<pec_bench::Bench> bench;
        try {
            bench.reset(new pec_bench::Bench(scenario, options));
        } catch (const std::exception& e) {
            fprintf(stderr, "pec_bmc_sim: %s\n", e.what());
            return 1;
        }
        options.printer("bench: scenario " + scenario.name + ", run directory " + bench->run_dir() +
                        ", socket " + bench->socket_path());
        if (!args.daemon.empty() && !bench->start_daemon(args.daemon)) {
            auto t = bench->trace();
            fprintf(stderr, "pec_bmc_sim: %s\n",
                    t.empty() ? "cannot start" : t.back().detail.c_str());
            return 1;
        }
        std::atomic<bool> done{false};
        std::thread script_thread;
        if (!script_text.empty()) {
            script_thread = std::thread([&] {
                if (!args.daemon.empty()) {
                    bench->wait_for(
                        [](const pec_bench::TraceEvent& e) { return e.event == "daemon_start"; }, 1,
                        std::chrono::seconds(30));
                }
                // A card started elsewhere may come long after the simulator.
                auto bus_open = [](const pec_bench::TraceEvent& e) {
                    return e.event == "open" && e.device == "i2c-0";
                };
                while (!args.socket.empty() && !done.load() &&
                       !bench->wait_for(bus_open, 1, std::chrono::seconds(1))) {
                }
                std::istringstream in(script_text);
                std::string line, error;
                while (!done.load() && std::getline(in, line)) {
                    if (!bench->command(line, &error)) {
                        options.printer("script: " + error);
                        break;
                    }
                }
                options.printer("script: done");
            });
        }
        std::thread stdin_thread;
        if (args.read_stdin) {
            stdin_thread = std::thread([&] {
                std::string pending;
                while (!done.load()) {
                    pollfd p{0, POLLIN, 0};
                    if (poll(&p, 1, 200) <= 0) {
                        continue;
                    }
                    char buf[512];
                    ssize_t n = read(0, buf, sizeof(buf));
                    if (n <= 0) {
                        break;
                    }
                    pending.append(buf, static_cast<size_t>(n));
                    size_t pos;
                    while ((pos = pending.find('\n')) != std::string::npos) {
                        std::string line = pending.substr(0, pos), error;
                        pending.erase(0, pos + 1);
                        if (line == "help") {
                            options.printer(pec_bench::script_help());
                        } else if (line == "quit") {
                            kill(getpid(), SIGTERM);
                        } else if (!bench->command(line, &error)) {
                            options.printer("input: " + error + " (type help)");
                        }
                    }
                }
            });
        }

        auto start = std::chrono::steady_clock::now();
        bool daemon_mode = !args.daemon.empty();
        while (true) {
            timespec ts{0, 200 * 1000 * 1000};
            int sig = sigtimedwait(&sigs, nullptr, &ts);
            if (sig > 0) {
                options.printer(std::string("bench: ") + strsignal(sig) + ", stopping");
                rc = 130;
                break;
            }
            double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (args.duration > 0 && elapsed >= args.duration) {
                options.printer("bench: " + std::to_string(static_cast<int>(args.duration)) +
                                " s elapsed, stopping");
                break;
            }
            if (daemon_mode && !bench->daemon_running()) {
                options.printer("bench: the daemon ended, stopping");
                rc = 1;
                break;
            }
        }
        done.store(true);
        bench->stop_daemon();
        if (script_thread.joinable()) {
            script_thread.join(); // a script blocked in "wait" finishes its pause first
        }
        if (stdin_thread.joinable()) {
            stdin_thread.join();
        }
        size_t writes = bench->card_packets().size();
        options.printer("bench: " + std::to_string(writes) + " packets from the card; trace " +
                        (!args.trace.empty() ? args.trace
                         : args.keep         ? bench->run_dir() + "/trace.jsonl"
                                             : std::string("(removed with the run directory)")));
    }
    options.printer("bench: cleaned up");
    return rc;
}
