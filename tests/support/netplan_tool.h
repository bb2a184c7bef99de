// The real netplan as the judge of a netplan file: what its generator makes
// of a document.
#pragma once

#include <string>

// netplan's generator, which "netplan generate" runs: it reads and checks
// the YAML and writes the back ends' files. It is run itself because netplan
// 1.x's "netplan generate" then reloads udev and systemd, even with
// --root-dir, and a judge must not touch the machine (nor call the stand-ins
// of systemctl first on PATH).
inline const char* const netplan_generator = "/usr/libexec/netplan/generate";

struct Netplan_Result {
    bool accepted = false; // the generator ended with success
    std::string unit;      // the systemd-networkd unit it wrote for eth0
    std::string output;    // what it printed
};

// Runs the real netplan generator on `yaml`, as /etc/netplan/01-netcfg.yaml
// (owner-only) in a root directory of its own.
Netplan_Result netplan_Generate(const std::string& yaml);
