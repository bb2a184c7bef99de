// The inputs of the scaling figures, and the timing of repeated calls on
// them: a netplan document with many interfaces, a key/value file of a given
// size, and a temporary directory that is removed with everything in it.
#pragma once

#include <functional>
#include <string>

namespace figures {

// A netplan document whose ethernets map holds `interfaces` interfaces: eth0
// static (192.0.2.10/24, default route via 192.0.2.1, one name server), and
// eth1... each with an address, a route and name servers of its own.
std::string netplan_with_interfaces(int interfaces);

// Lines "key_NNNNNN=value_NNNNNN" up to about `bytes` bytes, then the line
// "target=initial": the key a set_Data call must find at the very end.
std::string key_value_file(size_t bytes);

// Calls `call` until `min_seconds` have passed and at least `min_calls` were
// made; the mean seconds per call, or -1 as soon as a call returns false.
double seconds_per_call(const std::function<bool()>& call, double min_seconds, int min_calls);

// A directory /tmp/pec-figures.XXXXXX, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace figures
