// The card's host on the bench as the system tests see it.
#include "system/support/card_host.h"

#include "support/shell.h"
#include "support/text.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace systest {

namespace {

// The disks as lsblk lists them in the daemon's namespaces, in the form the
// description set carries them ("|"-joined names and sizes).
bool sandbox_disks(const Bench& bench, Description* d) {
    int status = 0;
    std::string out = in_sandbox(bench, "lsblk -p -o NAME,SIZE,TYPE -n --exclude 1,7", &status);
    if (status != 0) {
        return false;
    }
    d->disk_count = 0;
    d->disk_names.clear();
    d->disk_sizes.clear();
    for (const std::string& line : lines_Of(out)) {
        std::istringstream fields(line);
        std::string name, size, type;
        if (!(fields >> name >> size >> type) || type != "disk") {
            continue;
        }
        d->disk_names += (d->disk_count == 0 ? "" : "|") + name;
        d->disk_sizes += (d->disk_count == 0 ? "" : "|") + size;
        ++d->disk_count;
    }
    return true;
}

} // namespace

uint64_t memory_total_gib() {
    std::istringstream in(read_File("/proc/meminfo"));
    std::string key;
    uint64_t kb = 0;
    while (in >> key) {
        if (key == "MemTotal:") {
            in >> kb;
            break;
        }
        in.ignore(1 << 12, '\n');
    }
    return kb >> 20;
}

std::string daemon_path() {
    const char* path = getenv("PEC_BENCH_DAEMON");
    return path != nullptr && path[0] != '\0' ? path : PEC_DAEMON_PATH;
}

std::string in_sandbox(const Bench& bench, const std::string& command, int* status) {
    pid_t pid = bench.daemon_pid();
    std::string output = "no daemon process found for " + bench.run_dir();
    int result = -1;
    if (pid != 0) {
        // -r -w: the daemon's root and working directory too, or in a chroot
        // paths would resolve against the mount namespace's own root.
        result =
            run_Shell("nsenter -t " + std::to_string(pid) + " -m -n -u -p -r -w -- /bin/bash -c " +
                          shell_Quote(command) + " 2>&1",
                      &output);
    }
    if (status != nullptr) {
        *status = result;
    }
    return output;
}

std::string host_path(const Bench& bench, const std::string& path) {
    return bench.run_dir() + path;
}

Description expected_description(const Bench& bench, const std::string& ip) {
    const Scenario& sc = bench.scenario();
    Description d;
    d.os = sc.os_pretty_name ? os_pretty_name : "";
    d.ip = ip;
    d.serial = sc.has_serial ? sc.serial : "N/A";
    d.memory_gib = memory_total_gib();
    EXPECT_TRUE(sandbox_disks(bench, &d)) << "lsblk could not be run in the sandbox";
    return d;
}

bool change_eth0_address(const Bench& bench, const std::string& address) {
    int status = 0;
    std::string out =
        in_sandbox(bench,
                   "ip -4 addr flush dev eth0 && ip addr add " + address +
                       "/24 dev eth0 && ip route replace default via 192.0.2.1 dev eth0",
                   &status);
    if (status != 0) {
        ADD_FAILURE() << "cannot move eth0 to " << address << ": " << out;
    }
    return status == 0;
}

} // namespace systest
