// Bench: one bench run, put together from its parts. Each resource has an
// owner among the members of Bench::State, in the order they are made, so a
// constructor that fails part-way releases what it had made, and the
// destructor undoes the rest in reverse: the device server stops before the
// sandbox, sensor, board and trace it serves are gone, and the run directory
// goes last.

#include "pec_bench/bench.h"

#include "board.h"
#include "device_server.h"
#include "run_dir.h"
#include "sandbox.h"
#include "scenario_files.h"
#include "script.h"
#include "sensor_tree.h"
#include "teardown.h"
#include "testkit/files.h"
#include "trace.h"

#include <sstream>

namespace pec_bench {

struct Bench::State {
    State(const Scenario& sc, Options opts)
        : scenario(sc), options(std::move(opts)), dir(run_dir_prefix, options.run_dir_base),
          live(dir.path()),
          trace(options.trace_path.empty() ? dir.file("trace.jsonl") : options.trace_path,
                options.printer,
                options.i2c_trace_path.empty() ? dir.file("i2c-trace.txt")
                                               : options.i2c_trace_path),
          file_failures(write_scenario_files(dir.path(), scenario)),
          sensor(dir.file("sys/class"), scenario.sensor, trace), board(scenario, trace),
          sandbox(dir.path(), live, trace, options.print_daemon_log), script(board, sensor, trace),
          server(socket_path(), scenario, board, trace) {}

    std::string socket_path() const {
        return options.socket_path.empty() ? dir.file("sim.sock") : options.socket_path;
    }

    const Scenario scenario;
    const Options options;
    Temp_Dir dir;
    LiveSlot live;
    Trace trace;
    const std::string file_failures;
    SensorTree sensor;
    Board board;
    Sandbox sandbox;
    Script script;
    DeviceServer server;
};

Bench::Bench(const Scenario& scenario, Options options) {
    sweep_stale_run_dirs(options.run_dir_base);
    s_ = std::make_unique<State>(scenario, std::move(options));
    std::string failures =
        s_->file_failures.empty() ? "" : " (scenario files not written: " + s_->file_failures + ")";
    s_->trace.note("scenario " + scenario.name + " in " + s_->dir.path() + failures);
    State* st = s_.get();
    s_->server.start([st] {
        st->sensor.take_new_device_request();
        st->sandbox.poll();
    });
}

// The sandbox goes first, while the device server still answers: the daemon
// ends as it ends on a card, and its last transfers are traced.
Bench::~Bench() {
    s_->sandbox.stop();
}

bool Bench::start_daemon(const std::string& daemon_path) {
    return s_->sandbox.start(daemon_path);
}

void Bench::stop_daemon() {
    s_->sandbox.stop();
}

bool Bench::daemon_running() {
    return s_->sandbox.running();
}

pid_t Bench::daemon_pid() const {
    return s_->sandbox.daemon_pid();
}

bool Bench::wait_for(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                     std::chrono::milliseconds timeout, std::vector<TraceEvent>* out) {
    return s_->trace.wait_for(pred, count, timeout, out);
}

std::vector<TraceEvent> Bench::trace() const {
    return s_->trace.events();
}

double Bench::now() const {
    return s_->trace.now();
}

std::vector<Packet> Bench::card_packets() const {
    return s_->trace.card_packets();
}

void Bench::send(const Bytes& raw, size_t deliver) {
    s_->board.queue(raw, deliver);
}

bool Bench::command(const std::string& line, std::string* error) {
    return s_->script.command(line, error);
}

bool Bench::run_script(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!command(line, error)) {
            return false;
        }
    }
    return true;
}

void Bench::set_faults(const Faults& f) {
    s_->board.set_faults(f);
}

Faults Bench::faults() const {
    return s_->board.faults();
}

void Bench::set_temperature(double celsius) {
    s_->sensor.set_temperature(celsius);
}

int Bench::line_reads() const {
    return s_->board.line_reads();
}

std::vector<StandinCall> Bench::standin_calls() const {
    return parse_Calls(read_File(s_->dir.file("calls.log")));
}

std::string Bench::daemon_stdout() const {
    return read_File(s_->dir.file("daemon.stdout"));
}

std::string Bench::daemon_stderr() const {
    return read_File(s_->dir.file("daemon.stderr"));
}

std::string Bench::run_dir() const {
    return s_->dir.path();
}

std::string Bench::socket_path() const {
    return s_->socket_path();
}

const Scenario& Bench::scenario() const {
    return s_->scenario;
}

} // namespace pec_bench
