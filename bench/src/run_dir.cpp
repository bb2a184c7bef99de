// The sweep of the run directories that benches left behind.

#include "run_dir.h"

#include "pec_bench/bench.h"
#include "testkit/files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace pec_bench {

void sweep_stale_run_dirs(const std::string& base) {
    const std::string prefix = std::string(run_dir_prefix) + ".";
    const std::string dir = base + "/";
    for (const std::string& name : list_Directory(base)) {
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        char* end = nullptr;
        long pid = strtol(name.c_str() + prefix.size(), &end, 10);
        if (end == nullptr || *end != '.' || pid <= 0) {
            continue;
        }
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            remove_Tree(dir + name);
        }
    }
}

} // namespace pec_bench
