// The sandbox's processes as this machine sees them, through /proc.

#include "process_tree.h"

#include "files.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <sstream>

namespace pec_bench {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// The parent in /proc/<pid>/stat: the second field after the command name,
// which is in parentheses and may itself hold blanks and parentheses.
pid_t parent_of(const std::string& pid_text) {
    std::string stat = read_file("/proc/" + pid_text + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string state, ppid;
    pid_t parent = 0;
    return fields >> state >> ppid && parse_pid(ppid, &parent) ? parent : 0;
}

} // namespace

bool parse_pid(const std::string& text, pid_t* out) {
    const char* s = text.c_str();
    if (!isdigit(static_cast<unsigned char>(*s))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    while (isspace(static_cast<unsigned char>(*end))) {
        ++end;
    }
    if (errno != 0 || *end != '\0' || v <= 0 || v > INT_MAX) {
        return false;
    }
    *out = static_cast<pid_t>(v);
    return true;
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    while (dirent* e = proc ? readdir(proc.get()) : nullptr) {
        pid_t pid = 0;
        if (parse_pid(e->d_name, &pid) && parent_of(e->d_name) == parent) {
            out.push_back(pid);
        }
    }
    return out;
}

pid_t innermost_pid(pid_t pid) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "NSpid:") == 0) {
            pid_t inner = 0;
            size_t last = line.find_last_of(" \t");
            return parse_pid(line.substr(last + 1), &inner) ? inner : 0;
        }
    }
    return 0;
}

} // namespace pec_bench
