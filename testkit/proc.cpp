// The processes of this machine as /proc shows them.
#include "testkit/proc.h"

#include "testkit/files.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace {

// Every process, by the numeric names in /proc.
std::vector<pid_t> all_Pids() {
    std::vector<pid_t> pids;
    pid_t pid = 0;
    for (const std::string& name : list_Directory("/proc"))
        if (parse_Pid(name, &pid))
            pids.push_back(pid);
    return pids;
}

std::string proc_File(pid_t pid, const char* name) {
    return read_File("/proc/" + std::to_string(pid) + "/" + name);
}

// The parent in /proc/<pid>/stat: the second field after the command name,
// which is in parentheses and may itself hold blanks and parentheses.
pid_t parent_Of(pid_t pid) {
    std::string stat = proc_File(pid, "stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string state, ppid;
    pid_t parent = 0;
    return fields >> state >> ppid && parse_Pid(ppid, &parent) ? parent : 0;
}

} // namespace

bool parse_Pid(const std::string& text, pid_t* pid) {
    const char* s = text.c_str();
    if (!isdigit(static_cast<unsigned char>(*s)))
        return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(s, &end, 10);
    while (isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX)
        return false;
    *pid = static_cast<pid_t>(value);
    return true;
}

std::vector<pid_t> pids_With_Environment(const std::string& entry) {
    std::vector<pid_t> pids;
    for (pid_t pid : all_Pids()) {
        std::istringstream environment(proc_File(pid, "environ"));
        for (std::string variable; std::getline(environment, variable, '\0');) {
            if (variable == entry) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

std::vector<pid_t> children_Of(pid_t parent) {
    std::vector<pid_t> children;
    for (pid_t pid : all_Pids())
        if (parent_Of(pid) == parent)
            children.push_back(pid);
    return children;
}

pid_t innermost_Pid(pid_t pid) {
    std::istringstream status(proc_File(pid, "status"));
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "NSpid:") == 0) {
            pid_t inner = 0;
            size_t last = line.find_last_of(" \t");
            return parse_Pid(line.substr(last + 1), &inner) ? inner : 0;
        }
    }
    return 0;
}
