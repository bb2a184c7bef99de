// Running host commands: set_Command runs a shell command line and keeps the
// last line of its output; two small wrappers drive systemctl.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum Systemd_Command : uint32_t {
    START = 0,
    STOP = 1,
    RESTART = 2,
    ENABLE = 3,
    DISABLE = 4,
    STATUS = 5,
    INVALID = 6,
};

// What a command is run for, which sets its time limit and whether a
// non-zero exit status is logged.
enum Command_Use : uint8_t {
    // Asks the host something; a non-zero exit is an answer ("inactive", no
    // such file) and is not logged.
    COMMAND_QUERY = 0,
    // Changes the host in one short step (hostnamectl, nmcli con mod/reload,
    // a sysfs write): every failure is logged.
    COMMAND_ACTION = 1,
    // Applies a network configuration, which may wait for DHCP: every
    // failure is logged.
    COMMAND_APPLY = 2,
};

// The time limits. An apply may wait for a DHCP server: ifupdown's dhclient
// gives up after 60 s, so twice that. hostnamectl, nmcli and systemctl talk
// to their services over D-Bus, whose calls time out after 25 s: a command
// still running at 30 s will not end on its own. Queries share that limit.
constexpr int64_t command_apply_limit_ms = 120000;
constexpr int64_t command_action_limit_ms = 30000;
constexpr int64_t command_query_limit_ms = 30000;
// After its limit a command's process group gets SIGTERM, then SIGKILL
// this much later; the call returns at most twice this after the limit.
constexpr int64_t command_kill_grace_ms = 5000;

// Runs `cmd` through the shell and waits for it, at most for its use's time
// limit (then its whole process group is killed). When `result` is given and
// `length` > 0, `result` ends up holding the last line (or the final piece of
// an over-long last line) that the command printed; it keeps its previous
// contents when the command prints nothing. 0 when the command ran (whatever
// its exit status), -1 when it could not be started. A command that cannot
// be started, is killed, or (unless a query) exits non-zero gets one ERROR
// line with the last line it wrote to standard error.
int8_t set_Command(const char* cmd, char* result, int length, Command_Use use = COMMAND_QUERY);

// Runs `cmd` as set_Command does and puts its whole standard output (up to
// 64 KiB) into `*output`; 0 when it ran, -1 when it could not be started.
int8_t get_Command_Output(const char* cmd, std::string* output, Command_Use use = COMMAND_QUERY);

// set_Command with an explicit time limit, and the whole output into
// `*output` when given.
int8_t run_Command(const char* cmd, char* result, int length, Command_Use use, int64_t limit_ms,
                   std::string* output = nullptr);

// While the calling thread runs a command, `*sink` holds the monotonic time
// (ms) by which the call will have returned at the latest; 0 otherwise. For
// a watchdog that must tell a thread inside a long command from a hung one.
void set_Command_Deadline_Sink(std::atomic<int64_t>* sink);

// Cuts `text` at its first carriage return, then at its first line feed:
// the one clean line that callers of set_Command want.
void trim_Command_Output(char* text);

// "systemctl <verb> <service_name>"; -1 for a verb out of range or when the
// command cannot be started, else 0.
int8_t set_Systemd_Service(const char* service_name, Systemd_Command cmd);

// True when "systemctl is-active <service_name>" answers "active".
bool get_Systemd_Service_Status(const char* service_name);
