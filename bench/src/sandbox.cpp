// The sandbox that runs the daemon.

#include "sandbox.h"

#include "testkit/files.h"
#include "testkit/notify_socket.h"
#include "testkit/proc.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef PEC_BENCH_SOURCE_DIR
#define PEC_BENCH_SOURCE_DIR "bench"
#endif
#ifndef PEC_BENCH_INTERPOSER
#define PEC_BENCH_INTERPOSER "libpec_bench_interposer.so"
#endif

namespace pec_bench {

namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}

std::string source_dir() {
    return env_or("PEC_BENCH_SOURCE", PEC_BENCH_SOURCE_DIR);
}

std::string interposer() {
    return env_or("PEC_BENCH_INTERPOSER", PEC_BENCH_INTERPOSER);
}

// The interposer path may hold "$PLATFORM", which the dynamic loader of each
// preloaded process replaces with its CPU's name (x86_64, aarch64): one
// LD_PRELOAD value then serves a daemon built for the card's CPU (run under
// qemu) and the host's shells it starts. This is the host's copy of it.
std::string host_copy(std::string path) {
    struct utsname host = {};
    size_t at = path.find("$PLATFORM");
    if (at != std::string::npos && uname(&host) == 0) {
        path.replace(at, strlen("$PLATFORM"), host.machine);
    }
    return path;
}

// The child of the fork: becomes `unshare`, which runs sandbox_init.sh as the
// first process of the new namespaces.
[[noreturn]] void exec_sandbox(const std::string& run_dir, const std::string& daemon_path,
                               pid_t parent) {
    // The sandbox must not outlive the bench, even when the bench is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(1);
    }
    setpgid(0, 0); // a terminal's Ctrl-C reaches the bench, which tears down
    int devnull = ::open("/dev/null", O_RDONLY);
    int out = ::open((run_dir + "/sandbox.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (devnull >= 0) {
        dup2(devnull, 0);
    }
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    setenv("BENCH_RUN_DIR", run_dir.c_str(), 1);
    setenv("BENCH_STANDINS", (source_dir() + "/standins").c_str(), 1);
    setenv("BENCH_INTERPOSER", interposer().c_str(), 1);
    setenv("BENCH_DAEMON", daemon_path.c_str(), 1);
    std::string init = source_dir() + "/sandbox/sandbox_init.sh";
    execlp("unshare", "unshare", "--mount", "--net", "--uts", "--pid", "--fork",
           "--kill-child=SIGKILL", "--mount-proc", "/bin/bash", init.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
}

// The sandbox starts the daemon from its own root directory, so a path
// relative to the bench's working directory is made absolute first.
std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[4096];
    return getcwd(cwd, sizeof(cwd)) != nullptr ? std::string(cwd) + "/" + path : path;
}

} // namespace

Sandbox::Sandbox(const std::string& run_dir, LiveSlot& live, Trace& trace, bool forward_log)
    : run_dir_(run_dir), live_(live), trace_(trace), forward_log_(forward_log),
      notify_(bind_Notify_Socket(run_dir + "/notify.sock")) {}

// Each datagram to the daemon's NOTIFY_SOCKET (sandbox_init.sh points it at
// the run directory's notify.sock) becomes a "notify" trace event, so that a
// test can wait for READY=1 or count main-loop cycles by their WATCHDOG=1.
void Sandbox::receive_notifications() {
    for (std::string message; !(message = receive_Notification(notify_)).empty();) {
        TraceEvent ev;
        ev.event = "notify";
        ev.detail = message;
        trace_.record(ev);
    }
}

Sandbox::~Sandbox() {
    stop();
}

std::string Sandbox::why_not_startable(const std::string& daemon_path) const {
    if (geteuid() != 0) {
        return "the sandbox needs root (mount, network and PID namespaces)";
    }
    if (access(daemon_path.c_str(), X_OK) != 0) {
        return "daemon binary not executable: " + daemon_path;
    }
    if (running()) {
        return "a daemon is already running";
    }
    std::string init = source_dir() + "/sandbox/sandbox_init.sh";
    if (access(init.c_str(), R_OK) != 0) {
        return "sandbox script missing: " + init;
    }
    if (access(host_copy(interposer()).c_str(), R_OK) != 0) {
        return "interposer missing: " + interposer();
    }
    return "";
}

bool Sandbox::start(const std::string& daemon_path) {
    std::string why = why_not_startable(daemon_path);
    if (!why.empty()) {
        trace_.note("cannot start the daemon: " + why);
        return false;
    }
    std::string daemon = absolute(daemon_path);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        exec_sandbox(run_dir_, daemon, parent);
    }
    if (pid < 0) {
        trace_.note(std::string("cannot fork: ") + strerror(errno));
        return false;
    }
    std::lock_guard<std::mutex> lock(m_);
    pid_ = pid;
    start_seen_ = false;
    live_.set_sandbox(pid);
    trace_.note("sandbox started for " + daemon_path);
    return true;
}

void Sandbox::stop() {
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(m_);
        pid = pid_;
    }
    if (pid <= 0) {
        return;
    }
    // unshare ignores SIGTERM while its child runs; killing it makes the
    // kernel kill the namespace's first process (--kill-child), and with it
    // every process of the PID namespace.
    kill(pid, SIGKILL);
    int status = 0;
    pid_t r = waitpid(pid, &status, 0);
    std::lock_guard<std::mutex> lock(m_);
    if (pid_ == pid) {
        // poll() may have reaped it first; then it has recorded the end.
        pid_ = 0;
        live_.set_sandbox(0);
        TraceEvent ev;
        ev.event = "daemon_exit";
        ev.detail = "stopped by the bench";
        ev.result = r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        trace_.record(ev);
    }
}

bool Sandbox::running() const {
    std::lock_guard<std::mutex> lock(m_);
    return pid_ > 0;
}

// The sandbox process is `unshare`; its child is the namespace's first
// process, and the daemon is the child of that one whose id inside the
// namespace is the one daemon.pid holds.
pid_t Sandbox::daemon_pid() const {
    pid_t sandbox = 0;
    {
        std::lock_guard<std::mutex> lock(m_);
        sandbox = pid_;
    }
    pid_t inner = 0;
    if (sandbox <= 0 || !parse_Pid(read_File(run_dir_ + "/daemon.pid"), &inner)) {
        return 0;
    }
    for (pid_t init : children_Of(sandbox)) {
        for (pid_t child : children_Of(init)) {
            if (innermost_Pid(child) == inner) {
                return child;
            }
        }
    }
    return 0;
}

void Sandbox::poll() {
    receive_notifications();
    {
        std::lock_guard<std::mutex> lock(m_);
        if (pid_ > 0) {
            notice_start();
            reap();
        }
    }
    if (forward_log_) {
        forward(out_);
        forward(err_);
    }
}

// The sandbox writes daemon.pid once the daemon runs.
void Sandbox::notice_start() {
    std::string pid_file = run_dir_ + "/daemon.pid";
    if (start_seen_ || access(pid_file.c_str(), F_OK) != 0) {
        return;
    }
    start_seen_ = true;
    TraceEvent ev;
    ev.event = "daemon_start";
    ev.detail = read_File(pid_file);
    ev.detail = ev.detail.substr(0, ev.detail.find('\n'));
    trace_.record(ev);
}

// The sandbox ended by itself; daemon.exit holds the daemon's status when the
// daemon ran at all.
void Sandbox::reap() {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return;
    }
    pid_ = 0;
    live_.set_sandbox(0);
    TraceEvent ev;
    ev.event = "daemon_exit";
    std::string code = read_File(run_dir_ + "/daemon.exit");
    ev.detail = code.empty() ? "sandbox ended (see sandbox.log)"
                             : "exit status " + code.substr(0, code.find('\n'));
    ev.result = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    trace_.record(ev);
}

void Sandbox::forward(LogTail& tail) {
    std::ifstream in(run_dir_ + "/" + tail.file, std::ios::binary);
    if (!in || !in.seekg(tail.offset)) {
        return;
    }
    char buf[4096];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
        tail.offset += static_cast<long>(in.gcount());
        tail.partial.append(buf, static_cast<size_t>(in.gcount()));
    }
    size_t pos;
    while ((pos = tail.partial.find('\n')) != std::string::npos) {
        trace_.print(tail.prefix + tail.partial.substr(0, pos));
        tail.partial.erase(0, pos + 1);
    }
}

} // namespace pec_bench
