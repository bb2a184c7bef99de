// The machine the figures were taken on.

#include "machine.h"

#include "table.h"

#include <fstream>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace figures {

namespace {

// The text after "key" and its colon on the first line that starts with it.
std::string field(const char* path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (line.compare(0, key.size(), key) == 0 && colon != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

} // namespace

std::string machine_text() {
    utsname u{};
    uname(&u);
    std::istringstream mem(field("/proc/meminfo", "MemTotal"));
    double kib = 0;
    mem >> kib;
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           field("/proc/cpuinfo", "model name") + ", " + fixed(kib / 1024 / 1024, 1) +
           " GiB, Linux " + u.release;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

} // namespace figures
