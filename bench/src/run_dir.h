// The run directory of one bench, <base>/pec-bench.<pid>.XXXXXX, is a
// Temp_Dir (testkit/files.h): the socket, the scenario's files, the trace and
// the daemon's output live in it. The process id in its name lets a later
// bench tell that it was left behind (sweep_stale_run_dirs, bench.h).
#pragma once

namespace pec_bench {

inline const char* const run_dir_prefix = "pec-bench";

} // namespace pec_bench
