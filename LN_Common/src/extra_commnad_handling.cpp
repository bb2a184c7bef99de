// Running shell command lines and capturing the last line of their output.
//
// This is the one place that starts host programs. Each command runs as
// "/bin/sh -c" in its own process group with pipes for its standard output
// and error, and under a time limit: at the limit the whole group gets
// SIGTERM, a few seconds later SIGKILL, so neither a hung command nor one of
// its children can hold the calling thread for good. How a command ended is
// logged here, once, for the commands whose failure matters.
#include "extra_command_handling.h"

#include "log.h"
#include "os_wrappers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

static const char* const __log_tag = "Command";

namespace {

const char* const systemd_command_verbs[] = {"start",  "stop",    "restart",
                                             "enable", "disable", "status"};

// Time between SIGTERM and SIGKILL for a command past its limit: enough for
// a tool to undo or finish a step cleanly, short against the limits.
const int64_t kill_grace_ms = command_kill_grace_ms;
// Bytes of standard error kept to find its last line.
const size_t stderr_tail_size = 4096;
// Characters of a command line or stderr line in the ERROR line.
const size_t reported_text_length = 160;
// Bytes of output kept for get_Command_Output.
const size_t whole_output_limit = 65536;

thread_local std::atomic<int64_t>* deadline_sink = nullptr;

int64_t get_Command_Limit_ms(Command_Use use) {
    switch (use) {
    case COMMAND_APPLY:
        return command_apply_limit_ms;
    case COMMAND_ACTION:
        return command_action_limit_ms;
    default:
        return command_query_limit_ms;
    }
}

// Collects output the way fgets(result, length, ...) called until the end
// of the output leaves it: every piece ends at a line feed or after
// `length` - 1 characters, and only the last piece is kept.
// With `whole` given, the whole output (up to whole_output_limit bytes) goes
// there as well.
class Last_Piece {
public:
    explicit Last_Piece(int length, std::string* whole_output = nullptr)
        : piece_size(length > 1 ? static_cast<size_t>(length) - 1 : 0), whole(whole_output) {}
    void add(const char* bytes, size_t count) {
        if (whole != nullptr && whole->size() < whole_output_limit)
            whole->append(bytes, std::min(count, whole_output_limit - whole->size()));
        for (size_t i = 0; i < count; i++) {
            printed = true;
            if (piece_size == 0)
                continue;
            current += bytes[i];
            if (bytes[i] == '\n' || current.size() == piece_size) {
                last.swap(current);
                current.clear();
            }
        }
    }
    // Into `result` (of `length` bytes): unchanged when nothing was printed.
    void store(char* result, int length) {
        if (result == nullptr || length <= 0 || !printed)
            return;
        if (!current.empty())
            last.swap(current);
        memcpy(result, last.data(), last.size());
        result[last.size()] = '\0';
    }

private:
    size_t piece_size;
    std::string* whole;
    bool printed = false;
    std::string current;
    std::string last;
};

// The last non-empty line of a command's standard error.
std::string get_Last_Line(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos)
        return "";
    size_t start = text.find_last_of('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, end + 1 - start);
}

// Reads what is available on `fd` into `sink`; false at the end of the output.
template <typename Sink> bool drain(const Unique_Fd& fd, Sink sink) {
    char chunk[512];
    ssize_t count = read(fd.get(), chunk, sizeof(chunk));
    if (count < 0)
        return errno == EINTR || errno == EAGAIN;
    if (count == 0)
        return false;
    sink(chunk, static_cast<size_t>(count));
    return true;
}

struct Outcome {
    int status = 0;        // from waitpid
    bool reaped = false;   // the shell ended and was waited for
    bool timed_out = false;
    int64_t limit_ms = 0;
    std::string stderr_tail;
};

// The attributes every command starts with: the leader of its own process
// group (so that its limit reaches its children too), no signal blocked, and
// back to their default the signals the daemon ignores (SIGPIPE, which a
// pipeline in the command wants) or keeps blocked for its main loop (SIGTERM,
// SIGINT).
class Spawn_Attributes {
public:
    Spawn_Attributes() : error(posix_spawnattr_init(&attributes)), initialised(error == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal_number : {SIGPIPE, SIGTERM, SIGINT})
            sigaddset(&defaults, signal_number);
        keep(posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                       POSIX_SPAWN_SETSIGDEF));
        keep(posix_spawnattr_setpgroup(&attributes, 0));
        keep(posix_spawnattr_setsigmask(&attributes, &none));
        keep(posix_spawnattr_setsigdefault(&attributes, &defaults));
    }
    ~Spawn_Attributes() {
        if (initialised)
            posix_spawnattr_destroy(&attributes);
    }
    Spawn_Attributes(const Spawn_Attributes&) = delete;
    Spawn_Attributes& operator=(const Spawn_Attributes&) = delete;
    // 0, or the first error number of the set-up.
    int get_Error() const { return error; }
    const posix_spawnattr_t* get() const { return &attributes; }

private:
    void keep(int result) {
        if (error == 0)
            error = result;
    }

    posix_spawnattr_t attributes;
    int error;
    bool initialised;
};

// What the child does with its descriptors before it runs the shell.
class Spawn_File_Actions {
public:
    Spawn_File_Actions()
        : error(posix_spawn_file_actions_init(&actions)), initialised(error == 0) {}
    ~Spawn_File_Actions() {
        if (initialised)
            posix_spawn_file_actions_destroy(&actions);
    }
    Spawn_File_Actions(const Spawn_File_Actions&) = delete;
    Spawn_File_Actions& operator=(const Spawn_File_Actions&) = delete;
    void add_Dup2(int fd, int target) {
        if (error == 0)
            error = posix_spawn_file_actions_adddup2(&actions, fd, target);
    }
    int get_Error() const { return error; }
    const posix_spawn_file_actions_t* get() const { return &actions; }

private:
    posix_spawn_file_actions_t actions;
    int error;
    bool initialised;
};

// Starts "/bin/sh -c cmd" as the leader of its own process group with its
// standard output and error on pipes; -1 (errno set) when no process or pipe
// could be had. posix_spawn does not copy the daemon's memory (glibc starts
// the child in the caller's address space, the caller suspended until the
// exec), so a command starts the same way however large the process is;
// and since it returns only after the exec, the command's process group
// exists before any signal is sent to it.
// Every descriptor of the daemon, these pipes included, is close-on-exec:
// the shell gets its standard input and the two write ends as its standard
// output and error, nothing else. The write ends are closed here once the
// child runs, the read ends go to the caller.
pid_t start_Shell(const char* cmd, Unique_Fd* out_read, Unique_Fd* err_read) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return -1;
    Unique_Fd out_r(out_pipe[0]);
    Unique_Fd out_w(out_pipe[1]);
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        return -1;
    Unique_Fd err_r(err_pipe[0]);
    Unique_Fd err_w(err_pipe[1]);

    char shell_path[] = "/bin/sh";
    char shell_name[] = "sh";
    char shell_option[] = "-c";
    std::string command(cmd);
    char* const argv[] = {shell_name, shell_option, &command[0], nullptr};

    Spawn_File_Actions actions;
    actions.add_Dup2(out_w.get(), STDOUT_FILENO);
    actions.add_Dup2(err_w.get(), STDERR_FILENO);
    Spawn_Attributes attributes;
    int error = actions.get_Error() != 0 ? actions.get_Error() : attributes.get_Error();
    pid_t pid = -1;
    if (error == 0)
        error = posix_spawn(&pid, shell_path, actions.get(), attributes.get(), argv, environ);
    if (error != 0) {
        errno = error;
        return -1;
    }
    out_read->reset(out_r.release());
    err_read->reset(err_r.release());
    return pid;
}

// Waits for the command with its output pipes, to its limit and beyond: see
// the module comment. `output` gets its standard output.
void wait_Command(pid_t pid, Unique_Fd* out, Unique_Fd* err, Last_Piece* output, Outcome* outcome) {
    enum { RUNNING, TERMINATED, KILLED } phase = RUNNING;
    int64_t deadline = get_Log_Monotonic_ms() + outcome->limit_ms;
    if (deadline_sink != nullptr)
        deadline_sink->store(deadline + 2 * kill_grace_ms);
    auto keep_stderr = [outcome](const char* bytes, size_t count) {
        outcome->stderr_tail.append(bytes, count);
        if (outcome->stderr_tail.size() > stderr_tail_size)
            outcome->stderr_tail.erase(0, outcome->stderr_tail.size() - stderr_tail_size);
    };
    auto keep_stdout = [output](const char* bytes, size_t count) { output->add(bytes, count); };

    while (!(outcome->reaped && !out->valid() && !err->valid())) {
        int64_t now = get_Log_Monotonic_ms();
        if (now >= deadline) {
            if (phase == RUNNING) {
                outcome->timed_out = true;
                kill(-pid, SIGTERM);
                phase = TERMINATED;
            } else if (phase == TERMINATED) {
                kill(-pid, SIGKILL);
                phase = KILLED;
            } else {
                // Something outside the group still holds the pipes.
                break;
            }
            deadline = now + kill_grace_ms;
        }
        struct pollfd fds[2] = {{out->get(), POLLIN, 0}, {err->get(), POLLIN, 0}};
        // Short polls while the shell runs, to notice its end when a child
        // of it keeps the pipes open.
        int64_t wait_ms = deadline - now;
        if (!outcome->reaped && wait_ms > 50)
            wait_ms = 50;
        poll(fds, 2, static_cast<int>(wait_ms));
        if (out->valid() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
            !drain(*out, keep_stdout))
            out->close_Now();
        if (err->valid() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
            !drain(*err, keep_stderr))
            err->close_Now();
        if (!outcome->reaped && waitpid(pid, &outcome->status, WNOHANG) == pid)
            outcome->reaped = true;
    }
    if (!outcome->reaped) {
        kill(-pid, SIGKILL);
        outcome->reaped = waitpid(pid, &outcome->status, 0) == pid;
    }
    if (deadline_sink != nullptr)
        deadline_sink->store(0);
}

void report_Outcome(const char* cmd, const Outcome& outcome, Command_Use use) {
    std::string how;
    if (outcome.timed_out) {
        char limit[32];
        snprintf(limit, sizeof(limit), "%.1f", static_cast<double>(outcome.limit_ms) / 1000.0);
        how = std::string("killed after its ") + limit + " s time limit";
    } else if (outcome.reaped && WIFSIGNALED(outcome.status)) {
        how = "killed by signal " + std::to_string(WTERMSIG(outcome.status));
    } else if (outcome.reaped && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) != 0) {
        // A query's exit status is its answer ("inactive", no such file).
        if (use == COMMAND_QUERY)
            return;
        how = "failed with exit status " + std::to_string(WEXITSTATUS(outcome.status));
    } else {
        return;
    }
    std::string last_line = get_Last_Line(outcome.stderr_tail);
    LOG_ERROR("\"%s\" %s%s%s", get_Log_Escaped(cmd, reported_text_length).c_str(), how.c_str(),
              last_line.empty() ? "" : ": ",
              get_Log_Escaped(last_line.c_str(), reported_text_length).c_str());
}

} // namespace

void set_Command_Deadline_Sink(std::atomic<int64_t>* sink) {
    deadline_sink = sink;
}

int8_t set_Command(const char* cmd, char* result, int length, Command_Use use) {
    return run_Command(cmd, result, length, use, get_Command_Limit_ms(use));
}

int8_t get_Command_Output(const char* cmd, std::string* output, Command_Use use) {
    return run_Command(cmd, nullptr, 0, use, get_Command_Limit_ms(use), output);
}

int8_t run_Command(const char* cmd, char* result, int length, Command_Use use, int64_t limit_ms,
                   std::string* output) {
    Unique_Fd out;
    Unique_Fd err;
    pid_t pid = start_Shell(cmd, &out, &err);
    if (pid < 0) {
        LOG_ERROR("\"%s\" could not be started: %s",
                  get_Log_Escaped(cmd, reported_text_length).c_str(), strerror(errno));
        return -1;
    }
    Last_Piece last(result != nullptr ? length : 0, output);
    Outcome outcome;
    outcome.limit_ms = limit_ms;
    wait_Command(pid, &out, &err, &last, &outcome);
    last.store(result, length);
    report_Outcome(cmd, outcome, use);
    return 0;
}

void trim_Command_Output(char* text) {
    text[strcspn(text, "\r")] = '\0';
    text[strcspn(text, "\n")] = '\0';
}

int8_t set_Systemd_Service(const char* service_name, Systemd_Command cmd) {
    if (cmd > STATUS)
        return -1;
    char command[256];
    snprintf(command, sizeof(command), "systemctl %s %s", systemd_command_verbs[cmd], service_name);
    // "status" answers with its exit status; the others change the host and
    // may wait for a unit's job.
    return set_Command(command, nullptr, 0, cmd == STATUS ? COMMAND_QUERY : COMMAND_APPLY);
}

bool get_Systemd_Service_Status(const char* service_name) {
    char command[256];
    snprintf(command, sizeof(command), "systemctl is-active %s", service_name);
    char answer[32] = {};
    set_Command(command, answer, sizeof(answer));
    return strncmp(answer, "active", 6) == 0;
}
