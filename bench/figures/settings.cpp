// The two forms of the figures: the full one, and the short one that CI runs
// to keep the program working (its figures are too few to mean much).

#include "figures.h"

namespace figures {

Settings full_settings() {
    return Settings{};
}

Settings short_settings() {
    Settings s;
    s.brief = true;
    s.idle_seconds = 6;
    s.bmc_packets = 40;
    s.reports = 40;
    s.full_queue_sets = 1;
    s.queued_reports = 2;
    s.line_samples = 10;
    s.apply_repeats = 1;
    s.startup_repeats = 1;
    s.scaling_seconds = 0.05;
    return s;
}

} // namespace figures
