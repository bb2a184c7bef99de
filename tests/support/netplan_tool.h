// The real netplan as the judge of a netplan file: what its generator makes
// of a document.
#pragma once

#include <string>

struct Netplan_Result {
    bool accepted = false; // netplan generate ended with success
    std::string unit;      // the systemd-networkd unit it wrote for eth0
    std::string output;    // what it printed
};

// Runs the real "netplan generate" on `yaml`, as /etc/netplan/01-netcfg.yaml
// (owner-only) in a root directory of its own.
Netplan_Result netplan_Generate(const std::string& yaml);
