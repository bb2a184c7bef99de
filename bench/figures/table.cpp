// The figures' table and the statistics of its rows.

#include "table.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace figures {

namespace {

size_t width(const Rows& rows, std::string Row::*field, size_t at_least) {
    size_t w = at_least;
    for (const Row& r : rows) {
        w = std::max(w, (r.*field).size());
    }
    return w;
}

void print_line(const std::string& a, size_t wa, const std::string& b, size_t wb,
                const std::string& c) {
    printf("%-*s  %-*s  %s\n", static_cast<int>(wa), a.c_str(), static_cast<int>(wb), b.c_str(),
           c.c_str());
}

} // namespace

void print_table(const Rows& rows) {
    size_t wf = width(rows, &Row::figure, 6);
    size_t wv = width(rows, &Row::value, 5);
    std::string section;
    print_line("figure", wf, "value", wv, "how it was measured");
    for (const Row& r : rows) {
        if (r.section != section) {
            section = r.section;
            printf("\n[%s]\n", section.c_str());
        }
        print_line(r.figure, wf, r.value, wv, r.how);
    }
    fflush(stdout);
}

Stats stats_of(const std::vector<double>& values) {
    Stats s;
    s.n = values.size();
    if (values.empty()) {
        return s;
    }
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    double sum = 0;
    for (double v : values) {
        sum += v;
    }
    s.mean = sum / static_cast<double>(values.size());
    return s;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%.*f", decimals, v);
    return buf;
}

std::string stats_text(const Stats& s, double scale, int decimals, const std::string& unit) {
    if (s.n == 1) {
        return fixed(s.mean * scale, decimals) + " " + unit;
    }
    return "mean " + fixed(s.mean * scale, decimals) + ", min " + fixed(s.min * scale, decimals) +
           ", max " + fixed(s.max * scale, decimals) + " " + unit;
}

Row not_measured(const std::string& section, const std::string& figure, const std::string& why) {
    return {section, figure, "not measured", why};
}

void progress(const std::string& line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    fprintf(stderr, "figures: %s\n", line.c_str());
}

} // namespace figures
