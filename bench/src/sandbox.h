// The sandbox that runs the daemon: `unshare` with private mount, network,
// UTS and PID namespaces, whose first process is sandbox/sandbox_init.sh.
// Owns that process: launches it, notices the daemon's start and the
// sandbox's end, passes the daemon's log lines on, records what it tells the
// service manager, and kills it.
#pragma once

#include "testkit/notify_socket.h"
#include "teardown.h"
#include "trace.h"

#include <mutex>
#include <string>
#include <sys/types.h>

namespace pec_bench {

class Sandbox {
public:
    // forward_log: pass the daemon's output lines to the trace's printer.
    Sandbox(const std::string& run_dir, LiveSlot& live, Trace& trace, bool forward_log);
    // Kills the sandbox if it still runs.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // See Bench::start_daemon.
    bool start(const std::string& daemon_path);
    void stop();
    bool running() const;
    // See Bench::daemon_pid.
    pid_t daemon_pid() const;
    // Periodic look at the run directory and the process (the device server
    // calls it from its loop).
    void poll();

private:
    // New lines of daemon.stdout or daemon.stderr, read from where the last
    // look stopped.
    struct LogTail {
        const char* file;
        const char* prefix;
        long offset = 0;
        std::string partial;
    };

    std::string why_not_startable(const std::string& daemon_path) const;
    void spawn(const std::string& daemon_path, pid_t parent) const;
    void notice_start();
    void reap();
    void forward(LogTail& tail);
    void receive_notifications();

    const std::string run_dir_;
    LiveSlot& live_;
    Trace& trace_;
    const bool forward_log_;
    Unique_Fd notify_; // the bound notify.sock; invalid when it could not be made
    mutable std::mutex m_;
    pid_t pid_ = 0;
    bool start_seen_ = false;
    LogTail out_{"daemon.stdout", "          daemon| ", 0, {}};
    LogTail err_{"daemon.stderr", "          daemon! ", 0, {}};
};

} // namespace pec_bench
