// Teardown on a fatal signal. A terminal's Ctrl-C, a `kill` or a hang-up
// must not leave a sandbox running or a run directory behind, so every live
// bench has an entry in a fixed table that the handler of SIGINT, SIGTERM
// and SIGHUP reads: it kills each sandbox, removes each run directory, and
// then lets the signal take its default course.
#pragma once

#include <string>
#include <sys/types.h>

namespace pec_bench {

struct LiveEntry;

// A bench's entry in that table, freed when its owner ends. Creating the
// first one installs the handlers (only where the program has none of its
// own). When the table is full the bench runs unregistered, and a run
// directory that a signal leaves behind is swept by the next bench.
class LiveSlot {
public:
    explicit LiveSlot(const std::string& run_dir);
    ~LiveSlot();
    LiveSlot(const LiveSlot&) = delete;
    LiveSlot& operator=(const LiveSlot&) = delete;

    // The sandbox process to kill; 0 when none runs.
    void set_sandbox(pid_t pid);

private:
    LiveEntry* entry_ = nullptr;
};

} // namespace pec_bench
