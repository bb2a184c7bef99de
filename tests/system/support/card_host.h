// The card's host on the bench as the system tests see it: commands run in
// the daemon's namespaces (nsenter), to read or change the card's view of
// the machine (eth0, hostname, lsblk), the paths of its files, and the
// description set the card should send on it.
#pragma once

#include "system/support/expected_packets.h"
#include "system/support/names.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace systest {

// MemTotal of /proc/meminfo in whole GiB (the namespaces share the host's memory).
uint64_t memory_total_gib();

// The daemon binary under test: the build tree's, or the one PEC_BENCH_DAEMON
// names (a build for the card's CPU, which runs under qemu).
std::string daemon_path();

// Runs `command` with bash as a process of the card's host sees it and
// returns its output (standard error included): in the daemon's mount
// namespace (its /etc, its /run with NetworkManager's bus), network namespace
// (its eth0), UTS namespace (its hostname) and PID namespace (NetworkManager
// hides a profile's settings from a caller whose process it cannot see).
// Status -1 when the daemon is not found, and the output says so.
std::string in_sandbox(const Bench& bench, const std::string& command, int* status = nullptr);

// The path of a file of the card's host as the test sees it: the bench binds
// its run directory's etc/ tree over the sandbox's configuration directories.
std::string host_path(const Bench& bench, const std::string& path);

// The description set the card should send on this bench, with `ip`.
Description expected_description(const Bench& bench, const std::string& ip);

// Moves eth0 to `address`/24 with the default route via 192.0.2.1, inside the
// sandbox. True when the commands succeeded.
bool change_eth0_address(const Bench& bench, const std::string& address);

} // namespace systest
