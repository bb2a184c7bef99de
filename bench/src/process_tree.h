// The sandbox's processes as this machine sees them, through /proc: who is
// whose child, and which process id a process has inside its own PID
// namespace.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace pec_bench {

// The processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent);
// The process id in the innermost PID namespace of `pid` (the last field of
// NSpid); 0 when the process is gone.
pid_t innermost_pid(pid_t pid);
// A decimal process id followed by nothing but white space; false otherwise.
bool parse_pid(const std::string& text, pid_t* out);

} // namespace pec_bench
