// The figures' one table, and the statistics and number formats of its rows.

#include "figures.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace figures {

void print_table(const std::vector<Rows>& parts) {
    Rows rows;
    int wf = 6, wv = 5;
    for (const Rows& part : parts) {
        rows.insert(rows.end(), part.begin(), part.end());
    }
    for (const Row& r : rows) {
        wf = std::max(wf, static_cast<int>(r.figure.size()));
        wv = std::max(wv, static_cast<int>(r.value.size()));
    }
    printf("%-*s  %-*s  %s\n", wf, "figure", wv, "value", "how it was measured");
    std::string section;
    for (const Row& r : rows) {
        printf("%s%-*s  %-*s  %s\n",
               r.section == section ? "" : ("\n[" + r.section + "]\n").c_str(), wf,
               r.figure.c_str(), wv, r.value.c_str(), r.how.c_str());
        section = r.section;
    }
    fflush(stdout);
}

std::string fixed(double v, int decimals) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%.*f", decimals, v);
    return buf;
}

double mean_of(const std::vector<double>& v) {
    return v.empty() ? 0 : std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

std::string stats_text(const std::vector<double>& v, double scale, int decimals,
                       const std::string& unit) {
    auto text = [&](double x) { return fixed(x * scale, decimals); };
    auto range = std::minmax_element(v.begin(), v.end());
    return v.size() == 1 ? text(v[0]) + " " + unit
           : v.empty()   ? "no samples"
                         : "mean " + text(mean_of(v)) + ", min " + text(*range.first) + ", max " +
                             text(*range.second) + " " + unit;
}

Row not_measured(const std::string& section, const std::string& figure, const std::string& why) {
    return {section, figure, "not measured", why};
}

void progress(const std::string& line) {
    fprintf(stderr, "figures: %s\n", line.c_str()); // one locked write: whole lines
}

} // namespace figures
