// The processes of this machine as /proc shows them: which carry a given
// environment entry, who is whose child, and which process id a process has
// inside its own PID namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A decimal process id followed by nothing but white space; false otherwise.
bool parse_Pid(const std::string& text, pid_t* pid);

// The processes whose environment holds exactly `entry` ("NAME=value").
std::vector<pid_t> pids_With_Environment(const std::string& entry);

// The processes whose parent is `parent`.
std::vector<pid_t> children_Of(pid_t parent);

// The process id in the innermost PID namespace of `pid` (the last field of
// NSpid); 0 when the process is gone.
pid_t innermost_Pid(pid_t pid);
