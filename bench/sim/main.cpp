// pec_bmc_sim: the simulated BMC and board as a command.
//
// Starts a scenario, optionally runs the card daemon in its sandbox (or serves
// a daemon started elsewhere, on a socket path given), prints every packet
// decoded as it passes, takes request lines from a script and
// from standard input, and stops after a set time, on Ctrl-C, or when the
// daemon ends, leaving nothing behind.

#include "pec_bench/bench.h"
#include "testkit/files.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
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
           "  --i2c-trace FILE  write the card's transfers as kernel I2C trace lines here,\n"
           "                    for pec-decode (default: i2c-trace.txt in the run directory)\n"
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
    std::string i2c_trace;
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
        std::string* text = o == "--scenario"    ? &a->scenario
                            : o == "--daemon"    ? &a->daemon
                            : o == "--socket"    ? &a->socket
                            : o == "--script"    ? &a->script
                            : o == "--trace"     ? &a->trace
                            : o == "--i2c-trace" ? &a->i2c_trace
                                                 : nullptr;
        if (text != nullptr && value(&v)) {
            *text = v;
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

// Reads the request script, if any; false when the file cannot be read.
bool read_script(const std::string& path, std::string* text) {
    if (path.empty()) {
        return true;
    }
    int error = 0;
    *text = read_File(path, &error);
    if (error != 0) {
        fprintf(stderr, "pec_bmc_sim: cannot read %s: %s\n", path.c_str(), strerror(error));
    }
    return error == 0;
}

// One run: the bench, the daemon in its sandbox, the script and the terminal
// feeding requests, until the time is up, a signal comes or the daemon ends.
class Run {
public:
    Run(const Args& args, const sigset_t& sigs) : args_(args), sigs_(sigs) {
        options_.trace_path = args.trace;
        options_.i2c_trace_path = args.i2c_trace;
        options_.socket_path = args.socket;
        options_.print_daemon_log = args.show_log;
        options_.printer = [this](const std::string& line) { print(line); };
    }

    void print(const std::string& line) {
        std::lock_guard<std::mutex> g(out_lock_);
        printf("%s\n", line.c_str());
        fflush(stdout);
    }

    int run(const pec_bench::Scenario& scenario, const std::string& script_text) {
        try {
            bench_ = std::make_unique<pec_bench::Bench>(scenario, options_);
        } catch (const std::exception& e) {
            fprintf(stderr, "pec_bmc_sim: %s\n", e.what());
            return 1;
        }
        print("bench: scenario " + scenario.name + ", run directory " + bench_->run_dir() +
              ", socket " + bench_->socket_path());
        if (!args_.daemon.empty() && !bench_->start_daemon(args_.daemon)) {
            auto t = bench_->trace();
            fprintf(stderr, "pec_bmc_sim: %s\n",
                    t.empty() ? "cannot start" : t.back().detail.c_str());
            return 1;
        }
        if (!script_text.empty()) {
            script_thread_ = std::thread([this, script_text] { run_script(script_text); });
        }
        if (args_.read_stdin) {
            stdin_thread_ = std::thread([this] { read_stdin(); });
        }
        int rc = wait_for_end();
        finish();
        return rc;
    }

private:
    void run_script(const std::string& text) {
        if (!args_.daemon.empty()) {
            bench_->wait_for(
                [](const pec_bench::TraceEvent& e) { return e.event == "daemon_start"; }, 1,
                std::chrono::seconds(30));
        }
        // A card started elsewhere may come long after the simulator.
        auto bus_open = [](const pec_bench::TraceEvent& e) {
            return e.event == "open" && e.device == "i2c-0";
        };
        while (!args_.socket.empty() && !done_.load() &&
               !bench_->wait_for(bus_open, 1, std::chrono::seconds(1))) {
        }
        std::istringstream in(text);
        std::string line, error;
        while (!done_.load() && std::getline(in, line)) {
            if (!bench_->command(line, &error)) {
                print("script: " + error);
                break;
            }
        }
        print("script: done");
    }

    void read_stdin() {
        std::string pending;
        while (!done_.load()) {
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
                std::string line = pending.substr(0, pos);
                pending.erase(0, pos + 1);
                input_line(line);
            }
        }
    }

    void input_line(const std::string& line) {
        std::string error;
        if (line == "help") {
            print(pec_bench::script_help());
        } else if (line == "quit") {
            kill(getpid(), SIGTERM);
        } else if (!bench_->command(line, &error)) {
            print("input: " + error + " (type help)");
        }
    }

    // The exit status: 130 after a signal, 1 when the daemon ended, else 0.
    int wait_for_end() {
        auto start = std::chrono::steady_clock::now();
        while (true) {
            timespec ts{0, 200L * 1000 * 1000};
            int sig = sigtimedwait(&sigs_, nullptr, &ts);
            if (sig > 0) {
                print(std::string("bench: ") + strsignal(sig) + ", stopping");
                return 130;
            }
            double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (args_.duration > 0 && elapsed >= args_.duration) {
                print("bench: " + std::to_string(static_cast<int>(args_.duration)) +
                      " s elapsed, stopping");
                return 0;
            }
            if (!args_.daemon.empty() && !bench_->daemon_running()) {
                print("bench: the daemon ended, stopping");
                return 1;
            }
        }
    }

    void finish() {
        done_.store(true);
        bench_->stop_daemon();
        if (script_thread_.joinable()) {
            script_thread_.join(); // a script blocked in "wait" finishes its pause first
        }
        if (stdin_thread_.joinable()) {
            stdin_thread_.join();
        }
        size_t writes = bench_->card_packets().size();
        print("bench: " + std::to_string(writes) + " packets from the card; trace " +
              (!args_.trace.empty() ? args_.trace
               : args_.keep         ? bench_->run_dir() + "/trace.jsonl"
                                    : std::string("(removed with the run directory)")));
        bench_.reset();
        print("bench: cleaned up");
    }

    const Args& args_;
    const sigset_t& sigs_;
    std::mutex out_lock_;
    pec_bench::Options options_;
    std::unique_ptr<pec_bench::Bench> bench_;
    std::atomic<bool> done_{false};
    std::thread script_thread_;
    std::thread stdin_thread_;
};

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
    if (!read_script(args.script, &script_text)) {
        return 2;
    }
    if (args.keep) {
        setenv(Temp_Dir::keep_Variable, "1", 1);
    }

    // Signals are taken by the main thread alone, so that teardown is orderly.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    return Run(args, sigs).run(scenario, script_text);
}
