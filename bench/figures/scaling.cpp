// How the cost of the file work grows with what it works on, in-process:
// the netplan document update (in memory) with 10, 100 and 1,000 interfaces,
// and Config_File::set_Data on files of 1 KB, 1 MB and 10 MB (each call
// replaces the file whole, with fsync).

#include "figures.h"

#include "config_file_handling.h"
#include "netplan_document.h"
#include "testkit/files.h"

#include <chrono>
#include <cstdio>

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

// Times `call(i, n)`, the nth call at the ith size, for at least
// `min_seconds` and three calls at each size: a row per size by
// `row(i, seconds per call)` and the growth row, or a row that says why.
template <typename Call, typename MakeRow>
Rows series(const std::string& what, const std::vector<std::string>& names,
            const std::vector<double>& sizes, double min_seconds, Call call, MakeRow row) {
    Rows rows;
    std::vector<double> seconds;
    std::string growth; // "10 to 100: time x9.7 for size x10; ..."
    for (size_t i = 0; i < sizes.size(); ++i) {
        const auto start = std::chrono::steady_clock::now();
        std::chrono::duration<double> elapsed{};
        int n = 0;
        for (; n < 3 || elapsed.count() < min_seconds;
             ++n, elapsed = std::chrono::steady_clock::now() - start) {
            if (!call(i, n)) {
                return {not_measured(section, what, "a call failed")};
            }
        }
        seconds.push_back(elapsed.count() / n);
        rows.push_back(row(i, seconds.back()));
        growth += i == 0 ? ""
                         : (i > 1 ? "; " : "") + names[i - 1] + " to " + names[i] + ": time x" +
                               fixed(seconds[i] / seconds[i - 1], 1) + " for size x" +
                               fixed(sizes[i] / sizes[i - 1], 0);
    }
    // Linear growth keeps the two factors close once the fixed cost is small.
    rows.push_back({section, what + " growth", growth,
                    "time factor beside size factor: alike when it grows linearly"});
    return rows;
}

Rows netplan_rows(const Settings& s) {
    const std::vector<std::string> names = {"10", "100", "1000"};
    std::vector<std::string> texts = {netplan_with_interfaces(10), netplan_with_interfaces(100),
                                      netplan_with_interfaces(1000)};
    Network::Config c{"eth0", false, "", "255.255.255.0", "192.0.2.1", "1.1.1.1", "8.8.8.8"};
    std::string document, why;
    auto update = [&](size_t i, int n) {
        c.ip4_address = n % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
        return Netplan_Document::update(texts[i], c, 24, &document, &why) == Netplan_Document::OK;
    };
    auto row = [&](size_t i, double t) {
        return Row{section, "netplan update, " + names[i] + " interfaces",
                   fixed(t * 1000, 3) + " ms/call, " + fixed(t * 1e6 / std::stod(names[i]), 1) +
                       " us per interface",
                   "Netplan_Document::update in memory, " + std::to_string(texts[i].size() / 1024) +
                       " KiB document"};
    };
    return series("netplan update", names, {10, 100, 1000}, s.scaling_seconds, update, row);
}

// Files of lines "key_NNNNNN=value_NNNNNN" up to about each size, then the
// line "target=initial": the key a set_Data call must find at the very end.
Rows config_file_rows(const Settings& s) {
    const std::vector<double> sizes = {1e3, 1e6, 1e7};
    const Temp_Dir dir("pec-figures");
    std::vector<std::string> paths;
    for (double size : sizes) {
        std::string content;
        char line[64];
        for (int i = 0; i < size / 24 - 1; ++i) {
            snprintf(line, sizeof(line), "key_%06d=value_%06d\n", i, i);
            content += line;
        }
        paths.push_back(dir.file(fixed(size, 0)));
        if (write_File(paths.back(), content + "target=initial\n", 0644) != 0) {
            return {not_measured(section, "Config_File::set_Data", "cannot write a file in /tmp")};
        }
    }
    auto set = [&](size_t i, int n) {
        return Config_File::set_Data(paths[i].c_str(), "target", n % 2 ? "a" : "b", '=', nullptr) ==
               0;
    };
    const std::vector<std::string> names = {"1 KB", "1 MB", "10 MB"};
    auto row = [&](size_t i, double t) {
        return Row{section, "Config_File::set_Data, " + names[i] + " file",
                   fixed(t * 1000, 3) + " ms/call",
                   "key on the last line; the file replaced whole, fsync included, in /tmp"};
    };
    return series("Config_File::set_Data", names, sizes, s.scaling_seconds, set, row);
}

} // namespace

Rows measure_scaling(const Settings& s) {
    Rows rows = netplan_rows(s);
    Rows files = config_file_rows(s);
    rows.insert(rows.end(), files.begin(), files.end());
    return rows;
}

} // namespace figures
