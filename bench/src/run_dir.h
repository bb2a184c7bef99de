// The run directory of one bench, /tmp/pec-bench.<pid>.XXXXXX: the socket,
// the scenario's files, the trace and the daemon's output live in it. The
// process id in its name lets a later bench tell that it was left behind
// (sweep_stale_run_dirs, declared in bench.h).
#pragma once

#include <string>

namespace pec_bench {

// Made in the constructor (std::runtime_error when it cannot be), removed
// with everything in it when the owner ends, unless PEC_BENCH_KEEP is set.
class RunDir {
public:
    explicit RunDir(const std::string& base);
    ~RunDir();
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;

    const std::string& path() const { return path_; }
    // A path inside it.
    std::string file(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

} // namespace pec_bench
