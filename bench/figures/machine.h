// The machine the figures were taken on, for the header of the table: the
// figures of a shared, loaded machine mean little without it.
#pragma once

#include <string>

namespace figures {

// "2 cores, AMD EPYC, 23.4 GiB, Linux 6.1.0-...": processors online, the
// first model name of /proc/cpuinfo, MemTotal and the kernel release.
std::string machine_text();
// The 1, 5 and 15 minute load averages of /proc/loadavg.
std::string load_average();

} // namespace figures
