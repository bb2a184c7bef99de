// The run directory of one bench, and the sweep of those left behind.

#include "run_dir.h"

#include "files.h"
#include "pec_bench/bench.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pec_bench {

namespace {

const std::string prefix = "pec-bench.";

} // namespace

RunDir::RunDir(const std::string& base) {
    make_dirs(base);
    std::string tmpl = base + "/" + prefix + std::to_string(getpid()) + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("cannot create a run directory under " + base);
    }
    path_ = buf.data();
    // mkdtemp makes it private (0700); open it like the host directories
    // whose files it holds.
    chmod(path_.c_str(), 0755);
}

RunDir::~RunDir() {
    if (getenv("PEC_BENCH_KEEP") == nullptr) {
        remove_tree(path_);
    }
}

void sweep_stale_run_dirs(const std::string& base) {
    std::vector<std::string> stale;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(base.c_str()), closedir);
        if (dir == nullptr) {
            return;
        }
        while (const dirent* e = readdir(dir.get())) {
            std::string name = e->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            char* end = nullptr;
            long pid = strtol(name.c_str() + prefix.size(), &end, 10);
            if (end == nullptr || *end != '.' || pid <= 0) {
                continue;
            }
            if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::string path = base;
                path += '/';
                path += name;
                stale.push_back(std::move(path));
            }
        }
    }
    for (const std::string& s : stale) {
        remove_tree(s);
    }
}

} // namespace pec_bench
