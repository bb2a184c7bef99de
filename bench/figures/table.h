// The figures' one table: a row per figure, with its value (unit included)
// and how it was measured, grouped in sections; and the small statistics
// and number formats the rows share.
#pragma once

#include <string>
#include <vector>

namespace figures {

struct Row {
    std::string section;
    std::string figure;
    std::string value;
    std::string how;
};

using Rows = std::vector<Row>;

// Prints the rows as one fixed-width table, a blank line between sections.
void print_table(const Rows& rows);

struct Stats {
    size_t n = 0;
    double mean = 0;
    double min = 0;
    double max = 0;
};

Stats stats_of(const std::vector<double>& values);

// "12.3" with `decimals` digits after the point.
std::string fixed(double v, int decimals);
// "mean 220.71, min 220.40, max 221.02 ms" (or the one value when n is 1),
// with the values multiplied by `scale` (1000 for seconds shown in ms).
std::string stats_text(const Stats& s, double scale, int decimals, const std::string& unit);
// A row for a figure that could not be measured.
Row not_measured(const std::string& section, const std::string& figure, const std::string& why);

// Progress lines on standard error, one at a time from any thread.
void progress(const std::string& line);

} // namespace figures
