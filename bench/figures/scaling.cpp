// How the cost of the file work grows with what it works on, in-process:
// the netplan document update (pure, in memory) with 10, 100 and 1,000
// interfaces in the document, and Config_File::set_Data on files of 1 KB,
// 1 MB and 10 MB (each call replaces the file whole, with fsync). Also the
// netplan documents of the apply path's figures (apply_path.cpp).

#include "figures.h"

#include "config_file_handling.h"
#include "netplan_document.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace figures {

std::string netplan_with_interfaces(int interfaces) {
    std::string doc = "network:\n  version: 2\n  renderer: networkd\n  ethernets:\n"
                      "    eth0:\n      dhcp4: false\n      addresses:\n        - 192.0.2.10/24\n"
                      "      routes:\n        - to: default\n          via: 192.0.2.1\n"
                      "      nameservers:\n        addresses:\n          - 1.1.1.1\n";
    char buf[512];
    for (int i = 1; i < interfaces; ++i) {
        int a = i / 250, b = i % 250;
        snprintf(buf, sizeof(buf),
                 "    eth%d:\n      dhcp4: false\n      addresses:\n        - 10.%d.%d.2/24\n"
                 "      routes:\n        - to: 172.16.%d.0/24\n          via: 10.%d.%d.1\n"
                 "      nameservers:\n        search: [site%d.example]\n"
                 "        addresses:\n          - 10.%d.%d.53\n",
                 i, a, b, b, a, b, i, a, b);
        doc += buf;
    }
    return doc;
}

namespace {

const char* const section = "scaling (in-process)";
const char* const linear = "time factor beside size factor: alike when it grows linearly";

// Calls `call` (with the call's number) for at least `min_seconds` and three
// calls; the mean seconds per call, or -1 as soon as a call fails.
template <typename Call>
double seconds_per_call(Call call, double min_seconds) {
    const auto start = std::chrono::steady_clock::now();
    for (int calls = 0;; ++calls) {
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (calls >= 3 && elapsed >= min_seconds) {
            return elapsed / calls;
        }
        if (!call(calls)) {
            return -1;
        }
    }
}

// "10 to 100: time x9.7 for size x10; ...": linear growth keeps the two
// factors close once the fixed cost is small beside the rest.
Row growth(const std::string& figure, const std::vector<std::string>& names,
           const std::vector<double>& sizes, const std::vector<double>& seconds) {
    std::string text;
    for (size_t i = 1; i < seconds.size(); ++i) {
        text += (i > 1 ? "; " : "") + names[i - 1] + " to " + names[i] + ": time x" +
                fixed(seconds[i] / seconds[i - 1], 1) + " for size x" +
                fixed(sizes[i] / sizes[i - 1], 0);
    }
    return {section, figure + " growth", text, linear};
}

Rows netplan_rows(const Settings& s) {
    Rows rows;
    std::vector<double> sizes = {10, 100, 1000}, seconds;
    for (double n : sizes) {
        const std::string text = netplan_with_interfaces(static_cast<int>(n));
        Network::Config c;
        c.target_interface = "eth0";
        c.ip4_subnetmask = "255.255.255.0";
        c.ip4_gateway = "192.0.2.1";
        c.dns1 = "1.1.1.1";
        c.dns2 = "8.8.8.8";
        std::string document, why;
        double t = seconds_per_call(
            [&](int i) {
                c.ip4_address = i % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
                return Netplan_Document::update(text, c, 24, &document, &why) ==
                       Netplan_Document::OK;
            },
            s.scaling_seconds);
        if (t < 0) {
            return {not_measured(section, "netplan update", "the update failed: " + why)};
        }
        seconds.push_back(t);
        rows.push_back(
            {section, "netplan update, " + fixed(n, 0) + " interfaces",
             fixed(t * 1000, 3) + " ms/call, " + fixed(t * 1e6 / n, 1) + " us per interface",
             "Netplan_Document::update in memory, " + std::to_string(text.size() / 1024) +
                 " KiB document"});
    }
    rows.push_back(growth("netplan update", {"10", "100", "1000"}, sizes, seconds));
    return rows;
}

// Lines "key_NNNNNN=value_NNNNNN" up to about `bytes` bytes, then the line
// "target=initial": the key a set_Data call must find at the very end.
bool write_key_value_file(const std::string& path, double bytes) {
    std::ofstream out(path, std::ios::trunc);
    char line[64];
    for (int i = 0; i < bytes / 24 - 1; ++i) {
        snprintf(line, sizeof(line), "key_%06d=value_%06d\n", i, i);
        out << line;
    }
    out << "target=initial\n";
    return static_cast<bool>(out.flush());
}

Rows config_file_rows(const Settings& s) {
    Rows rows;
    const std::vector<std::string> names = {"1 KB", "1 MB", "10 MB"};
    std::vector<double> sizes = {1e3, 1e6, 1e7}, seconds;
    const std::string path = "/tmp/pec-figures." + std::to_string(getpid()) + ".conf";
    for (size_t i = 0; i < sizes.size(); ++i) {
        auto set = [&](int call) {
            return Config_File::set_Data(path.c_str(), "target", call % 2 ? "a" : "b", '=',
                                         nullptr) == 0;
        };
        double t =
            write_key_value_file(path, sizes[i]) ? seconds_per_call(set, s.scaling_seconds) : -1;
        if (t < 0) {
            unlink(path.c_str());
            return {not_measured(section, "Config_File::set_Data", "set_Data failed on " + path)};
        }
        seconds.push_back(t);
        rows.push_back({section, "Config_File::set_Data, " + names[i] + " file",
                        fixed(t * 1000, 3) + " ms/call",
                        "key on the last line; the file replaced whole, fsync included, in /tmp"});
    }
    unlink(path.c_str());
    rows.push_back(growth("Config_File::set_Data", names, sizes, seconds));
    return rows;
}

} // namespace

Rows measure_scaling(const Settings& s) {
    Rows rows = netplan_rows(s);
    Rows files = config_file_rows(s);
    rows.insert(rows.end(), files.begin(), files.end());
    return rows;
}

} // namespace figures
