// The bench: a simulated BMC and board around the unchanged card daemon.
//
// A Bench owns a run directory, the simulator's socket server (the far end of
// the device interposer), the simulated temperature sensor and EEPROM, and,
// once start_daemon() is called, a sandbox (private mount, network, UTS and
// PID namespaces) running the daemon with the interposer preloaded. Its
// destructor, and a SIGINT/SIGTERM/SIGHUP from outside, tear all of it down.
#pragma once

#include "pec_bench/packet.h"
#include "testkit/call_record.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pec_bench {

enum class Manager { NETPLAN, IFUPDOWN, NETWORK_MANAGER, NETWORK_MANAGER_NO_KEYFILE, NONE };

// Where the simulated temperature sensor sits, whether the kernel already
// has a device for it at start (bound) or it must be registered through
// new_device, and whether the kernel's driver binds to that device (and so
// makes its hwmon directory).
struct Sensor {
    uint8_t address = 0x4C; // 0 when absent
    bool bound = false;
    bool driver_binds = true;
    int millidegrees = 41500;
};

struct Scenario {
    std::string name = "netplan";
    bool has_serial = true;
    std::string serial = "PEC07-2024-0815";
    Sensor sensor;
    bool os_pretty_name = true;
    Manager manager = Manager::NETPLAN;
    std::string address = "192.0.2.10"; // eth0 at start
    int prefix = 24;
    std::string gateway = "192.0.2.1";
    std::string hostname = "pec-bench";
    bool gpio_present = true;
    bool debug = false; // DEBUG=1 for the daemon
};

// Known scenario names: netplan, netplan-bound-4d, sensor-4d, sensor-bound,
// no-sensor, sensor-no-driver, sensor-stale-client, no-serial, no-pretty-name,
// no-gpio, ifupdown, nm, nm-no-keyfile, none.
std::vector<std::string> scenario_names();
// false when the name is unknown.
bool scenario_by_name(const std::string& name, Scenario* out);
std::string manager_name(Manager m);

// One line of the trace.
struct TraceEvent {
    double t = 0;       // seconds since the bench started
    std::string event;  // card_write, card_read, smbus, slave, open, close, line_request,
                        // line_value, bmc_queue, fault, temperature, new_device,
                        // sensor_registered, daemon_start, daemon_exit, notify
                        // (a datagram to NOTIFY_SOCKET), note
    std::string device; // i2c-0, gpiochip0, line
    Packet packet;      // card_write: what the card wrote; card_read: what it was given
    int result = 0;     // the transfer's result (bytes, or minus errno)
    int value = 0;      // address (slave, smbus), line value, and so on
    std::string detail; // free text
    std::string json;   // the trace line as written
};

// The lines that the kernel's I2C trace events (tracefs events/i2c) give a
// transfer between the card and the BMC on adapter 0: a write and its
// result, or a read, its reply and its result; none for other events. A
// reply holds the bytes delivered (all of them: the kernel prints at most
// 64), or the idle fill of 64 bytes when nothing was queued.
std::vector<std::string> kernel_trace_lines(const TraceEvent& ev);

// One recorded call of a stand-in program (hostnamectl, systemctl, netplan):
// program, args, status and the line as recorded. The stand-ins write
// calls.log with the tests' shared recorder.
using StandinCall = Recorded_Call;

// Faults the simulated BMC injects on request.
struct Faults {
    int write_fail = 0;  // next N card writes fail (EREMOTEIO); -1: all of them
    int write_short = 0; // next N card writes report half their length
    int read_fail = 0;   // next N card reads fail (EREMOTEIO)
    bool line_stuck_low = false;
    bool line_read_fail = false; // line value requests fail (EIO)
    bool smbus_fail = false;     // every SMBus transfer fails (ENXIO)
    int idle_fill = 0x00;        // byte an idle BMC returns on a read; -1: it NACKs
};

struct Options {
    std::string trace_path;                          // "" : run dir/trace.jsonl
    std::string i2c_trace_path;                      // "" : run dir/i2c-trace.txt
    std::function<void(const std::string&)> printer; // live decoded lines (may be empty)
    bool print_daemon_log = false;                   // pass the daemon's lines to printer
    std::string run_dir_base = "/tmp";
    std::string socket_path; // "" : run dir/sim.sock; else this path (a stale socket is replaced)
};

class Bench {
public:
    explicit Bench(const Scenario& scenario, Options options = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Starts the daemon in its sandbox; false (with a note in the trace) when
    // the sandbox cannot be set up. Needs root.
    bool start_daemon(const std::string& daemon_path);
    // Stops the sandbox (everything in it dies with its PID namespace).
    void stop_daemon();
    bool daemon_running();
    // The daemon's process id as this machine sees it (outside the sandbox's
    // PID namespace), for its /proc entries; 0 while no daemon runs.
    pid_t daemon_pid() const;

    // Waits until `count` events satisfy `pred` (counting the whole trace) or
    // the timeout passes; returns whether they did. Matching events go to out.
    bool wait_for(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                  std::chrono::milliseconds timeout, std::vector<TraceEvent>* out = nullptr);
    std::vector<TraceEvent> trace() const;
    // Seconds since the bench started, on the clock of TraceEvent::t.
    double now() const;
    // The card's writes, in order.
    std::vector<Packet> card_packets() const;

    // Queues a packet for the card and pulls the feedback line low.
    void send(const Bytes& raw, size_t deliver = 0); // deliver: bytes handed over, 0 = all
    // Runs one line of the request script language; false with a message on
    // a line it does not understand. "wait" lines block the caller.
    bool command(const std::string& line, std::string* error = nullptr);
    // Runs a whole script; stops at the first bad line.
    bool run_script(const std::string& text, std::string* error = nullptr);

    void set_faults(const Faults& f);
    Faults faults() const;
    void set_temperature(double celsius);
    int line_reads() const; // value requests on the line so far

    std::vector<StandinCall> standin_calls() const;
    std::string daemon_stdout() const;
    std::string daemon_stderr() const;
    std::string run_dir() const;
    std::string socket_path() const;
    const Scenario& scenario() const;

    struct State;

private:
    std::unique_ptr<State> s_;
};

// Script lines understood by Bench::command, for the help text.
std::string script_help();

// Removes run directories left by benches whose process is gone.
void sweep_stale_run_dirs(const std::string& base = "/tmp");

} // namespace pec_bench
