// How the cost of the file work grows with what it works on, in-process:
// the netplan document update (pure, in memory) with 10, 100 and 1,000
// interfaces in the document, and Config_File::set_Data on files of 1 KB,
// 1 MB and 10 MB (each call replaces the file whole, with fsync).

#include "figures.h"
#include "workloads.h"

#include "config_file_handling.h"
#include "netplan_document.h"

namespace figures {

namespace {

const char* const section = "scaling (in-process)";

struct Point {
    double size = 0;    // interfaces, or bytes
    double seconds = 0; // per call
};

// "x9.7 for x10" between successive points: linear growth keeps the two
// factors close once the fixed cost is small beside the rest.
std::string growth(const std::vector<Point>& points, const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 1; i < points.size(); ++i) {
        text += (i > 1 ? "; " : "") + names[i - 1] + " to " + names[i] + ": time x" +
                fixed(points[i].seconds / points[i - 1].seconds, 1) + " for size x" +
                fixed(points[i].size / points[i - 1].size, 0);
    }
    return text;
}

Network::Config static_config(int round) {
    Network::Config c;
    c.target_interface = "eth0";
    c.ip4_address = round % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    c.ip4_subnetmask = "255.255.255.0";
    c.ip4_gateway = "192.0.2.1";
    c.dns1 = "1.1.1.1";
    c.dns2 = "8.8.8.8";
    return c;
}

Rows netplan_rows(const Settings& s) {
    Rows rows;
    std::vector<Point> points;
    const std::vector<std::string> names = {"10", "100", "1000"};
    for (const std::string& n : names) {
        const std::string text = netplan_with_interfaces(std::stoi(n));
        int round = 0;
        std::string document, why;
        double t = seconds_per_call(
            [&] {
                return Netplan_Document::update(text, static_config(round++), 24, &document,
                                                &why) == Netplan_Document::OK;
            },
            s.scaling_seconds, 3);
        if (t < 0) {
            return {not_measured(section, "netplan update", "the update failed: " + why)};
        }
        points.push_back({std::stod(n), t});
        rows.push_back({section, "netplan update, " + n + " interfaces",
                        fixed(t * 1000, 3) + " ms/call, " + fixed(t * 1e6 / std::stod(n), 1) +
                            " us per interface",
                        "Netplan_Document::update in memory, " +
                            std::to_string(text.size() / 1024) + " KiB document"});
    }
    rows.push_back({section, "netplan update growth", growth(points, names),
                    "time factor beside size factor: alike when it grows linearly"});
    return rows;
}

Rows config_file_rows(const Settings& s) {
    TempDir dir;
    if (!dir.ok()) {
        return {not_measured(section, "Config_File::set_Data", "no temporary directory")};
    }
    Rows rows;
    std::vector<Point> points;
    const std::vector<std::pair<std::string, size_t>> sizes = {
        {"1 KB", 1000}, {"1 MB", 1000 * 1000}, {"10 MB", 10 * 1000 * 1000}};
    const std::string path = dir.file("settings.conf");
    for (const auto& size : sizes) {
        FILE* f = fopen(path.c_str(), "we");
        const std::string text = key_value_file(size.second);
        bool written = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
        if (f == nullptr || fclose(f) != 0 || !written) {
            return {not_measured(section, "Config_File::set_Data", "cannot write " + path)};
        }
        int round = 0;
        double t = seconds_per_call(
            [&] {
                return Config_File::set_Data(path.c_str(), "target", round++ % 2 ? "a" : "b", '=',
                                             nullptr) == 0;
            },
            s.scaling_seconds, 3);
        if (t < 0) {
            return {not_measured(section, "Config_File::set_Data", "set_Data failed")};
        }
        points.push_back({static_cast<double>(size.second), t});
        rows.push_back({section, "Config_File::set_Data, " + size.first + " file",
                        fixed(t * 1000, 3) + " ms/call",
                        "key on the last line; the file replaced whole, fsync included, in /tmp"});
    }
    rows.push_back({section, "Config_File::set_Data growth",
                    growth(points, {"1 KB", "1 MB", "10 MB"}),
                    "time factor beside size factor: alike when it grows linearly"});
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
