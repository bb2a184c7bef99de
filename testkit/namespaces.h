// Private namespaces for a test: the calling process gets mount (and, when
// asked, network and UTS) namespaces of its own, so that what it mounts and
// configures stays in them. Without the right to make them (not root) the
// caller skips, with the reason these functions give.
#pragma once

#include <sched.h>

#include <string>
#include <vector>

// The namespaces to make private; PRIVATE_MOUNTS is always among them, the
// others are added with |.
enum Private_Namespaces : int {
    PRIVATE_MOUNTS = CLONE_NEWNS,
    PRIVATE_NETWORK = CLONE_NEWNET,
    PRIVATE_UTS = CLONE_NEWUTS,
};

// Moves the calling process into new `namespaces` (Private_Namespaces) and
// makes every mount private; "" on success, else what failed.
std::string enter_Private_Namespaces(int namespaces);

// Mounts an empty tmpfs (mode 0755) on each of `dirs`, in order, and adds
// each mounted one to `*mounted` when given; "" on success, else the first
// that failed.
std::string mount_Empty_Dirs(const std::vector<std::string>& dirs,
                             std::vector<std::string>* mounted = nullptr);
