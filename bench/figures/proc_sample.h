// What /proc says about one process: its CPU time and its reaped children's,
// its threads' context switches, resident memory, open descriptors and when
// it started.
#pragma once

#include <sys/types.h>

namespace figures {

struct ProcSample {
    bool ok = false;
    double cpu = 0;          // seconds, user and system, all threads (stat)
    double children_cpu = 0; // seconds, of children it has waited for (stat)
    long voluntary = 0;      // context switches of its threads: each a wake-up after a wait
    long involuntary = 0;    // of its threads: preempted
    long rss_kib = 0;        // VmRSS
    int fds = 0;             // entries of /proc/PID/fd
};

ProcSample sample_process(pid_t pid);

// When the process started, in seconds since boot (CLOCK_BOOTTIME, the clock
// of the start time in /proc/PID/stat); -1 when it cannot be read.
double process_start(pid_t pid);
double boot_clock_now();

} // namespace figures
